#pragma once
// A top-level window with a fixed client size, tool-window border, centred
// on the screen, button-face background and the Tahoma 8 pt font. Child
// controls register themselves so that their notifications reach them.
#include <windows.h>

#include <map>
#include <string>

#include "ui/Window.h"
#include "common/WinHandles.h"

namespace corvan::ui {

class TControl;

enum class ModalResult { None, Ok, Cancel };

class TForm : public TWindow {
 public:
  // The form object of a window, or null when the window is not a form.
  static TForm* FromHandle(HWND hwnd);

  void Show();
  void Hide();
  // Closes the form: a modal showing ends, the main form ends the program.
  void Close();
  // Shows the form modally: every other form is disabled until it closes.
  ModalResult ShowModal();
  void SetModalResult(ModalResult result) { modalResult_ = result; }
  bool Visible() const;

  HFONT Font() const { return font_.get(); }
  HFONT BoldFont() const { return boldFont_.get(); }

  void RegisterControl(TControl& control);

 protected:
  // Creates the window hidden, builds the controls, then runs FormCreate.
  void CreateForm(const char* className, const std::string& caption, int clientWidth,
                  int clientHeight);
  virtual void CreateControls() = 0;
  virtual void FormCreate() {}

  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  TControl* ControlById(int id) const;

  ScopedFont font_;
  ScopedFont boldFont_;
  std::map<int, TControl*> controls_;
  bool modal_ = false;
  ModalResult modalResult_ = ModalResult::None;
};

}  // namespace corvan::ui
