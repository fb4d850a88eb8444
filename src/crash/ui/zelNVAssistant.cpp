#include "crash/ui/zelNVAssistant.h"

#include <algorithm>
#include <cctype>

#include "crash/ui/FormHandlerLookup.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr const char* kWindowClass = "zelNVAssistantWnd";
constexpr UINT_PTR kFormTimer = 777;

FormHandler builtInContact = nullptr;
FormHandler builtInScreenshot = nullptr;

COLORREF Sys(int index) { return GetSysColor(index); }

// What the frames of an image take of its rectangle in each dimension: the
// click frame 3 pixels a side, the border 1.
int ImageMargin(const ItemData& image) {
  return (image.clickable ? 6 : 0) + (image.border ? 2 : 0);
}

ScopedFont MakeFont(int size, bool bold, const char* face) {
  HFONT font =
      CreateFontA(-size, 0, 0, 0, bold ? 700 : 400, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, face);
  if (!font)
    font = CreateFontA(-size, 0, 0, 0, bold ? 700 : 400, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0,
                       "MS Sans Serif");
  return ScopedFont(font);
}

SIZE TextSize(HDC dc, HFONT font, const std::string& text) {
  ScopedSelection select(dc, font);
  SIZE size{};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  return size;
}

void Fill(HDC dc, int left, int top, int right, int bottom, COLORREF colour) {
  const RECT r{left, top, right, bottom};
  ScopedGdi<HBRUSH> brush(CreateSolidBrush(colour));
  FillRect(dc, &r, brush.get());
}

void Frame(HDC dc, const RECT& r, COLORREF colour, int width) {
  Fill(dc, r.left, r.top, r.right, r.top + width, colour);
  Fill(dc, r.left, r.bottom - width, r.right, r.bottom, colour);
  Fill(dc, r.left, r.top, r.left + width, r.bottom, colour);
  Fill(dc, r.right - width, r.top, r.right, r.bottom, colour);
}

// A 1-pixel dotted rectangle outline (inclusive corners).
void DottedFrame(HDC dc, int left, int top, int right, int bottom, COLORREF pen, COLORREF gaps) {
  ScopedGdi<HPEN> dotted(CreatePen(PS_DOT, 1, pen));
  ScopedSelection select(dc, dotted.get());
  SetBkMode(dc, OPAQUE);
  SetBkColor(dc, gaps);
  ScopedSelection noBrush(dc, GetStockObject(NULL_BRUSH));
  Rectangle(dc, left, top, right + 1, bottom + 1);
}

// Text with a transparent background; with a halo first drawn in white at
// the eight 1-pixel offsets; centred in box when one is given.
void DrawLabel(HDC dc, const std::string& text, int size, bool bold, const char* face,
               COLORREF colour, bool halo, int x, int y, const RECT* box = nullptr) {
  ScopedFont font = MakeFont(size, bold, face);
  ScopedSelection select(dc, font.get());
  SetBkMode(dc, TRANSPARENT);
  if (box) {
    SIZE s{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &s);
    x = box->left + (box->right - box->left - s.cx) / 2;
    y = box->top + (box->bottom - box->top - s.cy) / 2;
  }
  if (halo) {
    SetTextColor(dc, RGB(255, 255, 255));
    for (int dx = -1; dx <= 1; ++dx) {
      for (int dy = -1; dy <= 1; ++dy) {
        if (dx || dy) TextOutA(dc, x + dx, y + dy, text.c_str(), static_cast<int>(text.size()));
      }
    }
  }
  SetTextColor(dc, colour);
  TextOutA(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

bool IsMainButton(const TNVItem& item) { return item.Index() < kFirstPlacedItem; }

}  // namespace

void SetBuiltInFormHandlers(FormHandler contactForm, FormHandler screenshotForm) {
  builtInContact = contactForm;
  builtInScreenshot = screenshotForm;
}

// ---- Items -----------------------------------------------------------------

void TNVItem::SetEnabled(bool on) {
  data_.enabled = on;
  if (window_) EnableWindow(window_, on && !data_.forceDisabled);
}

void TNVItem::SetCaption(const std::string& caption) {
  data_.caption = caption;
  if (window_) SetWindowTextA(window_, caption.c_str());
}

std::string TNVItem::Text() const {
  if (!window_ || data_.kind != ItemKind::Edit) return data_.text;
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window_)) + 1, '\0');
  text.resize(static_cast<std::size_t>(
      GetWindowTextA(window_, text.data(), static_cast<int>(text.size()))));
  return text;
}

void TNVItem::SetText(const std::string& text) {
  if (data_.kind != ItemKind::Edit) return;
  const bool differs = Text() != text;
  data_.text = text;
  if (window_ && differs) {
    SetWindowTextA(window_, text.c_str());  // EN_CHANGE fires the event
  } else {
    form_.Fire(FormAction::ItemEvent, this);
    form_.CheckContinue();
  }
}

void TNVItem::SetValid(bool valid) {
  data_.notValid = !valid;
  if (window_) InvalidateRect(window_, nullptr, TRUE);
  form_.CheckContinue();
}

void TNVItem::SetChecked(bool checked) {
  data_.checked = checked;
  if (window_) InvalidateRect(window_, nullptr, FALSE);
}

void TNVItem::SetBitmap(Ref<INVBitmap> bitmap) {
  bitmap_ = std::move(bitmap);
  const int margin = ImageMargin(data_);
  const int areaW = rect_.right - rect_.left - margin, areaH = rect_.bottom - rect_.top - margin;
  if (bitmap_ && areaW > 0 && areaH > 0 &&
      (bitmap_->GetWidth() > areaW || bitmap_->GetHeight() > areaH)) {
    if (Ref<INVBitmap> copy = bitmap_->Resize(areaW, areaH)) bitmap_ = copy;
  }
  if (form_.Window()) InvalidateRect(form_.Window(), &rect_, TRUE);
}

// ---- Forms -----------------------------------------------------------------

Ref<TNVForm> TNVForm::Create(const std::uint8_t* data, std::size_t size, TNVAssistant* assistant,
                             std::string title, int step, int stepCount, void* owner) {
  Ref<TNVForm> form(new TNVForm);
  form->assistant_ = assistant;
  form->title_ = std::move(title);
  form->step_ = step;
  form->stepCount_ = stepCount;
  form->owner_ = owner;
  const char* names[] = {"ContinueBtn", "SkipBtn", "CancelBtn"};
  const char* captions[] = {"Next >", "Skip", "Cancel"};
  for (int i = 0; i < 3; ++i) {
    ItemData button(ItemKind::Button, names[i]);
    button.caption = captions[i];
    form->AddItem(std::move(button));
  }
  form->Load(data, size);
  form->Fire(FormAction::Created, nullptr);  // the RefPtr keeps it alive meanwhile
  return form;
}

TNVForm::~TNVForm() = default;

TNVItem& TNVForm::AddItem(ItemData data) {
  auto item = std::make_unique<TNVItem>(*this, std::move(data));
  item->index_ = items_.size();
  if (!items_.empty()) {
    TNVItem* first = items_.front().get();
    TNVItem* last = first->previous_;
    item->previous_ = last;
    item->next_ = first;
    last->next_ = item.get();
    first->previous_ = item.get();
  }
  items_.push_back(std::move(item));
  return *items_.back();
}

void TNVForm::Load(const std::uint8_t* data, std::size_t size) {
  const FormStreamContent content = ParseFormStream(data, size);
  for (const FormObject& object : content.objects) {
    const std::string name = CanonicalItemName(object.objectName);
    const std::optional<ItemKind> kind = ItemKindOfClass(object.className);
    TNVItem* item = nullptr;
    if (kind == ItemKind::Button) {
      for (std::size_t i = 0; i < kFirstPlacedItem; ++i) {
        if (items_[i]->Name() == name) item = items_[i].get();
      }
    }
    if (kind && !item) item = &AddItem(ItemData(*kind, name));
    if (!kind && data_.name.empty()) data_.name = name;
    for (const FormProperty& p : object.properties) {
      const std::string text = p.value.Text();
      if (item) {
        item->data_.Apply(p.name, text);
      } else {
        data_.Apply(p.name, text);
      }
    }
  }
  if (content.Broken()) {
    const std::string text = InvalidFormResourceText(
        content.end == FormStreamContent::End::InvalidTag ? content.tag : 0);
    MessageBoxA(nullptr, text.c_str(), kFormErrorCaption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
  }
  FormHandler chosen = nullptr;
  if (EqualsIgnoreCase(data_.onAction, "zelExcept.HandleContactForm")) {
    chosen = builtInContact;
  } else if (EqualsIgnoreCase(data_.onAction, "zelExcept.HandleScreenshotForm")) {
    chosen = builtInScreenshot;
  } else if (!data_.onAction.empty()) {
    chosen = reinterpret_cast<FormHandler>(ProgramHandlerEntry(data_.onAction));
  }
  // A handler of any other shape would unbalance the stack: the form goes
  // without one.
  if (chosen && HasHandlerShape(static_cast<Address>(reinterpret_cast<std::uintptr_t>(chosen))))
    handler_ = chosen;
}

TNVItem* TNVForm::Find(std::string_view name, ItemKind kind) const {
  for (const auto& item : items_) {
    if (item->Kind() == kind && item->Name() == name) return item.get();
  }
  return nullptr;
}

void TNVForm::Fire(FormAction action, TNVItem* item) {
  const Ref<TNVForm> keep(this);  // a handler may drop the last reference of its own
  if (handler_) handler_(*this, action, item, owner_);
  if (assistant_ && assistant_->Handler()) assistant_->Handler()(*this, action, item, owner_);
}

bool TNVForm::ContinueEnabled() const {
  const ItemData& c = ContinueButton().Data();
  return c.enabled && !c.forceDisabled;
}

void TNVForm::CheckContinue() {
  bool allowed = true;
  for (std::size_t i = kFirstPlacedItem; i < items_.size(); ++i) {
    ItemData probe = items_[i]->data_;
    probe.text = items_[i]->Text();
    allowed = allowed && probe.AllowsContinue();
  }
  TNVItem& button = ContinueButton();
  button.data_.forceDisabled = !allowed;
  if (button.window_) EnableWindow(button.window_, ContinueEnabled());
}

HWND TNVForm::CreateChild(TNVItem& item, const char* cls, DWORD style) {
  const RECT& r = item.rect_;
  HWND child = CreateWindowExA(
      0, cls,
      item.data_.kind == ItemKind::Edit ? item.data_.text.c_str() : item.data_.caption.c_str(),
      WS_CHILD | style, r.left, r.top, r.right - r.left, r.bottom - r.top, window_,
      reinterpret_cast<HMENU>(static_cast<UINT_PTR>(100 + item.index_)), GetModuleHandleA(nullptr),
      nullptr);
  if (!child) return nullptr;
  SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  if (!item.data_.enabled) EnableWindow(child, FALSE);
  ShowWindow(child, SW_SHOW);
  item.window_ = child;
  return child;
}

void TNVForm::PlaceItem(TNVItem& item, int& y, HDC dc) {
  ItemData& d = item.data_;
  const int x = 21;
  switch (d.kind) {
    case ItemKind::Label: {
      y -= 2;
      RECT r{0, 0, width_ - 46, 0};
      ScopedSelection select(dc, font_.get());
      DrawTextA(dc, d.caption.c_str(), -1, &r, DT_CALCRECT | DT_WORDBREAK);
      item.rect_ = {x, y, x + r.right, y + r.bottom};
      CreateChild(item, "Static", SS_LEFT);
      break;
    }
    case ItemKind::Edit: {
      const SIZE gg = TextSize(dc, font_.get(), "Gg");
      const int h = gg.cy > 0 ? gg.cy : 13;
      const int height = (d.MultiLine() ? h * d.lines : h) + 2;
      item.rect_ = {x + 2, y + 2, x + 2 + width_ - 46, y + 2 + height};
      const DWORD style =
          d.MultiLine() ? ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL : 0;
      CreateChild(item, "Edit", style | WS_TABSTOP);
      InflateRect(&item.rect_, 2, 2);
      break;
    }
    case ItemKind::Button: {
      const SIZE s = TextSize(dc, font_.get(), d.caption);
      const int w = std::max({static_cast<int>(s.cx) + 32, 70, static_cast<int>(d.minWidth)});
      item.rect_ = {x, y, x + w, y + s.cy + 10};
      CreateChild(item, "Button", BS_NOTIFY | WS_TABSTOP);
      break;
    }
    case ItemKind::CheckBox: {
      const SIZE s = TextSize(dc, font_.get(), d.caption);
      const int w = s.cx + GetSystemMetrics(SM_CXMENUCHECK) + 8;
      const int h = std::max<int>(s.cy, GetSystemMetrics(SM_CYMENUCHECK));
      item.rect_ = {x, y, x + w, y + h};
      CreateChild(item, "Button", BS_NOTIFY | BS_OWNERDRAW | WS_TABSTOP);
      break;
    }
    case ItemKind::Image: {
      const int a = ImageMargin(d);
      if (!item.bitmap_ && !d.fileName.empty()) item.bitmap_ = LoadBmpFile(d.fileName);
      int w = d.width ? d.width : item.bitmap_ ? item.bitmap_->GetWidth() : 32;
      int h = d.height ? d.height : item.bitmap_ ? item.bitmap_->GetHeight() : 32;
      w = std::min(w, width_ - a - 42);
      h = std::min(h, GetSystemMetrics(SM_CYSCREEN) / 3);
      if (item.bitmap_ && (item.bitmap_->GetWidth() != w || item.bitmap_->GetHeight() != h)) {
        if (Ref<INVBitmap> copy = item.bitmap_->Resize(w, h)) {
          item.bitmap_ = copy;
          w = copy->GetWidth();
          h = copy->GetHeight();
        }
      }
      item.rect_ = {x, y, x + w + a, y + h + a};
      break;
    }
  }
  y = item.rect_.bottom;
}

void TNVForm::Layout() {
  ScopedWindowDc screen(window_);
  HDC dc = screen.get();
  font_ = MakeFont(11, false, "Tahoma");
  ScopedFont plainButtons = MakeFont(11, false, "Tahoma");
  ScopedFont drawnButtons = MakeFont(15, false, "Arial");
  ScopedFont heading = MakeFont(15, true, "Arial");
  MainButtons buttons;
  int heights[3];
  for (std::size_t i = 0; i < kFirstPlacedItem; ++i) {
    const ItemData& b = items_[i]->data_;
    const SIZE s = TextSize(dc, b.noOwnerDraw ? plainButtons.get() : drawnButtons.get(), b.caption);
    buttons.width[i] = MainButtonWidth(s.cx, !b.noOwnerDraw, !b.invisible);
    buttons.noOwnerDraw[i] = b.noOwnerDraw;
    heights[i] = MainButtonHeight(!b.noOwnerDraw);
  }
  buttons.skipInvisible = SkipButton().data_.invisible;
  width_ = FormClientWidth(data_.minWidth, buttons, TextSize(dc, heading.get(), data_.message).cx,
                           stepCount_);

  std::vector<GapItem> gaps;
  for (std::size_t i = kFirstPlacedItem; i < items_.size(); ++i) {
    const ItemData& d = items_[i]->data_;
    bool head = false;
    if (d.kind == ItemKind::Label && IsHeadLabelCaption(d.caption)) {
      RECT wrapped{0, 0, width_ - 46, 0}, single{0, 0, 0, 0};
      ScopedSelection select(dc, font_.get());
      DrawTextA(dc, d.caption.c_str(), -1, &wrapped, DT_CALCRECT | DT_WORDBREAK);
      DrawTextA(dc, d.caption.c_str(), -1, &single, DT_CALCRECT | DT_SINGLELINE);
      head = wrapped.bottom == single.bottom;
    }
    gaps.push_back({d.kind, d.spacing, head});
  }
  int y = 40;
  for (std::size_t i = kFirstPlacedItem; i < items_.size(); ++i) {
    PlaceItem(*items_[i], y, dc);
    y += GapBelow(gaps, i - kFirstPlacedItem);
  }
  height_ = heights[0] + y + 33;

  int xs[3];
  PlaceMainButtons(width_, buttons, xs);
  for (std::size_t i = 0; i < kFirstPlacedItem; ++i) {
    TNVItem& b = *items_[i];
    const int top = height_ - heights[i] - 9;
    b.rect_ = {xs[i], top, xs[i] + std::max(buttons.width[i], 0), top + heights[i]};
    DWORD style = BS_NOTIFY | WS_TABSTOP;
    if (!b.data_.noOwnerDraw) style |= BS_OWNERDRAW;
    HWND w = CreateChild(b, "Button", style);
    if (w && b.data_.invisible) ShowWindow(w, SW_HIDE);
    if (w) SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  }
}

void TNVForm::Focus(TNVItem& item) {
  if (!item.window_) return;
  SetFocus(item.window_);
  if (item.Kind() == ItemKind::Edit) SendMessageA(item.window_, EM_SETSEL, 0, -1);
}

void TNVForm::FocusWalk(TNVItem* from, bool backwards) {
  if (!from) return;
  for (TNVItem* p = backwards ? from->previous_ : from->next_; p != from;
       p = backwards ? p->previous_ : p->next_) {
    if (p->data_.enabled && p->data_.tabStop && p->window_ && IsWindowEnabled(p->window_) &&
        !(p->data_.kind == ItemKind::Button && p->data_.invisible)) {
      Focus(*p);
      return;
    }
  }
}

TNVItem* TNVForm::ItemOfWindow(HWND window) const {
  for (const auto& item : items_) {
    if (item->window_ && item->window_ == window) return item.get();
  }
  return nullptr;
}

bool TNVForm::PreTranslate(MSG& msg) {
  if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
    if (CancelButton().window_ && IsWindowEnabled(CancelButton().window_)) {
      result_ = kCancel;
      msg.hwnd = window_;
      msg.message = WM_CLOSE;
      msg.wParam = msg.lParam = 0;
    }
    return false;
  }
  TNVItem* item = ItemOfWindow(msg.hwnd);
  if (msg.message == WM_CHAR && msg.wParam == '\t') {
    FocusWalk(item, GetKeyState(VK_SHIFT) < 0);
    return true;
  }
  if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN && item &&
      item->Kind() != ItemKind::Button) {
    if (item->Kind() == ItemKind::Edit && item->data_.MultiLine()) return false;
    FocusWalk(item, false);
    return true;
  }
  return false;
}

void TNVForm::Close(std::uint8_t result) {
  KillTimer(window_, kFormTimer);
  result_ = result;
  if (result == kContinue) {
    for (auto& item : items_) {
      if (item->Kind() == ItemKind::Edit) item->data_.text = item->Text();
    }
  }
  Fire(FormAction::Closing, nullptr);
  DestroyWindow(window_);
}

void TNVForm::Press(TNVItem& item) {
  if (item.Kind() == ItemKind::CheckBox) item.SetChecked(!item.data_.checked);
  Fire(FormAction::ItemEvent, &item);
  if (IsMainButton(item) && window_) Close(static_cast<std::uint8_t>(item.Index() + 1));
}

std::uint8_t TNVForm::ShowModal(HWND parent) {
  const Ref<TNVForm> keep(this);
  if (skip_) return result_ = kSkip;
  if (running_) return kNoResult;
  const bool reenable = parent && IsWindowEnabled(parent);
  if (reenable) EnableWindow(parent, FALSE);
  WNDCLASSA cls{};
  if (!GetClassInfoA(GetModuleHandleA(nullptr), kWindowClass, &cls)) {
    cls.style = 0xC0;
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = kWindowClass;
    RegisterClassA(&cls);
  }
  result_ = kNoResult;
  running_ = true;
  window_ =
      CreateWindowExA(WS_EX_DLGMODALFRAME, kWindowClass, title_.c_str(), WS_CAPTION | WS_SYSMENU, 0,
                      0, 200, 200, parent, nullptr, GetModuleHandleA(nullptr), this);
  if (window_) {
    HMENU menu = GetSystemMenu(window_, FALSE);
    for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE})
      DeleteMenu(menu, command, MF_BYCOMMAND);
    Layout();
    CheckContinue();
    TNVItem* focus = nullptr;
    for (auto& item : items_) {
      if (!focus && !data_.activeControl.empty() && item->Name() == data_.activeControl)
        focus = item.get();
    }
    if (focus) {
      Focus(*focus);
    } else {
      FocusWalk(&CancelButton(), false);
    }
    lastFocus_ = GetFocus();
    RECT frame{0, 0, width_, height_};
    AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
    const int w = frame.right - frame.left, h = frame.bottom - frame.top;
    SetWindowPos(window_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - h) / 2, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    Fire(FormAction::Shown, nullptr);
    if (skip_) {
      DestroyWindow(window_);
      result_ = kSkip;
    } else if (IsWindow(window_)) {
      ShowWindow(window_, SW_SHOWNORMAL);
      if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
      BringWindowToTop(window_);
      SetForegroundWindow(window_);
      if (focus || lastFocus_) SetFocus(focus ? focus->window_ : lastFocus_);
      if (data_.timerInterval)
        SetTimer(window_, kFormTimer, static_cast<UINT>(data_.timerInterval), nullptr);
      MSG msg;
      while (IsWindow(window_) && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (PreTranslate(msg)) continue;
        if (IsDialogMessageA(window_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
  }
  window_ = nullptr;
  for (auto& item : items_) item->window_ = nullptr;
  running_ = false;
  if (reenable) {
    EnableWindow(parent, TRUE);
    SetActiveWindow(parent);
  }
  if (result_ == kNoResult) result_ = kCancel;
  return result_;
}

// ---- Painting --------------------------------------------------------------

void TNVForm::PaintBackground(HDC dc) {
  const COLORREF face = Sys(COLOR_BTNFACE);
  Fill(dc, 0, 0, width_, height_, ShiftColour(face, 0x080808, true));
  const int panelBottom = ContinueButton().rect_.top - 10;
  Fill(dc, 8, 25, width_ - 8, panelBottom + 1, face);
  const COLORREF dots = ShiftColour(face, 0x101010, false);
  DottedFrame(dc, 8, 25, width_ - 9, panelBottom, dots, face);
  DottedFrame(dc, 9, 26, width_ - 10, panelBottom - 1, dots, face);
  DrawLabel(dc, data_.message, 15, true, "Arial", Sys(COLOR_3DDKSHADOW), true, 11, 6);
  const int x0 = StepBoxLeft(width_, step_, stepCount_);
  Fill(dc, x0, 2, x0 + 21, 23, Sys(COLOR_BTNSHADOW));
  Fill(dc, x0 + 2, 4, x0 + 19, 8, Sys(COLOR_WINDOW));
  for (int y = 7; y <= 19; ++y)
    Fill(dc, x0 + 2, y, x0 + 19, y + 1, Sys(COLOR_WINDOW) - (y - 7) * 0x020202);
  for (int i = 1; i <= stepCount_; ++i) {
    const bool current = i == step_;
    DrawLabel(dc, std::to_string(i), 15, true, "Arial",
              Sys(current ? COLOR_WINDOWTEXT : COLOR_BTNSHADOW), current,
              StepNumberX(width_, stepCount_, i), 4);
  }
}

void TNVForm::PaintItems(HDC dc) {
  const COLORREF tint = TintOf(Sys(COLOR_BTNFACE));
  for (std::size_t i = kFirstPlacedItem; i < items_.size(); ++i) {
    TNVItem& item = *items_[i];
    RECT r = item.rect_;
    if (item.Kind() == ItemKind::Edit) {
      if (item.window_ && GetFocus() == item.window_) {
        Fill(dc, r.left - 1, r.top - 1, r.right + 1, r.bottom + 1, Sys(COLOR_BTNSHADOW));
        Fill(dc, r.left - 1, r.bottom, r.right + 1, r.bottom + 1, Sys(COLOR_WINDOW));
        Fill(dc, r.right, r.top - 1, r.right + 1, r.bottom + 1, Sys(COLOR_WINDOW));
        Fill(dc, r.left, r.top, r.right, r.bottom, Sys(COLOR_BTNFACE));
        Fill(dc, r.left + 1, r.top + 1, r.right - 1, r.bottom - 1, Sys(COLOR_WINDOW));
      } else {
        Fill(dc, r.left, r.top, r.right, r.bottom, tint);
      }
    } else if (item.Kind() == ItemKind::Image) {
      if (item.data_.clickable) {
        Frame(dc, r, tint, 2);
        InflateRect(&r, -3, -3);
      }
      if (item.data_.border) {
        Frame(dc, r, Sys(COLOR_WINDOWTEXT), 1);
        InflateRect(&r, -1, -1);
      }
      Fill(dc, r.left, r.top, r.right, r.bottom, Sys(COLOR_BTNFACE));
      if (item.bitmap_) item.bitmap_->Paint(dc, r.left, r.top);
    }
  }
}

void TNVForm::DrawButton(TNVItem& item, const DRAWITEMSTRUCT& draw) {
  HDC dc = draw.hDC;
  const RECT r = draw.rcItem;
  COLORREF frame = 0xA08080, step = 0x020201;
  if (item.Index() == kContinueIndex) frame = 0x80A080, step = 0x020102;
  if (item.Index() == kSkipIndex) frame = 0xA08080, step = 0x010202;
  if (item.Index() == kCancelIndex || item.Index() >= kFirstPlacedItem)
    frame = 0x8080A0, step = 0x020201;
  const COLORREF face = Sys(COLOR_BTNFACE);
  const std::string& caption = item.data_.caption;
  if (draw.itemState & ODS_DISABLED) {
    Fill(dc, r.left, r.top, r.right, r.bottom, face);
    Fill(dc, r.left + 2, r.top + 2, r.right - 2, r.bottom - 2, ShiftColour(face, 0x101010, true));
    DrawLabel(dc, caption, 15, false, "Arial", ShiftColour(face, 0x141414, false), false, 0, 0, &r);
  } else if (draw.itemState & ODS_FOCUS) {
    Fill(dc, r.left, r.top, r.right, r.bottom, Sys(COLOR_WINDOWTEXT));
    COLORREF row = 0;
    COLORREF last = 0;
    for (int y = r.bottom - 3; y >= r.top + 2; --y) {
      Fill(dc, r.left + 2, y, r.right - 2, y + 1, row);
      last = row;
      row += 3 * (0x020202 - step);
    }
    DottedFrame(dc, r.left + 3, r.top + 3, r.right - 4, r.bottom - 4, frame, last);
    DrawLabel(dc, caption, 15, false, "Arial", Sys(COLOR_WINDOW), false, 0, 0, &r);
  } else {
    Fill(dc, r.left, r.top, r.right, r.bottom, Sys(COLOR_BTNSHADOW));
    Fill(dc, r.left + 2, r.top + 2, r.right - 2, r.bottom - 2, face);
    COLORREF row = 0xFFFFFF;
    for (int y = r.top + 3; y <= r.bottom - 4; ++y) {
      Fill(dc, r.left + 3, y, r.right - 3, y + 1, row);
      if (y & 1) row -= step;
    }
    DrawLabel(dc, caption, 15, false, "Arial", Sys(COLOR_WINDOWTEXT), true, 0, 0, &r);
  }
}

void TNVForm::DrawCheckBox(TNVItem& item, const DRAWITEMSTRUCT& draw) {
  HDC dc = draw.hDC;
  const RECT r = draw.rcItem;
  const int side = r.bottom - r.top;
  const RECT box{r.left, r.top, r.left + side, r.bottom};
  const bool disabled = draw.itemState & ODS_DISABLED;
  Fill(dc, r.left, r.top, r.right, r.bottom, Sys(COLOR_BTNFACE));
  Fill(dc, box.left, box.top, box.right, box.bottom, TintOf(Sys(COLOR_BTNFACE)));
  Fill(dc, box.left + 2, box.top + 2, box.right - 2, box.bottom - 2,
       Sys((draw.itemState & ODS_SELECTED) || disabled ? COLOR_BTNFACE : COLOR_WINDOW));
  if (item.data_.checked) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    const bool xp =
        version.dwMajorVersion > 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion >= 1);
    RECT mark = box;
    if (xp) OffsetRect(&mark, 0, -1);
    DrawLabel(dc, "a", 13, false, "Marlett", Sys(COLOR_WINDOWTEXT), false, 0, 0, &mark);
  }
  if (disabled) {
    DrawLabel(dc, item.data_.caption, 11, false, "Tahoma", Sys(COLOR_WINDOW), false, box.right + 6,
              r.top + 1);
    DrawLabel(dc, item.data_.caption, 11, false, "Tahoma", Sys(COLOR_BTNSHADOW), false,
              box.right + 5, r.top);
  } else {
    DrawLabel(dc, item.data_.caption, 11, false, "Tahoma", Sys(COLOR_WINDOWTEXT), false,
              box.right + 5, r.top);
  }
  if (draw.itemState & ODS_FOCUS) {
    const RECT focus{box.right + 4, r.top, r.right - 2, r.bottom};
    DrawFocusRect(dc, &focus);
  }
}

// ---- Messages --------------------------------------------------------------

LRESULT TNVForm::Proc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        lastFocus_ = GetFocus();
      } else if (lastFocus_ && IsWindow(lastFocus_)) {
        SetFocus(lastFocus_);
        return 0;
      }
      break;
    case WM_ERASEBKGND:
      PaintBackground(reinterpret_cast<HDC>(wParam));
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window_, &paint);
      PaintItems(dc);
      EndPaint(window_, &paint);
      return 0;
    }
    case WM_CLOSE:
      Close(kCancel);
      return 0;
    case WM_SETCURSOR:
      if (IsWindowEnabled(window_)) {
        POINT p;
        GetCursorPos(&p);
        ScreenToClient(window_, &p);
        for (auto& item : items_) {
          if (item->Kind() == ItemKind::Image && item->data_.clickable &&
              PtInRect(&item->rect_, p)) {
            SetCursor(LoadCursor(nullptr, IDC_HAND));
            return TRUE;
          }
        }
      }
      break;
    case WM_DRAWITEM: {
      const auto& draw = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (TNVItem* item = ItemOfWindow(draw.hwndItem)) {
        DRAWITEMSTRUCT local = draw;
        GetClientRect(draw.hwndItem, &local.rcItem);
        if (item->Kind() == ItemKind::CheckBox) {
          DrawCheckBox(*item, local);
        } else {
          DrawButton(*item, local);
        }
      }
      return TRUE;
    }
    case WM_CTLCOLOREDIT: {
      const HDC dc = reinterpret_cast<HDC>(wParam);
      COLORREF colour = 0;
      if (TNVItem* item = ItemOfWindow(reinterpret_cast<HWND>(lParam));
          item && !item->data_.notColored) {
        colour = item->data_.notValid ? 0x000080 : 0x008000;
      }
      SetTextColor(dc, colour);
      SetBkColor(dc, Sys(COLOR_WINDOW));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_COMMAND: {
      const LRESULT result = DefWindowProcA(window_, message, wParam, lParam);
      const HWND control = reinterpret_cast<HWND>(lParam);
      TNVItem* item = ItemOfWindow(control);
      const UINT code = HIWORD(wParam);
      if (item && (code == EN_SETFOCUS || code == EN_KILLFOCUS)) {
        RECT band = item->rect_;
        InflateRect(&band, 1, 1);
        InvalidateRect(window_, &band, TRUE);
      } else if (item && code == BN_SETFOCUS) {
        PostMessageA(control, BM_SETSTYLE, GetWindowLongA(control, GWL_STYLE) | BS_DEFPUSHBUTTON,
                     TRUE);
      } else if (item && code == EN_CHANGE) {
        Fire(FormAction::ItemEvent, item);
        CheckContinue();
      } else if (item && code == BN_CLICKED && IsWindowEnabled(control)) {
        Press(*item);
      } else if (!control && LOWORD(wParam) == IDOK) {
        TNVItem* focused = ItemOfWindow(GetFocus());
        if (focused && IsMainButton(*focused)) Press(*focused);
      }
      return result;
    }
    case WM_TIMER:
      if (wParam == kFormTimer) Fire(FormAction::ItemEvent, nullptr);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP: {
      const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      auto on = [&](const TNVItem& item) {
        return p.x > item.rect_.left && p.y > item.rect_.top && p.x <= item.rect_.right &&
               p.y <= item.rect_.bottom;
      };
      if (message == WM_LBUTTONDOWN) {
        for (auto& item : items_) {
          if (item->Kind() == ItemKind::Image && item->data_.clickable && on(*item)) {
            capture_ = item.get();
            SetCapture(window_);
          }
        }
      } else if (capture_) {
        TNVItem* image = std::exchange(capture_, nullptr);
        ReleaseCapture();
        if (on(*image)) Fire(FormAction::ItemEvent, image);
      }
      return 0;
    }
    case WM_NCDESTROY:
      window_ = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

LRESULT CALLBACK TNVForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    if (message == WM_NCCREATE) {
      auto* form = static_cast<TNVForm*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
      form->window_ = window;
    }
    auto* form = reinterpret_cast<TNVForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (form && form->window_ == window) return form->Proc(message, wParam, lParam);
  } catch (...) {
    // Nothing may unwind through user32: the message counts as handled.
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// ---- Assistants ------------------------------------------------------------

TNVForm* TNVAssistant::FindForm(std::string_view name) const {
  for (const auto& form : forms_) {
    if (EqualsIgnoreCase(form->Name(), name)) return form.get();
  }
  return nullptr;
}

std::uint8_t TNVAssistant::ShowModal(HWND parent) {
  const bool reenable = parent && IsWindowEnabled(parent);
  if (reenable) EnableWindow(parent, FALSE);
  result_ = kContinue;
  for (const auto& form : forms_) {
    if (form->ShowModal(parent) == kCancel) {
      result_ = kCancel;
      break;
    }
  }
  if (reenable) EnableWindow(parent, TRUE);
  return result_;
}

namespace {

std::vector<std::uint8_t> FormResource(HMODULE module, const std::string& formName) {
  std::string name = "TZE" + formName;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  HRSRC resource = FindResourceA(module, name.c_str(), MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!resource) return {};
  HGLOBAL loaded = LoadResource(module, resource);
  const auto* data = static_cast<const std::uint8_t*>(loaded ? LockResource(loaded) : nullptr);
  if (!data) return {};
  return {data, data + SizeofResource(module, resource)};
}

}  // namespace

Ref<TNVAssistant> CreateAssistantForms(HMODULE module, const std::string& title,
                                       const std::vector<std::string>& formNames, void* owner) {
  Ref<TNVAssistant> assistant(new TNVAssistant(title, owner));
  const int count = static_cast<int>(formNames.size());
  for (int i = 0; i < count; ++i) {
    const std::vector<std::uint8_t> data =
        FormResource(module, formNames[static_cast<std::size_t>(i)]);
    assistant->Add(
        TNVForm::Create(data.data(), data.size(), assistant.get(), title, i + 1, count, owner));
  }
  return assistant;
}

}  // namespace corvan::crash
