#include "crash/core/ThreadPause.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/MessageHandlers.h"
#include "crash/analysis/Threads.h"
#include "common/WinHandles.h"

namespace corvan::crash {
namespace {

DWORD mainThreadId = 0;
std::mutex pauseLock;
bool pausing = false;                              // the pause state exists (first use happened)
HANDLE mainEvent = nullptr, otherEvent = nullptr;  // manual reset; not signalled: paused
std::vector<DWORD> pauseList;
bool paused = false;  // between SetThreadsPaused on and off
// Callers that let the main thread run meanwhile (synchronised handlers,
// the mail client); it pauses again only when the last of them is done
// and the pause is still on.
int mainResumes = 0;
std::vector<ScopedHook> pauseHooks;  // one per thread of the pause list, while paused

// ---- The message hooks ----------------------------------------------------

using GetMessageFn = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT);
using PeekMessageFn = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);
GetMessageFn realGetMessageA = nullptr, realGetMessageW = nullptr;
PeekMessageFn realPeekMessageA = nullptr, realPeekMessageW = nullptr;

BOOL WINAPI HookGetMessageA(LPMSG m, HWND w, UINT a, UINT b) {
  PausePoint();
  return realGetMessageA(m, w, a, b);
}
BOOL WINAPI HookGetMessageW(LPMSG m, HWND w, UINT a, UINT b) {
  PausePoint();
  return realGetMessageW(m, w, a, b);
}
BOOL WINAPI HookPeekMessageA(LPMSG m, HWND w, UINT a, UINT b, UINT r) {
  PausePoint();
  return realPeekMessageA(m, w, a, b, r);
}
BOOL WINAPI HookPeekMessageW(LPMSG m, HWND w, UINT a, UINT b, UINT r) {
  PausePoint();
  return realPeekMessageW(m, w, a, b, r);
}

// Points every import of user32's function at replacement; next keeps the
// real one (set once: hooked before means nothing to do).
template <class Fn>
void RedirectApi(const char* name, Fn& next, Fn replacement) {
  if (next) return;
  HMODULE user32 = GetModuleHandleA("user32.dll");
  next = reinterpret_cast<Fn>(ExportAddress(user32, name));
  if (next)
    PatchImports(ModuleList(), reinterpret_cast<const void*>(next),
                 reinterpret_cast<const void*>(replacement));
}

template <class Fn>
void RestoreApi(Fn& next, Fn replacement) {
  if (!next) return;
  PatchImports(ModuleList(), reinterpret_cast<const void*>(replacement),
               reinterpret_cast<const void*>(next));
  next = nullptr;
}

// Threads whose creator is code of a module that carries the reporter.
bool CreatedByReporterModule(DWORD threadId) {
  std::optional<ThreadInfoEntry> entry;
  if (!FindThreadInfo(threadId, 50, entry) || !entry || !entry->creationAddress) return false;
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(entry->creationAddress)), &module)) {
    return false;
  }
  return FindResourceA(module, "EXCEPT", "ZEL") != nullptr;
}

// ---- The paused threads' message hooks -----------------------------------

// Runs inside every GetMessage and PeekMessage of its thread that retrieves
// a message, whoever calls them: also a loop that holds the function's
// address from before the imports were redirected, and user32's own modal
// loops (message boxes, dialogs, menus), which use no import table of ours.
LRESULT CALLBACK PauseOnMessage(int code, WPARAM wParam, LPARAM lParam) {
  try {
    if (code == HC_ACTION) PausePoint();
  } catch (...) {
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Hooks each thread and posts it a message of no meaning, so that a thread
// that spins without messages or waits for one reaches its pause point.
std::vector<ScopedHook> HookPausedThreads(const std::vector<DWORD>& threads) {
  std::vector<ScopedHook> hooks;
  for (DWORD id : threads) {
    ScopedHook hook(SetWindowsHookExW(WH_GETMESSAGE, PauseOnMessage, nullptr, id));
    if (!hook) continue;  // no message queue: no message loop to pause in
    PostThreadMessageW(id, WM_NULL, 0, 0);
    hooks.push_back(std::move(hook));
  }
  return hooks;
}

// ---- The main-thread hook message -----------------------------------------

UINT hookMessage = 0;
MainThreadCall hookCall = nullptr;

void OnHookMessage(void*, void*, HWND, UINT, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  PausePoint();
  if (wParam == 0 && hookCall) {
    try {
      hookCall(lParam);
    } catch (...) {
    }
  }
  result = kHookAnswer;
}

}  // namespace

DWORD MainThreadId() { return mainThreadId; }
void SetMainThreadId(DWORD id) { mainThreadId = id; }

void PausePoint() {
  if (!pausing) return;
  const DWORD error = GetLastError();
  const DWORD self = GetCurrentThreadId();
  HANDLE wait = nullptr;
  {
    std::lock_guard lock(pauseLock);
    if (self == MainThreadId())
      wait = mainEvent;
    else if (std::find(pauseList.begin(), pauseList.end(), self) != pauseList.end())
      wait = otherEvent;
  }
  if (wait) WaitForSingleObject(wait, INFINITE);
  SetLastError(error);
}

bool ResumeMainThreadForHandlers() {
  std::lock_guard lock(pauseLock);
  if (!paused || !mainEvent) return false;
  ++mainResumes;
  SetEvent(mainEvent);
  return true;
}

void PauseMainThreadAgain() {
  std::lock_guard lock(pauseLock);
  if (mainResumes > 0) --mainResumes;
  // A pause that ended meanwhile stays ended: the main thread would
  // otherwise wait at its next message call for good.
  if (paused && mainResumes == 0 && mainEvent) ResetEvent(mainEvent);
}

void SetThreadsPaused(bool on, DWORD spare) {
  std::vector<ScopedHook> oldHooks;  // unhooked after the lock is left
  if (!on) {
    std::lock_guard lock(pauseLock);
    paused = false;
    if (mainEvent) SetEvent(mainEvent);
    if (otherEvent) SetEvent(otherEvent);
    oldHooks.swap(pauseHooks);
    return;
  }
  std::vector<DWORD> toPause;
  {
    std::lock_guard lock(pauseLock);
    if (!mainEvent) mainEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (!otherEvent) otherEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (!mainEvent || !otherEvent) return;
    if (!pausing) {
      RedirectApi("GetMessageA", realGetMessageA, HookGetMessageA);
      RedirectApi("GetMessageW", realGetMessageW, HookGetMessageW);
      RedirectApi("PeekMessageA", realPeekMessageA, HookPeekMessageA);
      RedirectApi("PeekMessageW", realPeekMessageW, HookPeekMessageW);
      pausing = true;
    }
    paused = true;
    if (mainResumes == 0) ResetEvent(mainEvent);
    ResetEvent(otherEvent);
    const DWORD self = GetCurrentThreadId();
    pauseList.clear();
    for (DWORD id : ThreadList()) {
      if (id == self || id == MainThreadId() || id == spare) continue;
      if (CreatedByReporterModule(id)) pauseList.push_back(id);
    }
    oldHooks.swap(pauseHooks);
    toPause = pauseList;
  }
  std::vector<ScopedHook> hooks = HookPausedThreads(toPause);
  {
    std::lock_guard lock(pauseLock);
    pauseHooks = std::move(hooks);
  }
  if (HWND window = MessageHandlerWindow(MainThreadId())) PostMessageA(window, hookMessage, 1, 0);
}

bool InstallMainThreadHook(MainThreadCall fire) {
  hookCall = fire;
  if (!hookMessage) hookMessage = AddMessageHandler(OnHookMessage, 0, 0, nullptr, nullptr);
  return hookMessage != 0;
}

bool SendMainThreadHook(WPARAM wParam, LPARAM lParam, UINT timeoutMs) {
  HWND window = MessageHandlerWindow(MainThreadId());
  DWORD_PTR answer = 0;
  return window && hookMessage &&
         SendMessageTimeoutA(window, hookMessage, wParam, lParam, SMTO_NORMAL, timeoutMs,
                             &answer) &&
         answer == static_cast<DWORD_PTR>(kHookAnswer);
}

void RemovePauseHooks() {
  SetThreadsPaused(false, 0);
  RestoreApi(realGetMessageA, HookGetMessageA);
  RestoreApi(realGetMessageW, HookGetMessageW);
  RestoreApi(realPeekMessageA, HookPeekMessageA);
  RestoreApi(realPeekMessageW, HookPeekMessageW);
  if (hookMessage)
    RemoveMessageHandler(OnHookMessage, hookMessage, MainThreadId(), nullptr, nullptr);
  hookMessage = 0;
  std::lock_guard lock(pauseLock);
  pausing = false;
  paused = false;
  mainResumes = 0;
  pauseList.clear();
  if (mainEvent) CloseHandle(mainEvent);
  if (otherEvent) CloseHandle(otherEvent);
  mainEvent = otherEvent = nullptr;
}

}  // namespace corvan::crash
