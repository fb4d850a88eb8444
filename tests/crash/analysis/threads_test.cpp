// Thread list and thread names, with Toolhelp as the oracle.
#include "crash/analysis/Threads.h"
#include "crash/util/TextParts.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>
#include <atomic>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace corvan::crash {
namespace {

TEST(ThreadsWin, ThreadListMatchesToolhelp) {
  std::atomic<bool> stop{false};
  DWORD workerId = 0;
  std::thread worker([&] {
    workerId = GetCurrentThreadId();
    while (!stop) Sleep(1);
  });
  while (!workerId) Sleep(1);
  std::set<DWORD> expected;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) expected.insert(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  const auto list = ThreadList();
  const std::set<DWORD> ours(list.begin(), list.end());
  stop = true;
  worker.join();
  EXPECT_EQ(ours, expected);
  EXPECT_TRUE(ours.count(GetCurrentThreadId()));
  EXPECT_TRUE(ours.count(workerId));
}

TEST(ThreadsWin, NamesDescriptionsAndEndedThreads) {
  std::atomic<int> step{0};
  DWORD workerId = 0;
  std::thread worker([&] {
    workerId = GetCurrentThreadId();
    step = 1;
    while (step < 2) Sleep(1);
  });
  while (step < 1) Sleep(1);
  const std::string hex = HexText(workerId);
  EXPECT_EQ(ThreadInfoText(workerId, false), "thread " + hex);
  ThreadInfoUpdate update;
  update.description = "TWorker";
  update.creatorThreadId = GetCurrentThreadId();
  update.creationAddress = reinterpret_cast<void*>(0x401000);
  update.name = "";
  RecordThreadInfo(workerId, update);
  EXPECT_EQ(ThreadInfoText(workerId, false), "thread " + hex + " (TWorker)");
  SetThreadName(workerId, "worker");
  void* created = nullptr;
  DWORD creator = 0;
  EXPECT_EQ(ThreadInfoText(workerId, false, &created, &creator), "worker (" + hex + ")");
  EXPECT_EQ(created, reinterpret_cast<void*>(0x401000));  // kept from before
  EXPECT_EQ(creator, GetCurrentThreadId());
  SetThreadName(workerId, "HandleExceptionThread");
  EXPECT_EQ(ThreadInfoText(workerId, false), "");
  EXPECT_EQ(ThreadInfoText(workerId, true), "HandleExceptionThread (" + hex + ")");
  step = 2;
  worker.join();
  // The next change of the list drops the entries of ended threads.
  SetThreadName(GetCurrentThreadId(), "main");
  std::optional<ThreadInfoEntry> entry;
  ASSERT_TRUE(FindThreadInfo(workerId, 50, entry));
  EXPECT_FALSE(entry);
  SetThreadName(GetCurrentThreadId(), "");
}

LONG CALLBACK NamingHandler(EXCEPTION_POINTERS* info) {
  return RecordThreadNamingException(*info->ExceptionRecord) ? EXCEPTION_CONTINUE_EXECUTION
                                                             : EXCEPTION_CONTINUE_SEARCH;
}

void RaiseNaming(const void* name, DWORD threadId) {
  const ULONG_PTR arguments[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name), threadId, 0};
  RaiseException(kThreadNamingException, 0, 4, arguments);
}

// The record as a handler receives it (Wine's own dispatcher reads the
// name of a raised one, so bad pointers are handed over directly).
void HandNaming(const void* name, DWORD threadId) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = kThreadNamingException;
  record.NumberParameters = 4;
  record.ExceptionInformation[0] = 0x1000;
  record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(name);
  record.ExceptionInformation[2] = threadId;
  EXPECT_TRUE(RecordThreadNamingException(record));
}

// Names arrive as pointers from foreign code: they are read guarded and capped.
TEST(ThreadsWin, NamingExceptionsAreReadSafely) {
  void* handler = AddVectoredExceptionHandler(1, NamingHandler);
  const std::string hex = HexText(GetCurrentThreadId());
  RaiseNaming("from the debugger protocol", static_cast<DWORD>(-1));
  EXPECT_EQ(ThreadInfoText(GetCurrentThreadId(), false),
            "from the debugger protocol (" + hex + ")");
  const std::string huge(5000, 'n');
  RaiseNaming(huge.c_str(), GetCurrentThreadId());
  std::optional<ThreadInfoEntry> entry;
  ASSERT_TRUE(FindThreadInfo(GetCurrentThreadId(), 50, entry));
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, std::string(kMaxThreadName, 'n'));
  RemoveVectoredExceptionHandler(handler);
  HandNaming(reinterpret_cast<const void*>(0x10), GetCurrentThreadId());  // unreadable
  EXPECT_EQ(ThreadInfoText(GetCurrentThreadId(), false), "thread " + hex);
  // A name that runs into unreadable memory ends there.
  auto* page = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
  VirtualAlloc(page, 4096, MEM_COMMIT, PAGE_READWRITE);
  std::memset(page, 'p', 4096);
  HandNaming(page + 4090, GetCurrentThreadId());
  ASSERT_TRUE(FindThreadInfo(GetCurrentThreadId(), 50, entry));
  EXPECT_EQ(entry->name, "pppppp");
  VirtualFree(page, 0, MEM_RELEASE);
  SetThreadName(GetCurrentThreadId(), "");
}

DWORD WINAPI Spin(void* stop) {
  while (!*static_cast<volatile LONG*>(stop)) Sleep(1);
  return 0;
}

DWORD CountOf(HANDLE thread) {
  const DWORD previous = SuspendThread(thread);
  ResumeThread(thread);
  return previous;
}

// A call that stopped while it held a thread suspended: the thread is let
// go once seen held twice, or all at once; one the program keeps suspended
// stays so.
TEST(ThreadsWin, SuspendWatchLetsGoOfHeldThreadsOnly) {
  volatile LONG stop = 0;
  HANDLE running = CreateThread(nullptr, 0, Spin, const_cast<LONG*>(&stop), 0, nullptr);
  HANDLE kept = CreateThread(nullptr, 0, Spin, const_cast<LONG*>(&stop), CREATE_SUSPENDED, nullptr);
  ASSERT_TRUE(running && kept);
  SuspendWatch watch;

  SuspendThread(running);
  watch.Check();
  EXPECT_EQ(CountOf(running), 1u);  // it may merely be being read
  watch.Check();
  EXPECT_EQ(CountOf(running), 0u);

  SuspendThread(running);  // a read that ends between two checks
  watch.Check();
  ResumeThread(running);
  watch.Check();
  SuspendThread(running);
  watch.Check();
  EXPECT_EQ(CountOf(running), 1u);

  SuspendThread(running);
  SuspendThread(kept);
  watch.ReleaseAll();
  EXPECT_EQ(CountOf(running), 0u);
  EXPECT_EQ(CountOf(kept), 1u);

  stop = 1;
  ResumeThread(kept);
  HANDLE threads[] = {running, kept};
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 5000), WAIT_OBJECT_0);
  CloseHandle(running);
  CloseHandle(kept);
}

}  // namespace
}  // namespace corvan::crash
