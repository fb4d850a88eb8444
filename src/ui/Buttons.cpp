#include "ui/Buttons.h"

#include "ui/Form.h"

namespace corvan::ui {

void TButtonControl::CreateButton(TForm& form, int id, const Bounds& bounds,
                                  const std::string& caption, DWORD style) {
  CreateChild(form, id, "BUTTON", caption, style, 0, bounds, form.Font());
}

void TButtonControl::HandleCommand(int code) {
  if (code == BN_CLICKED && OnClick) OnClick();
}

void TButton::Create(TForm& form, int id, const Bounds& bounds, const std::string& caption) {
  CreateButton(form, id, bounds, caption, BS_PUSHBUTTON | WS_TABSTOP);
}

bool TCheckableButton::Checked() const {
  return SendMessageA(Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TCheckableButton::SetChecked(bool checked) {
  // Going through a click keeps the group of a radio button consistent.
  if (checked && (GetWindowLongA(Handle(), GWL_STYLE) & BS_TYPEMASK) == BS_AUTORADIOBUTTON) {
    for (HWND sibling = GetNextDlgGroupItem(GetParent(Handle()), Handle(), FALSE);
         sibling && sibling != Handle();
         sibling = GetNextDlgGroupItem(GetParent(Handle()), sibling, FALSE)) {
      SendMessageA(sibling, BM_SETCHECK, BST_UNCHECKED, 0);
    }
  }
  SendMessageA(Handle(), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TCheckBox::Create(TForm& form, int id, const Bounds& bounds, const std::string& caption) {
  CreateButton(form, id, bounds, caption, BS_AUTOCHECKBOX | WS_TABSTOP);
}

void TRadioButton::Create(TForm& form, int id, const Bounds& bounds, const std::string& caption,
                          bool firstOfGroup) {
  CreateButton(form, id, bounds, caption,
               BS_AUTORADIOBUTTON | (firstOfGroup ? WS_GROUP | WS_TABSTOP : 0));
}

}  // namespace corvan::ui
