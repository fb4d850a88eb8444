#include "ui/SpinEdit.h"

#include <commctrl.h>

#include <climits>
#include <string>

#include "ui/Application.h"
#include "ui/Form.h"
#include "ui/IntegerText.h"

namespace corvan::ui {

void TSpinEdit::Create(TForm& form, int id, int left, int top, int width, int value) {
  CreateChild(form, id, "EDIT", std::to_string(value), ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP,
              WS_EX_CLIENTEDGE, {left, top, width, kDefaultHeight}, form.Font());
  // UDS_ALIGNRIGHT narrows the edit by the arrows' width, so the pair keeps
  // the given bounds. The range is unbounded: the number is checked by its
  // user, and a typed value outside any range must stay visible as typed.
  upDown_ = CreateWindowExA(
      0, UPDOWN_CLASSA, "",
      WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_SETBUDDYINT | UDS_ARROWKEYS | UDS_NOTHOUSANDS, 0,
      0, 0, 0, form.Handle(), nullptr, Application().Instance(), nullptr);
  SendMessageA(upDown_, UDM_SETBUDDY, reinterpret_cast<WPARAM>(Handle()), 0);
  // Where the arrows overlap the edit's border differs between versions of
  // the control: move them flush with the right edge of the bounds.
  RECT arrows;
  GetWindowRect(upDown_, &arrows);
  MapWindowPoints(nullptr, form.Handle(), reinterpret_cast<POINT*>(&arrows), 2);
  const int shift = left + width - arrows.right;
  if (shift != 0) {
    SetWindowPos(upDown_, nullptr, arrows.left + shift, arrows.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT edit;
    GetWindowRect(Handle(), &edit);
    SetWindowPos(Handle(), nullptr, 0, 0, edit.right - edit.left + shift, edit.bottom - edit.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SendMessageA(upDown_, UDM_SETRANGE32, static_cast<WPARAM>(INT_MIN + 1), INT_MAX);
  SendMessageA(upDown_, UDM_SETPOS32, 0, value);
}

std::optional<int> TSpinEdit::Value() const { return ParseInteger(Caption()); }

void TSpinEdit::SetValue(int value) {
  SendMessageA(upDown_, UDM_SETPOS32, 0, value);
  SetCaption(std::to_string(value));
}

}  // namespace corvan::ui
