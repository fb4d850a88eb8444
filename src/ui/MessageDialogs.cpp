#include "ui/MessageDialogs.h"

#include <windows.h>

#include "ui/Application.h"

namespace corvan::ui {
namespace {

// Without an owner the box is centred on the screen; MB_TASKMODAL disables
// every window of the thread while it is shown, so it is application-modal.
void ShowMessageDialog(const std::string& text, const char* caption, UINT icon) {
  MessageBoxA(nullptr, text.c_str(), caption, MB_OK | MB_TASKMODAL | MB_SETFOREGROUND | icon);
}

}  // namespace

void ShowPlainMessage(const std::string& text) {
  ShowMessageDialog(text, Application().Title().c_str(), 0);
}

void ShowErrorDialog(const std::string& text) { ShowMessageDialog(text, "Error", MB_ICONERROR); }

}  // namespace corvan::ui
