#include "crash/analysis/MessageHandlers.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "crash/analysis/SystemHelpers.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

struct Registration {
  UINT message;
  MessageHandler handler;
  void* key1;
  void* key2;
  bool operator==(const Registration&) const = default;
};

constexpr UINT kFirstAllocated = 1024;

bool Watched(UINT message) {
  static constexpr UINT kBroadcasts[] = {0x11, 0x12, 0x15, 0x16, 0x17, 0x1A, 0x1B, 0x1C, 0x1D,
                                         0x1E, 0x2A, 0x41, 0x48, 0x50, 0x51, 0x54, 0x7E};
  return message >= 0x218 || std::find(std::begin(kBroadcasts), std::end(kBroadcasts), message) !=
                                 std::end(kBroadcasts);
}

class Registry {
 public:
  static Registry& Instance() {
    static Registry registry;
    return registry;
  }

  class Lock {
   public:
    explicit Lock(Registry& r) : r_(r) { WaitForSingleObject(r_.Mutex(), kNamedMutexWaitMs); }
    ~Lock() { ReleaseMutex(r_.Mutex()); }

   private:
    Registry& r_;
  };

  std::map<DWORD, HWND> windows;
  std::map<HWND, std::vector<Registration>> registrations;

  HANDLE Mutex() {
    if (!mutex_) {
      HANDLE created = CreateOwnMutex("zelToolsMsgHandlerMutex" + Suffix());
      if (InterlockedCompareExchangePointer(&mutex_, created, nullptr) != nullptr)
        CloseHandle(created);
    }
    return mutex_;
  }
  void CloseMutex() {
    if (HANDLE m = InterlockedExchangePointer(&mutex_, nullptr)) CloseHandle(m);
  }
  // "$<process id>$<address in this library>": one class for the windows
  // of every thread (a thread id taken from the first caller named the
  // others wrongly), and the prefix by which a development environment
  // finds this process's window ("zelToolsMsgHandlerWindow$<pid>").
  const std::string& Suffix() {
    static const std::string suffix =
        HexText(GetCurrentProcessId()) +
        HexText(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&Watched)));
    return suffix;
  }

 private:
  void* mutex_ = nullptr;
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    LRESULT result = DefWindowProcA(window, message, wParam, lParam);
    if (!Watched(message)) return result;
    std::vector<Registration> copy;
    {
      Registry& r = Registry::Instance();
      Registry::Lock lock(r);
      const auto it = r.registrations.find(window);
      if (it != r.registrations.end()) copy = it->second;
    }
    for (const Registration& reg : copy) {
      if (reg.message == message)
        reg.handler(reg.key1, reg.key2, window, message, wParam, lParam, result);
    }
    return result;
  } catch (...) {
    return 0;
  }
}

HWND CreateHandlerWindow() {
  const std::string className = "zelToolsMsgHandlerWindow" + Registry::Instance().Suffix();
  WNDCLASSA wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = className.c_str();
  RegisterClassA(&wc);  // fails harmlessly when registered already
  return CreateWindowExA(0, className.c_str(), "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                         wc.hInstance, nullptr);
}

void DropWindow(Registry& r, HWND window, DWORD threadId) {
  r.registrations.erase(window);
  r.windows.erase(threadId);
  if (threadId == GetCurrentThreadId()) {
    DestroyWindow(window);
  } else {
    PostMessageA(window, WM_CLOSE, 0, 0);
  }
}

}  // namespace

UINT AddMessageHandler(MessageHandler handler, UINT message, DWORD threadId, void* key1,
                       void* key2) {
  if (!handler) return 0;
  if (threadId == 0) threadId = GetCurrentThreadId();
  Registry& r = Registry::Instance();
  Registry::Lock lock(r);
  auto it = r.windows.find(threadId);
  if (it == r.windows.end()) {
    if (threadId != GetCurrentThreadId()) return 0;
    const HWND window = CreateHandlerWindow();
    if (!window) return 0;
    it = r.windows.emplace(threadId, window).first;
  }
  auto& list = r.registrations[it->second];
  if (message == 0) {
    message = kFirstAllocated;
    while (std::any_of(list.begin(), list.end(),
                       [&](const Registration& g) { return g.message == message; })) {
      ++message;
    }
  }
  const Registration reg{message, handler, key1, key2};
  if (std::find(list.begin(), list.end(), reg) != list.end()) return 0;
  list.push_back(reg);
  return message;
}

void RemoveMessageHandler(MessageHandler handler, UINT message, DWORD threadId, void* key1,
                          void* key2) {
  if (threadId == 0) threadId = GetCurrentThreadId();
  Registry& r = Registry::Instance();
  Registry::Lock lock(r);
  const auto it = r.windows.find(threadId);
  if (it == r.windows.end()) return;
  auto& list = r.registrations[it->second];
  for (std::size_t i = 0; i < list.size();) {
    const Registration& g = list[i];
    if (g.handler == handler && g.key1 == key1 && g.key2 == key2 &&
        (message == 0 || g.message == message)) {
      list[i] = list.back();  // order does not matter: move the last one here
      list.pop_back();
    } else {
      ++i;
    }
  }
  if (list.empty()) DropWindow(r, it->second, threadId);
}

HWND MessageHandlerWindow(DWORD threadId) {
  Registry& r = Registry::Instance();
  Registry::Lock lock(r);
  const auto it = r.windows.find(threadId ? threadId : GetCurrentThreadId());
  return it == r.windows.end() ? nullptr : it->second;
}

void ShutdownMessageHandlers() {
  Registry& r = Registry::Instance();
  {
    Registry::Lock lock(r);
    r.registrations.clear();
    r.windows.clear();
  }
  r.CloseMutex();
}

}  // namespace corvan::crash
