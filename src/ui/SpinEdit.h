#pragma once
// Integer spin edit: an edit control with an up-down buddy at its right
// edge. The pair occupies the bounds given to Create.
#include <optional>

#include "ui/Control.h"

namespace corvan::ui {

class TSpinEdit : public TControl {
 public:
  // Edit height when none is given: one line of the form font.
  static constexpr int kDefaultHeight = 21;

  void Create(TForm& form, int id, int left, int top, int width, int value = 0);
  // The typed number, or none when the text is not an integer.
  std::optional<int> Value() const;
  void SetValue(int value);
  HWND UpDown() const { return upDown_; }

 private:
  HWND upDown_ = nullptr;
};

}  // namespace corvan::ui
