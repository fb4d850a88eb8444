#pragma once
// The built-in handlers of the contact and screenshot forms. The owner
// object they receive is an AssistantOwner (the report, or null).
#include <string>

#include "crash/ui/zelNVAssistant.h"

namespace corvan::crash {

class AssistantOwner {
 public:
  // "name <address>": the sender of the report's mail.
  virtual void SetMailFrom(const std::string& sender) = 0;
  // The report's screenshot (taken on first request; null when there is
  // none) and whether it goes with the report.
  virtual Ref<INVBitmap> Screenshot() = 0;
  virtual void SetScreenshot(Ref<INVBitmap> bitmap) = 0;
  virtual bool SendScreenshot() const = 0;
  virtual void SetSendScreenshot(bool send) = 0;
  // The reporter's temporary folder, with a trailing backslash; empty when
  // unknown.
  virtual std::string TemporaryFolder() const = 0;

 protected:
  ~AssistantOwner() = default;
};

// Registry key (HKEY_CURRENT_USER) of the remembered contact data.
inline constexpr const char* kContactKey = "Software\\Quenor\\ContactForm";

void __stdcall HandleContactForm(TNVForm& form, FormAction action, TNVItem* item, void* owner);
// Lets the user edit the screenshot in the image editor registered for BMP
// files; the form's user data holds the editing record meanwhile.
void __stdcall HandleScreenshotForm(TNVForm& form, FormAction action, TNVItem* item, void* owner);

// Starts the editor on path without any message box of the shell (a
// missing editor must not put a system message over the form). Returns
// the editor's process handle, null when none could be started.
HANDLE StartImageEditor(const std::string& path);

}  // namespace corvan::crash
