#include "ui/Label.h"

#include "ui/Form.h"

namespace corvan::ui {

void TLabel::Create(TForm& form, int id, int left, int top, const std::string& caption, bool bold) {
  font_ = bold ? form.BoldFont() : form.Font();
  // SS_NOPREFIX: "&" in status texts is shown as it is.
  CreateChild(form, id, "STATIC", caption, SS_LEFT | SS_NOPREFIX | WS_GROUP, 0, {left, top, 0, 0},
              font_);
  FitToText(caption);
}

void TLabel::SetCaption(const std::string& text) {
  FitToText(text);
  TControl::SetCaption(text);
}

void TLabel::FitToText(const std::string& text) {
  HDC dc = GetDC(Handle());
  HGDIOBJ old = SelectObject(dc, font_);
  SIZE extent{0, 0};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(Handle(), dc);
  SetWindowPos(Handle(), nullptr, 0, 0, extent.cx, metrics.tmHeight,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(Handle(), nullptr, TRUE);
}

}  // namespace corvan::ui
