#include "ui/Control.h"

#include <vector>

#include "ui/Application.h"
#include "ui/Form.h"

namespace corvan::ui {

TControl::~TControl() {
  if (handle_ && IsWindow(handle_)) DestroyWindow(handle_);
}

void TControl::CreateChild(TForm& form, int id, const char* className, const std::string& text,
                           DWORD style, DWORD exStyle, const Bounds& bounds, HFONT font) {
  form_ = &form;
  id_ = id;
  handle_ = CreateWindowExA(exStyle, className, text.c_str(), WS_CHILD | WS_VISIBLE | style,
                            bounds.left, bounds.top, bounds.width, bounds.height, form.Handle(),
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                            Application().Instance(), nullptr);
  SendMessageA(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  form.RegisterControl(*this);
}

std::string TControl::Caption() const {
  const int length = GetWindowTextLengthA(handle_);
  std::vector<char> text(static_cast<size_t>(length) + 1);
  const int copied = GetWindowTextA(handle_, text.data(), length + 1);
  return std::string(text.data(), static_cast<size_t>(copied > 0 ? copied : 0));
}

void TControl::SetCaption(const std::string& text) { SetWindowTextA(handle_, text.c_str()); }

bool TControl::Enabled() const { return IsWindowEnabled(handle_) != FALSE; }

void TControl::SetEnabled(bool enabled) { EnableWindow(handle_, enabled ? TRUE : FALSE); }

Bounds TControl::BoundsInParent() const {
  RECT r;
  GetWindowRect(handle_, &r);
  MapWindowPoints(nullptr, GetParent(handle_), reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

}  // namespace corvan::ui
