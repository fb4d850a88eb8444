#include "ui/Thread.h"

#include <cxxabi.h>

#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <typeinfo>

#include "common/GuardedFrame.h"
#include "common/UniqueHandle.h"
#include "ui/Application.h"

namespace corvan::ui {
namespace {

ThreadHooks hooks;  // constant-initialised: usable during static initialisation

struct ThreadStart {
  LPTHREAD_START_ROUTINE proc;
  void* parameter;
};

void CloseHandleOwner(HANDLE h) { CloseHandle(h); }
using EventHandle = UniqueHandle<HANDLE, CloseHandleOwner>;

// A frame for code of the program that runs on a thread Windows called us
// on: everything is caught and reported, nothing unwinds into Windows.
DWORD RunInFrame(LPTHREAD_START_ROUTINE proc, void* parameter) noexcept {
  GuardedFrame guard;
  try {
    return proc(parameter);
  } catch (...) {
    Application().ReportException(std::current_exception(), ExceptionPoint::ThreadFrame, nullptr);
    return static_cast<DWORD>(-1);
  }
}

DWORD WINAPI ThreadFrame(void* start) noexcept {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  const DWORD result = RunInFrame(s.proc, s.parameter);
  if (hooks.ended) hooks.ended();
  return result;
}

DWORD WINAPI WorkItemFrame(void* start) noexcept {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  return RunInFrame(s.proc, s.parameter);
}

std::string ClassNameOf(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  std::string text = status == 0 && name ? name.get() : type.name();
  const std::size_t colon = text.rfind("::");
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

__attribute__((noinline)) HANDLE CreateFramedThread(LPTHREAD_START_ROUTINE proc, void* parameter,
                                                    const std::string& name,
                                                    const std::string& className, DWORD* threadId,
                                                    unsigned stackSize, void* creationAddress) {
  auto* start = new ThreadStart{proc, parameter};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, stackSize, ThreadFrame, start, CREATE_SUSPENDED, &id);
  if (!thread) {
    delete start;
    return nullptr;
  }
  if (hooks.registered) {
    hooks.registered(thread, id, GetCurrentThreadId(), creationAddress, name.c_str(),
                     className.c_str());
  }
  ResumeThread(thread);
  if (threadId) *threadId = id;
  return thread;
}

// One queued Synchronize call; the waiting thread owns it.
struct SyncCall {
  const std::function<void()>* method;
  std::exception_ptr abort;  // an EAbort handed back to the waiting thread
  HANDLE done;
};

std::mutex syncLock;
std::deque<SyncCall*> syncQueue;

}  // namespace

void SetThreadHooks(const ThreadHooks& h) { hooks = h; }

__attribute__((noinline)) HANDLE StartThread(LPTHREAD_START_ROUTINE proc, void* parameter,
                                             const std::string& name, DWORD* threadId,
                                             unsigned stackSize) {
  return CreateFramedThread(proc, parameter, name, {}, threadId, stackSize,
                            __builtin_return_address(0));
}

bool QueueWorkItem(LPTHREAD_START_ROUTINE callback, void* context, ULONG flags) {
  auto* start = new ThreadStart{callback, context};
  if (QueueUserWorkItem(WorkItemFrame, start, flags)) return true;
  delete start;
  return false;
}

TThread::TThread(std::string name) : name_(std::move(name)) {}

TThread::~TThread() {
  if (handle_) {
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
  }
}

__attribute__((noinline)) bool TThread::Start() {
  if (handle_) return false;
  handle_ = CreateFramedThread(Execute, this, name_, ClassNameOf(typeid(*this)), &threadId_, 0,
                               __builtin_return_address(0));
  return handle_ != nullptr;
}

DWORD TThread::WaitFor() {
  DWORD code = 0;
  if (handle_ && WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0) {
    GetExitCodeThread(handle_, &code);
  }
  return code;
}

DWORD WINAPI TThread::Execute(void* self) noexcept {
  auto* thread = static_cast<TThread*>(self);
  try {
    thread->Run();
    return 0;
  } catch (...) {
    Application().ReportException(std::current_exception(), ExceptionPoint::ThreadExecute, thread);
    return static_cast<DWORD>(-1);
  }
}

void TThread::Synchronize(const std::function<void()>& method) {
  TApplication& app = Application();
  if (GetCurrentThreadId() == app.MainThreadId() || !app.Handle()) {
    method();
    return;
  }
  EventHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!done) throw std::runtime_error("Synchronize: no event");
  SyncCall call{&method, nullptr, done.get()};
  {
    std::lock_guard lock(syncLock);
    syncQueue.push_back(&call);
  }
  PostMessageA(app.Handle(), SynchronizeMessage(), 0, 0);
  WaitForSingleObject(done.get(), INFINITE);
  if (call.abort) std::rethrow_exception(call.abort);
}

UINT SynchronizeMessage() {
  static const UINT message = RegisterWindowMessageA("CorvanSynchronize");
  return message;
}

bool RunSynchronizedCalls() {
  bool ran = false;
  for (;;) {
    SyncCall* call = nullptr;
    {
      std::lock_guard lock(syncLock);
      if (syncQueue.empty()) return ran;
      call = syncQueue.front();
      syncQueue.pop_front();
    }
    ran = true;
    try {
      (*call->method)();
    } catch (const EAbort&) {
      call->abort = std::current_exception();
    } catch (...) {
      Application().ReportException(std::current_exception(), ExceptionPoint::Synchronize, nullptr);
    }
    SetEvent(call->done);
  }
}

}  // namespace corvan::ui
