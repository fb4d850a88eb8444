#include "ui/PictureFrame.h"

#include "ui/Application.h"
#include "ui/Form.h"

namespace corvan::ui {

void TPictureFrame::Create(TForm& form, int id, const Bounds& bounds, const char* bitmapResource,
                           const std::string& description) {
  bitmap_.reset(static_cast<HBITMAP>(LoadImageA(Application().Instance(), bitmapResource,
                                                IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
  // The caption is never drawn; it names the picture for screen readers.
  CreateChild(form, id, "STATIC", description, SS_OWNERDRAW, 0, bounds, form.Font());
}

void TPictureFrame::DrawItem(const DRAWITEMSTRUCT& item) {
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
  if (!bitmap_) return;
  BITMAP info{};
  GetObjectA(bitmap_.get(), sizeof info, &info);
  HDC memory = CreateCompatibleDC(item.hDC);
  HGDIOBJ old = SelectObject(memory, bitmap_.get());
  const int x = item.rcItem.left + (item.rcItem.right - item.rcItem.left - info.bmWidth) / 2;
  const int y = item.rcItem.top + (item.rcItem.bottom - item.rcItem.top - info.bmHeight) / 2;
  BitBlt(item.hDC, x, y, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
}

}  // namespace corvan::ui
