// Image, module and thread helpers on the running process, with the
// system's own answers (GetProcAddress, Toolhelp, GetFileVersionInfo) as
// the oracle.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LiveObject.h"
#include "crash/analysis/MessageHandlers.h"
#include "crash/analysis/MethodThunk.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/util/TextParts.h"
#include "crash/analysis/Threads.h"

namespace corvan::crash {
namespace {

std::set<std::pair<HMODULE, std::string>> ToolhelpModules() {
  std::set<std::pair<HMODULE, std::string>> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  MODULEENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Module32First(snapshot, &entry); ok; ok = Module32Next(snapshot, &entry)) {
    modules.emplace(entry.hModule, LowerCase(entry.szModule));
  }
  CloseHandle(snapshot);
  return modules;
}

TEST(ImageHelpersWin, ModuleListMatchesToolhelp) {
  std::set<std::pair<HMODULE, std::string>> ours;
  for (const TModule& m : ModuleList()) ours.emplace(m.base, LowerCase(m.fileName));
  EXPECT_EQ(ours, ToolhelpModules());
}

TEST(ImageHelpersWin, HeadersAndModuleOfAnAddress) {
  const HMODULE exe = GetModuleHandleA(nullptr);
  EXPECT_TRUE(ImageNtHeaders(exe));
  EXPECT_EQ(ImageNtHeaders(exe)->Signature, IMAGE_NT_SIGNATURE);
  auto heap = std::make_unique<char[]>(64);
  EXPECT_FALSE(ImageNtHeaders(heap.get()));
  EXPECT_FALSE(ImageNtHeaders(reinterpret_cast<void*>(0x10)));
  EXPECT_TRUE(ImageExportDirectory(GetModuleHandleA("kernel32.dll")));
  HMODULE module;
  std::string path;
  ASSERT_TRUE(ModuleFromAddress(reinterpret_cast<void*>(&ModuleList), module, path));
  EXPECT_EQ(module, exe);
  EXPECT_EQ(path, ModulePath(nullptr));
  EXPECT_FALSE(ModuleFromAddress(nullptr, module, path));
  EXPECT_FALSE(ModuleFromAddress(heap.get(), module, path));
  EXPECT_EQ(OwnModule(), exe);
}

// Nothing in this C++ process carries a Delphi class table; asking about
// any pointer, even a wild one, answers without faulting.
TEST(ImageHelpersWin, LiveObjectChecksAnyPointerSafely) {
  struct Polymorphic {
    virtual ~Polymorphic() = default;
  } object;
  EXPECT_FALSE(IsLiveObject(&object));
  EXPECT_FALSE(IsLiveObject(nullptr));
  EXPECT_FALSE(IsLiveObject(reinterpret_cast<void*>(0x7FFE0000)));
  EXPECT_FALSE(IsLiveObject(reinterpret_cast<void*>(&ModuleList)));
}

// Every named export of the system's core modules resolves, forwarders
// included, to what GetProcAddress says.
TEST(ImageHelpersWin, ExportsAgreeWithGetProcAddress) {
  for (const char* name : {"kernel32.dll", "ntdll.dll", "user32.dll", "advapi32.dll"}) {
    const HMODULE module = GetModuleHandleA(name);
    ASSERT_TRUE(module) << name;
    LiveModuleBytes bytes(module);
    const PeImage image(bytes, ImageLayout::Mapped);
    int compared = 0;
    for (const PeExport& e : image.Exports()) {
      const void* expected = e.name.empty()
                                 ? reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(e.ordinal)))
                                 : reinterpret_cast<void*>(GetProcAddress(module, e.name.c_str()));
      if (!expected) continue;  // a forwarder into a module that is not loaded
      if (!e.name.empty()) {
        EXPECT_EQ(ExportAddress(module, e.name.c_str()), expected) << name << "!" << e.name;
      }
      EXPECT_EQ(ExportAddress(module, e.ordinal), expected) << name << " #" << e.ordinal;
      ++compared;
    }
    EXPECT_GT(compared, 100) << name;
  }
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  EXPECT_EQ(ExportAddress(kernel32, "CreateFileA", true),
            reinterpret_cast<void*>(GetProcAddress(kernel32, "CreateFileA")));
  EXPECT_EQ(ExportAddress(kernel32, "NoSuchExport"), nullptr);
  EXPECT_EQ(ExportNameAt(kernel32, reinterpret_cast<void*>(GetProcAddress(kernel32, "CreateFileA"))),
            "CreateFileA");
  EXPECT_EQ(ExportNameAt(kernel32, reinterpret_cast<char*>(kernel32) + 1), "");
}

// The version read from each loaded module's resources equals what the
// version API reads from its file.
TEST(ImageHelpersWin, VersionsAgreeWithGetFileVersionInfo) {
  int withVersion = 0;
  for (const TModule& m : ModuleList()) {
    LiveModuleBytes bytes(m.base);
    const PeImage image(bytes, ImageLayout::Mapped);
    const auto fixed = image.FileVersion();
    const std::uint64_t expected = FileVersion(ModulePath(m.base));
    EXPECT_EQ(fixed ? fixed->FileVersion() : 0, expected) << m.fileName;
    withVersion += expected != 0;
  }
  EXPECT_GT(withVersion, 2);
  EXPECT_EQ(FileVersion(ModulePath(nullptr)), 0u);  // this program has no version resource
  EXPECT_EQ(FileVersion("C:\\no\\such\\file.dll"), 0u);
}

DWORD WINAPI FakeTickCount() { return 42; }

// Calls through the import slot each time (the compiler may otherwise keep
// the slot's value in a register across the patch).
__attribute__((noinline)) DWORD TickCountThroughImport() {
  asm volatile("" ::: "memory");
  return GetTickCount();
}

TEST(ImageHelpersWin, PatchImportsRedirectsAndRestores) {
  const void* real = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
  const TDAModule self = {{GetModuleHandleA(nullptr), "crash_tools_win_test.exe"}};
  ASSERT_GE(PatchImports(self, real, reinterpret_cast<void*>(&FakeTickCount)), 1);
  EXPECT_EQ(TickCountThroughImport(), 42u);
  EXPECT_GE(PatchImports(self, reinterpret_cast<void*>(&FakeTickCount), real), 1);
  EXPECT_NE(TickCountThroughImport(), 42u);
}

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
  EXPECT_EQ(ThreadInfoText(GetCurrentThreadId(), false), "from the debugger protocol (" + hex + ")");
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

struct HandlerLog {
  int calls = 0;
  UINT lastMessage = 0;
};

void LogHandler(void* key1, void*, HWND, UINT message, WPARAM, LPARAM, LRESULT& result) {
  auto* log = static_cast<HandlerLog*>(key1);
  ++log->calls;
  log->lastMessage = message;
  result = 7;
}

TEST(MessageHandlersWin, AllocatesNumbersAndDispatches) {
  HandlerLog a, b;
  const UINT first = AddMessageHandler(LogHandler, 0, 0, &a, nullptr);
  const UINT second = AddMessageHandler(LogHandler, 0, 0, &b, nullptr);
  EXPECT_EQ(first, 1024u);
  EXPECT_EQ(second, 1025u);
  EXPECT_EQ(AddMessageHandler(LogHandler, first, 0, &a, nullptr), 0u);  // already there
  EXPECT_EQ(AddMessageHandler(LogHandler, WM_SETTINGCHANGE, 0, &a, nullptr), UINT(WM_SETTINGCHANGE));
  const HWND window = MessageHandlerWindow(0);
  ASSERT_TRUE(window);
  EXPECT_EQ(SendMessageA(window, first, 0, 0), 7);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 0);
  SendMessageA(window, WM_SETTINGCHANGE, 0, 0);
  EXPECT_EQ(a.lastMessage, UINT(WM_SETTINGCHANGE));
  SendMessageA(window, WM_MOVE, 0, 0);  // not watched
  EXPECT_EQ(a.calls, 2);
  RemoveMessageHandler(LogHandler, 0, 0, &a, nullptr);
  EXPECT_TRUE(IsWindow(window));
  RemoveMessageHandler(LogHandler, 0, 0, &b, nullptr);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(MessageHandlerWindow(0));
}

TEST(MessageHandlersWin, AnotherThreadsWindowClosesByAPostedMessage) {
  HandlerLog log;
  std::atomic<DWORD> threadId{0};
  std::atomic<HWND> window{nullptr};
  std::thread owner([&] {
    AddMessageHandler(LogHandler, 0, 0, &log, nullptr);
    window = MessageHandlerWindow(0);
    threadId = GetCurrentThreadId();
    MSG msg;
    while (IsWindow(window) && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  });
  while (!threadId) Sleep(1);
  EXPECT_EQ(AddMessageHandler(LogHandler, 0, GetCurrentThreadId() + 1000000, &log, nullptr), 0u);
  EXPECT_EQ(MessageHandlerWindow(threadId), window.load());
  RemoveMessageHandler(LogHandler, 0, threadId, &log, nullptr);
  owner.join();
  EXPECT_FALSE(IsWindow(window));
}

TEST(MessageHandlersWin, EveryThreadsWindowCarriesTheProcessPrefix) {
  // The prefix a development environment searches for this process by.
  char own[16];
  std::snprintf(own, sizeof own, "$%lx", GetCurrentProcessId());
  const std::string prefix = std::string("zelToolsMsgHandlerWindow") + own + "$";
  auto className = [](HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return std::string(name);
  };
  HandlerLog log;
  AddMessageHandler(LogHandler, 0, 0, &log, nullptr);
  const std::string mine = className(MessageHandlerWindow(0));
  std::string other;
  std::thread second([&] {
    AddMessageHandler(LogHandler, 0, 0, &log, nullptr);
    other = className(MessageHandlerWindow(0));
    RemoveMessageHandler(LogHandler, 0, 0, &log, nullptr);
  });
  second.join();
  RemoveMessageHandler(LogHandler, 0, 0, &log, nullptr);
  EXPECT_EQ(mine.rfind(prefix, 0), 0u) << mine;
  EXPECT_EQ(other, mine);
}

struct Counter {
  int value;
};

int __stdcall AddToCounter(Counter* self, int amount) { return self->value += amount; }

TEST(MethodThunkWin, PassesTheObjectInFront) {
  Counter counter{10};
  MethodThunk thunk(&counter, reinterpret_cast<void*>(&AddToCounter));
  ASSERT_TRUE(thunk.Code());
  auto callback = reinterpret_cast<int(__stdcall*)(int)>(thunk.Code());
  EXPECT_EQ(callback(5), 15);
  EXPECT_EQ(callback(1), 16);
  EXPECT_EQ(counter.value, 16);
}

TEST(SystemHelpersWin, ComputerRegistryTimeAndSecurity) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(ComputerName(), name);

  const std::string key = "Software\\CorVAN tests\\helpers";
  EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, key, "value"), "");
  ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, key, "value", "text with spaces"));
  EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, key, "value"), "text with spaces");
  const DWORD number = 0x01020304;
  HKEY handle;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_SET_VALUE, &handle), ERROR_SUCCESS);
  RegSetValueExA(handle, "number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
  RegCloseKey(handle);
  EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, key, "number"), std::string("\x04\x03\x02\x01", 4));
  EXPECT_TRUE(RegDeleteValueText(HKEY_CURRENT_USER, key, "value"));
  EXPECT_FALSE(RegDeleteValueText(HKEY_CURRENT_USER, key, "value"));
  EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, key, "value"), "");
  RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());

  const std::int64_t unixEpochIn1601Seconds = 11644473600LL;
  EXPECT_NEAR(static_cast<double>(UtcSeconds() - unixEpochIn1601Seconds), static_cast<double>(std::time(nullptr)), 5);

  OpenSecurityAttributes everyone;
  ASSERT_TRUE(everyone.get());
  EXPECT_FALSE(everyone.get()->bInheritHandle);
  HANDLE mutex = CreateMutexA(everyone.get(), FALSE, nullptr);
  EXPECT_TRUE(mutex);
  CloseHandle(mutex);
}

}  // namespace
}  // namespace corvan::crash
