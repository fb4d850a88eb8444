#pragma once
// The application object: title, main window, the message loop and the one
// place where exceptions escaping window procedures and callbacks end up.
#include <windows.h>

#include <exception>
#include <functional>
#include <string>

namespace corvan::ui {

class TForm;

class TApplication {
 public:
  using ExceptionHandler = std::function<void(std::exception_ptr)>;

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
  // shows its message in a plain message box; the crash reporter replaces
  // the handler with its own.
  void HandleException(std::exception_ptr error) noexcept;
  void SetExceptionHandler(ExceptionHandler handler);

 private:
  bool ProcessOneMessage(bool wait);
  void Dispatch(MSG& msg);
  void ShowDefaultException(std::exception_ptr error);

  HINSTANCE instance_ = nullptr;
  HWND handle_ = nullptr;
  std::string title_;
  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  ExceptionHandler exceptionHandler_;
};

// The process-wide application object.
TApplication& Application();

// Text of an exception for messages: what() of std::exception, otherwise a
// generic text.
std::string ExceptionMessage(std::exception_ptr error);

}  // namespace corvan::ui
