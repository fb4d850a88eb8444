#pragma once
// A standard Windows control placed on a form: a real child window with its
// caption and a stable control id, so accessibility tools see it.
#include <windows.h>

#include <string>

namespace corvan::ui {

class TForm;

struct Bounds {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

class TControl {
 public:
  TControl() = default;
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;
  virtual ~TControl();

  HWND Handle() const { return handle_; }
  int Id() const { return id_; }

  std::string Caption() const;
  virtual void SetCaption(const std::string& text);
  bool Enabled() const;
  void SetEnabled(bool enabled);
  Bounds BoundsInParent() const;

  // Notification codes of WM_COMMAND and owner drawing, routed by the form.
  virtual void HandleCommand(int /*code*/) {}
  virtual void DrawItem(const DRAWITEMSTRUCT& /*item*/) {}

 protected:
  void CreateChild(TForm& form, int id, const char* className, const std::string& text, DWORD style,
                   DWORD exStyle, const Bounds& bounds, HFONT font);
  TForm* Form() const { return form_; }

 private:
  HWND handle_ = nullptr;
  TForm* form_ = nullptr;
  int id_ = 0;
};

}  // namespace corvan::ui
