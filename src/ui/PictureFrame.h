#pragma once
// A picture frame showing a bitmap resource centred on the form's
// background.
#include "ui/Control.h"
#include "common/WinHandles.h"

namespace corvan::ui {

class TPictureFrame : public TControl {
 public:
  void Create(TForm& form, int id, const Bounds& bounds, const char* bitmapResource,
              const std::string& description);
  void DrawItem(const DRAWITEMSTRUCT& item) override;

 private:
  ScopedBitmap bitmap_;
};

}  // namespace corvan::ui
