#pragma once
// What the exception box needs of the report it shows, and what it hands
// back: its settings, texts and sections, the application's action
// handlers, and the ways the program goes on or ends. The crash handling
// core implements it over its exception report; tests implement it
// directly. Calls come from the box's own thread, except where noted.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "crash/ui/DetailsView.h"

namespace corvan::crash {

class ExceptionBoxReport {
 public:
  // The report's settings (string values expanded).
  virtual bool GetBool(std::string_view name) const = 0;
  virtual std::int32_t GetInt(std::string_view name) const = 0;
  virtual std::string GetStr(std::string_view name) const = 0;
  virtual void SetBool(std::string_view name, bool value) = 0;
  virtual void SetInt(std::string_view name, std::int32_t value) = 0;
  // text with its variables expanded, "%exceptMsg%" being message.
  virtual std::string ExpandWithMessage(std::string_view text,
                                        const std::string& message) const = 0;

  // The module whose picture resources the box shows.
  virtual HMODULE PictureModule() const = 0;
  virtual std::string ExceptionMessage() const = 0;
  virtual bool IsFreeze() const = 0;
  virtual bool CanContinue() const = 0;
  // A program of the console subsystem gets the report on standard output.
  virtual bool IsConsoleProgram() const = 0;
  // AutoClose / AutoRestart due by the exception history.
  virtual bool AutoCloseDue() const = 0;
  virtual bool AutoRestartDue() const = 0;

  virtual NamedTexts HeaderFields() = 0;
  virtual NamedTexts Sections() = 0;
  // The rendered report; with complete, waits until it is complete.
  virtual std::string ReportText(bool complete) = 0;

  // Changes of the report, from any thread. The box's callback only posts.
  using ChangeCallback = void (*)(void* context);
  virtual void AddChangeListener(ChangeCallback callback, void* context) = 0;
  virtual void RemoveChangeListener(ChangeCallback callback, void* context) = 0;

  // The application's action handlers (codes of ReportAction); true when
  // one of them handled the action.
  virtual bool FireAction(int action, HWND parent) = 0;
  // Runs the pending automatic actions before the program ends.
  virtual void FinishAutomaticActions() = 0;
  // Neither returns.
  [[noreturn]] virtual void RestartProgram() = 0;
  [[noreturn]] virtual void TerminateProgram() = 0;
  // Delivery and saving on the user's request.
  virtual void Send(HWND parent) = 0;
  virtual bool Save(HWND parent) = 0;
  // Runs the assistant of the show setting 1; false when there is none.
  virtual bool RunShowAssistant() = 0;
  // A freeze report's box asks the watchdog to tell it when the main
  // thread answers again (a WM_NULL 777/777 to the box).
  virtual void WatchForThaw(HWND box) = 0;

 protected:
  ~ExceptionBoxReport() = default;
};

}  // namespace corvan::crash
