#pragma once
// A text label that sizes itself to its text, like a caption on a form.
#include "ui/Control.h"

namespace corvan::ui {

class TLabel : public TControl {
 public:
  void Create(TForm& form, int id, int left, int top, const std::string& caption,
              bool bold = false);
  void SetCaption(const std::string& text) override;

 private:
  void FitToText(const std::string& text);
  HFONT font_ = nullptr;
};

}  // namespace corvan::ui
