#pragma once
// Threads of the program: every thread we start goes through StartThread
// (or TThread, which uses it) and every thread-pool job through
// QueueWorkItem. Their frames catch everything, hand it to the
// application's exception handler and keep the process-wide thread list
// up to date, so that a crash report can name each thread and its creator.
#include <windows.h>

#include <functional>
#include <string>

namespace corvan::ui {

// Told about threads of ours; set by the crash reporter at start-up.
struct ThreadHooks {
  // In the creating thread, while the new thread has not run yet.
  void (*registered)(HANDLE thread, DWORD threadId, DWORD creatorThreadId, void* creationAddress,
                     const char* name, const char* className) = nullptr;
  // In the ending thread, as the last thing its frame does.
  void (*ended)() = nullptr;
};
void SetThreadHooks(const ThreadHooks& hooks);

// Starts proc(parameter) in a new thread inside a thread frame; name (may
// be empty) names it in reports. Returns the thread's handle (the caller
// closes it) or null, with its id in *threadId when given.
HANDLE StartThread(LPTHREAD_START_ROUTINE proc, void* parameter, const std::string& name,
                   DWORD* threadId = nullptr, unsigned stackSize = 0);

// QueueUserWorkItem with a frame around the callback.
bool QueueWorkItem(LPTHREAD_START_ROUTINE callback, void* context, ULONG flags = WT_EXECUTEDEFAULT);

// A thread object: Run is the thread's body.
class TThread {
 public:
  explicit TThread(std::string name = {});
  virtual ~TThread();  // waits for the thread
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  bool Start();
  void Terminate() { terminated_ = true; }
  // Waits for the end of Run; the thread's exit code (-1 after an
  // exception left Run).
  DWORD WaitFor();
  HANDLE Handle() const { return handle_; }
  DWORD ThreadId() const { return threadId_; }

  // Runs method in the main thread (its message loop) and waits for it.
  // An EAbort it raises is raised again here; any other exception is
  // reported in the main thread and does not come back. In the main
  // thread itself, or before the application has a window, the method
  // runs at once.
  static void Synchronize(const std::function<void()>& method);

 protected:
  virtual void Run() = 0;
  bool Terminated() const { return terminated_; }

 private:
  static DWORD WINAPI Execute(void* self) noexcept;

  std::string name_;
  HANDLE handle_ = nullptr;
  DWORD threadId_ = 0;
  volatile bool terminated_ = false;
};

// The application window's message that makes the main thread run the
// queued methods, and the runner itself (TApplication calls both).
UINT SynchronizeMessage();
bool RunSynchronizedCalls();

}  // namespace corvan::ui
