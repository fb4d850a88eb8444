#pragma once
// Push button, check box and radio button: the standard BUTTON control in
// its three forms.
#include <functional>

#include "ui/Control.h"

namespace corvan::ui {

class TButtonControl : public TControl {
 public:
  std::function<void()> OnClick;
  void HandleCommand(int code) override;

 protected:
  void CreateButton(TForm& form, int id, const Bounds& bounds, const std::string& caption,
                    DWORD style);
};

class TButton : public TButtonControl {
 public:
  void Create(TForm& form, int id, const Bounds& bounds, const std::string& caption);
};

// Check box and radio button: a button with a checked state.
class TCheckableButton : public TButtonControl {
 public:
  bool Checked() const;
  void SetChecked(bool checked);
};

class TCheckBox : public TCheckableButton {
 public:
  void Create(TForm& form, int id, const Bounds& bounds, const std::string& caption);
};

// Radio buttons created one after the other form one group; the first of
// the group is created with firstOfGroup. Checking one unchecks the others.
class TRadioButton : public TCheckableButton {
 public:
  void Create(TForm& form, int id, const Bounds& bounds, const std::string& caption,
              bool firstOfGroup);
};

}  // namespace corvan::ui
