#pragma once
// The two message dialogs of the launcher: the plain message box (no icon,
// application title as caption, one OK button) and the error dialog (error
// icon, caption "Error"). Both are modal to the application.
#include <string>

namespace corvan::ui {

void ShowPlainMessage(const std::string& text);
void ShowErrorDialog(const std::string& text);

}  // namespace corvan::ui
