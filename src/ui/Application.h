#pragma once
// The application object: title, main window, the message loop and the one
// place where exceptions escaping window procedures and callbacks end up.
#include <windows.h>

#include <exception>
#include <functional>
#include <string>

namespace corvan::ui {

class TForm;

// Where an exception that no code of the program caught was stopped.
enum class ExceptionPoint {
  HandleException,  // left a window procedure or another framework callback
  ShowException,    // handed to TApplication::ShowException
  ThreadFrame,      // left a thread procedure or a work item
  ThreadExecute,    // left TThread::Run (related object: the thread)
  Synchronize,      // left a method a worker thread ran in the main thread
};

// Raised to end an operation silently: never reported, never shown.
class EAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

class TApplication {
 public:
  using ExceptionHandler =
      std::function<void(std::exception_ptr, ExceptionPoint, const void* relatedObject)>;

  // Creates the hidden application window that owns the task-bar button and
  // every top-level form; its caption is the application title.
  void Initialize(HINSTANCE instance);

  HINSTANCE Instance() const { return instance_; }
  HWND Handle() const { return handle_; }

  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& title);

  // The first form created becomes the main form; closing it ends Run.
  TForm* MainForm() const { return mainForm_; }
  void RegisterForm(TForm& form);

  // Shows the main form and dispatches messages until WM_QUIT.
  void Run();
  // Dispatches every pending message without waiting; returns at once.
  void ProcessMessages();
  // Waits for one message and dispatches it.
  void HandleMessage();
  bool Terminated() const { return terminated_; }
  void Terminate();

  // Reports an exception that no handler caught. Never throws. By default
  // shows its message in a plain message box (an EAbort shows nothing);
  // the crash reporter replaces the handler with its own.
  void HandleException(std::exception_ptr error, const void* sender = nullptr) noexcept;
  void ShowException(std::exception_ptr error) noexcept;
  void ReportException(std::exception_ptr error, ExceptionPoint point,
                       const void* relatedObject) noexcept;
  void SetExceptionHandler(ExceptionHandler handler);

  // The thread that initialised the application: the one that runs the
  // message loop and the methods of Synchronize.
  DWORD MainThreadId() const { return mainThreadId_; }
  // Runs the methods worker threads queued (see TThread::Synchronize).
  // Called by the message loop; returns whether any ran.
  bool CheckSynchronize();

 private:
  bool ProcessOneMessage(bool wait);
  void Dispatch(MSG& msg);
  void ShowDefaultException(std::exception_ptr error);

  HINSTANCE instance_ = nullptr;
  HWND handle_ = nullptr;
  std::string title_;
  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  DWORD mainThreadId_ = 0;
  ExceptionHandler exceptionHandler_;
};

// The process-wide application object.
TApplication& Application();

// Text of an exception for messages: what() of std::exception, otherwise a
// generic text.
std::string ExceptionMessage(std::exception_ptr error);

}  // namespace corvan::ui
