// The process-wide Winsock binding under Wine. This program imports no
// socket library itself, so the binding really unloads the library when the
// last socket goes.
#include <gtest/gtest.h>

#include "MessagePump.h"
#include "net/socket/NetSocket.h"

namespace corvan::net {
namespace {

using testing::PumpUntil;

// The module that holds code at address, or nullptr; takes no reference.
HMODULE ModuleAt(const void* address) {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<const char*>(address), &module);
  return module;
}

// One socket that looks "localhost" up, waits for the answer and goes,
// taking the library with it. Returns the lookup's error, -1 for none.
int LookUpWithTheLastSocket() {
  int result = -1;
  {
    TNetSocket socket;
    socket.OnDnsLookupDone = [&result](TCustomNetSocket*, int error) { result = error; };
    socket.DnsLookup("localhost");
    PumpUntil([&result] { return result >= 0; });
  }
  return result;
}

// Winsock answers a lookup from a worker thread of its own, which is still
// inside the library for a moment after it has posted the reply. The module
// with that code must outlive the binding's unloading.
TEST(NetWinsock, TheModuleThatAnswersLookupsStaysMappedAfterTheUnload) {
  HMODULE lookupModule = nullptr;
  char name[MAX_PATH] = {};
  {
    TNetSocket socket;  // holds the library while the entry point is looked at
    lookupModule = ModuleAt(winsock::Resolve(winsock::Fn::WSAAsyncGetHostByName));
    ASSERT_NE(lookupModule, nullptr);
    ASSERT_GT(::GetModuleFileNameA(lookupModule, name, sizeof name), 0u);
  }
  ASSERT_FALSE(winsock::IsLoaded());

  EXPECT_EQ(LookUpWithTheLastSocket(), 0);
  EXPECT_EQ(winsock::UserCount(), 0);
  EXPECT_FALSE(winsock::IsLoaded()) << "the binding let go of the library";
  EXPECT_EQ(::GetModuleHandleA(name), lookupModule) << name << " was unmapped";
}

// The way the fault was seen: each lookup answered just before the last
// socket goes. A worker that is preempted between posting its reply and
// leaving the library (likely on a loaded machine) ran into unmapped code
// (an execute fault in ws2_32), which ends the program.
TEST(NetWinsock, LookupWorkersOutliveManyUnloads) {
  for (int round = 0; round < 100; ++round) {
    ASSERT_EQ(LookUpWithTheLastSocket(), 0) << "round " << round;
    ASSERT_FALSE(winsock::IsLoaded()) << "round " << round;
  }
  ::Sleep(300);  // a late worker would fault now, ending the program
}

}  // namespace
}  // namespace corvan::net
