#include "crash/ui/DetailsViewWin.h"

#include <commctrl.h>

#include <algorithm>
#include <cctype>

namespace corvan::crash {
namespace {

constexpr char kTabProperty[] = "zelExceptDetailsView";
constexpr int kMaxCellText = 260;
constexpr COLORREF kEvenColumnColour = 0xFFF8F0, kOddQuarterColour = 0xF4F4FF;

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

std::string TabTextAt(HWND tabs, int index) {
  char buffer[260] = {};
  TCITEMA item{};
  item.mask = TCIF_TEXT;
  item.pszText = buffer;
  item.cchTextMax = sizeof buffer;
  SendMessageA(tabs, TCM_GETITEMA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
  return buffer;
}

// Colours of a display with fewer than 15 bits per pixel.
COLORREF LowColour(COLORREF colour, bool selected) {
  switch (colour) {
    case kFaultRowColour:
      return selected ? 0x000080 : 0x0000FF;
    case kOddQuarterColour:
      return selected ? 0x808000 : 0xFFFF80;
    case kEvenColumnColour:
      return selected ? 0x008080 : 0xC0FFFF;
    case kWhite:
      return selected ? 0xC0C0C0 : kWhite;
    default:
      return colour;
  }
}

COLORREF Darker(COLORREF colour) {
  COLORREF out = 0;
  for (int shift : {0, 8, 16}) {
    const int c = static_cast<int>((colour >> shift) & 0xFF) - 0x10;
    out |= static_cast<COLORREF>(std::max(c, 0)) << shift;
  }
  return out;
}

void FillColour(HDC dc, const RECT& r, COLORREF colour) {
  ScopedGdi<HBRUSH> brush(CreateSolidBrush(colour));
  FillRect(dc, &r, brush.get());
}

bool HasDrivePrefix(const std::string& s) {
  return s.size() >= 3 && std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':' &&
         s[2] == '\\';
}

}  // namespace

void RequestIdeJump(const std::string& callStackLine) {
  HWND ide = FindWindowA("TAppBuilder", nullptr);
  if (!ide) return;
  DWORD ideProcess = 0;
  GetWindowThreadProcessId(ide, &ideProcess);
  char prefix[64];
  wsprintfA(prefix, "zelToolsMsgHandlerWindow$%x", ideProcess);
  struct Search {
    std::string prefix, line;
  } search{prefix, callStackLine};
  EnumWindows(
      [](HWND window, LPARAM context) WINAPI -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        char cls[256] = {};
        GetClassNameA(window, cls, sizeof cls);
        if (std::string(cls).rfind(s->prefix, 0) != 0) return TRUE;
        DWORD_PTR result = 0;
        SendMessageTimeoutA(window, RegisterWindowMessageA("zelExceptIdeJumpCommand"),
                            GetCurrentProcessId(), reinterpret_cast<LPARAM>(s->line.c_str()),
                            SMTO_ABORTIFHUNG, 1000, &result);
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
}

DetailsViewWindow::DetailsViewWindow(HWND parent, const BoxRect& r, HFONT dialogFont,
                                     HFONT fixedFont, ExceptionBoxReport& report)
    : parent_(parent), dialogFont_(dialogFont), fixedFont_(fixedFont), report_(report) {
  {
    ScopedWindowDc screen(nullptr);
    highColour_ =
        GetDeviceCaps(screen.get(), BITSPIXEL) * GetDeviceCaps(screen.get(), PLANES) >= 15;
  }
  images_ = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 1, 1);
  tabs_ =
      CreateWindowExA(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP,
                      r.x, r.y, r.width, r.height, parent, nullptr, ThisModule(), nullptr);
  if (!tabs_) return;
  SendMessageA(tabs_, WM_SETFONT, reinterpret_cast<WPARAM>(dialogFont_), FALSE);
  SetPropA(tabs_, kTabProperty, this);
  previousProc_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      tabs_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DetailsViewWindow::TabProc)));
  UpdateTabs();
  ShowCurrentTab(false);
}

DetailsViewWindow::~DetailsViewWindow() {
  DestroyContent();
  if (tabs_ && IsWindow(tabs_)) {
    SetWindowLongPtrA(tabs_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc_));
    RemovePropA(tabs_, kTabProperty);
  }
  if (images_) ImageList_Destroy(images_);
}

void DetailsViewWindow::UpdateTabs() {
  if (!tabs_) return;
  const std::vector<std::string> wanted = WantedTabs(report_.Sections());
  bool changed = false;
  for (int i = static_cast<int>(SendMessageA(tabs_, TCM_GETITEMCOUNT, 0, 0)) - 1; i >= 0; --i) {
    if (std::find(wanted.begin(), wanted.end(), TabTextAt(tabs_, i)) == wanted.end()) {
      SendMessageA(tabs_, TCM_DELETEITEM, static_cast<WPARAM>(i), 0);
      changed = true;
    }
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    const int count = static_cast<int>(SendMessageA(tabs_, TCM_GETITEMCOUNT, 0, 0));
    bool present = false;
    for (int k = 0; k < count && !present; ++k) present = TabTextAt(tabs_, k) == wanted[i];
    if (present) continue;
    std::string text = wanted[i].substr(0, 259);
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = text.data();
    SendMessageA(tabs_, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
    changed = true;
  }
  if (changed) InvalidateRect(tabs_, nullptr, TRUE);
}

RECT DetailsViewWindow::ContentRect() const {
  RECT r;
  GetClientRect(tabs_, &r);
  SendMessageA(tabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&r));
  r.left -= 1;
  r.top += 2;
  InflateRect(&r, -3, -3);
  return r;
}

void DetailsViewWindow::DestroyContent() {
  if (!content_) return;
  SendMessageA(content_, LVM_SETIMAGELIST, LVSIL_SMALL, 0);  // the list does not own it
  DestroyWindow(content_);
  content_ = nullptr;
}

void DetailsViewWindow::ShowCurrentTab(bool shuttingDown) {
  if (!tabs_) return;
  const int tab = shuttingDown ? -1 : static_cast<int>(SendMessageA(tabs_, TCM_GETCURSEL, 0, 0));
  const TabText text =
      tab >= 0 ? TextOfTab(tab, report_.HeaderFields(), report_.Sections()) : TabText{};
  if (tab == shownTab_ && text.text == shownText_ && (content_ || tab < 0)) return;
  DestroyContent();
  shown_ = {};
  shownTab_ = tab;
  shownText_ = text.text;
  if (tab < 0) return;
  shown_ = FormatTab(tab, text.section, text.text);
  if (shown_.IsList()) {
    CreateList();
    return;
  }
  const RECT r = ContentRect();
  content_ = CreateWindowExA(
      0, "Edit", text.text.c_str(),
      WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_WANTRETURN,
      r.left, r.top, r.right - r.left, r.bottom - r.top, tabs_, nullptr, ThisModule(), nullptr);
  if (content_) SendMessageA(content_, WM_SETFONT, reinterpret_cast<WPARAM>(dialogFont_), TRUE);
}

void DetailsViewWindow::CreateList() {
  const RECT r = ContentRect();
  DWORD style = WS_CHILD | WS_BORDER | WS_VSCROLL | WS_HSCROLL | LVS_REPORT | LVS_SINGLESEL |
                LVS_OWNERDRAWFIXED | LVS_NOSORTHEADER;
  if (!shown_.columnHeaders) style |= LVS_NOCOLUMNHEADER;
  content_ = CreateWindowExA(0, WC_LISTVIEWA, "", style, r.left, r.top, r.right - r.left,
                             r.bottom - r.top, tabs_, nullptr, ThisModule(), nullptr);
  if (!content_) return;
  SendMessageA(content_, WM_SETFONT,
               reinterpret_cast<WPARAM>(shown_.fixedPitch ? fixedFont_ : dialogFont_), FALSE);
  if (images_)
    SendMessageA(content_, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images_));
  for (std::size_t c = 0; c < shown_.columns.size(); ++c) {
    std::string caption = shown_.columns[c].caption;
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH;
    column.fmt = shown_.columns[c].rightAligned ? LVCFMT_RIGHT : LVCFMT_LEFT;
    column.cx = 50;
    column.pszText = caption.data();
    SendMessageA(content_, LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&column));
  }
  for (std::size_t i = 0; i < shown_.items.size(); ++i) {
    std::vector<std::string> cells = ItemCells(shown_.items[i], shown_.columns);
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.pszText = cells[0].data();
    const int row = static_cast<int>(
        SendMessageA(content_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    for (std::size_t c = 1; c < cells.size(); ++c) {
      LVITEMA sub{};
      sub.iSubItem = static_cast<int>(c);
      sub.pszText = cells[c].data();
      SendMessageA(content_, LVM_SETITEMTEXTA, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(&sub));
    }
  }
  for (std::size_t c = 0; c < shown_.columns.size(); ++c) {
    SendMessageA(content_, LVM_SETCOLUMNWIDTH, c, LVSCW_AUTOSIZE);
    // Owner-drawn cells keep 4 pixels at both ends, and the caption stays readable.
    const int content = static_cast<int>(SendMessageA(content_, LVM_GETCOLUMNWIDTH, c, 0)) + 6;
    const int caption = static_cast<int>(SendMessageA(
                            content_, LVM_GETSTRINGWIDTHA, 0,
                            reinterpret_cast<LPARAM>(shown_.columns[c].caption.c_str()))) +
                        14;
    SendMessageA(content_, LVM_SETCOLUMNWIDTH, c, std::max(content, caption));
  }
  ShowWindow(content_, SW_SHOW);
}

void DetailsViewWindow::Grow(int dx, int dy) {
  for (HWND w : {tabs_, content_}) {
    if (!w) continue;
    RECT r;
    GetWindowRect(w, &r);
    SetWindowPos(w, nullptr, 0, 0, r.right - r.left + dx, r.bottom - r.top + dy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

bool DetailsViewWindow::OwnsMessage(const MSG& msg) const {
  return content_ && (msg.hwnd == content_ || IsChild(content_, msg.hwnd));
}

void DetailsViewWindow::DrawRow(const DRAWITEMSTRUCT& item) {
  const int index = static_cast<int>(item.itemID);
  if (index < 0 || index >= static_cast<int>(shown_.items.size())) return;
  const DetailsItem& row = shown_.items[static_cast<std::size_t>(index)];
  HDC dc = item.hDC;
  const bool selected =
      row.colour != kWhite &&
      (SendMessageA(content_, LVM_GETITEMSTATE, static_cast<WPARAM>(index), LVIS_SELECTED) &
       LVIS_SELECTED) != 0;
  const std::vector<std::string> cells = ItemCells(row, shown_.columns);
  const int columns = static_cast<int>(shown_.columns.size());
  SetBkMode(dc, TRANSPARENT);
  const bool title = !cells.empty() && cells[0] == ">>";
  for (int c = 0; c < columns; ++c) {
    RECT cell{};
    cell.top = c;  // LVM_GETSUBITEMRECT takes the column in top
    cell.left = LVIR_BOUNDS;
    SendMessageA(content_, LVM_GETSUBITEMRECT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(&cell));
    if (c == 0 && columns > 1) {
      // Column 0's bounds are the whole row: end it where column 1 starts.
      RECT next{};
      next.top = 1;
      next.left = LVIR_BOUNDS;
      SendMessageA(content_, LVM_GETSUBITEMRECT, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(&next));
      cell.right = next.left;
    }
    COLORREF colour = row.colour != 0                ? row.colour
                      : (c % 2 == 1 || columns == 1) ? kWhite
                      : (c % 4 == 0)                 ? kEvenColumnColour
                                                     : kOddQuarterColour;
    if (!highColour_) {
      colour = LowColour(colour, selected);
    } else if (selected) {
      colour = Darker(colour);
    }
    FillColour(dc, cell, colour);
    if (title) continue;
    std::string text = cells[static_cast<std::size_t>(c)].substr(0, kMaxCellText);
    RECT textRect = {cell.left + 4 + (c == 0 ? 2 : 0), cell.top + 2, cell.right - 4, cell.bottom};
    UINT format =
        DT_SINGLELINE | DT_NOPREFIX | (shown_.columns[c].rightAligned ? DT_RIGHT : DT_LEFT);
    format |= HasDrivePrefix(text) ? DT_PATH_ELLIPSIS : DT_END_ELLIPSIS;
    DrawTextA(dc, text.c_str(), -1, &textRect, format);
  }
  const RECT& r = item.rcItem;
  if (title) {
    const std::string caption = row.text.size() > 3 ? row.text.substr(3) : std::string();
    RECT textRect = {r.left + 6, r.top + 2, r.right - 4, r.bottom};
    if (row.title) {
      RECT line = {r.left, r.bottom - 2, r.right, r.bottom};
      FillColour(dc, line, selected ? 0xA0A0A0 : 0xC0C0C0);
      LOGFONTA face{};
      GetObjectA(GetCurrentObject(dc, OBJ_FONT), sizeof face, &face);
      face.lfWeight = FW_BOLD;
      ScopedFont bold(CreateFontIndirectA(&face));
      ScopedSelection select(dc, bold.get());
      DrawTextA(dc, caption.c_str(), -1, &textRect, DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    } else {
      SetTextColor(dc, 0x606060);
      DrawTextA(dc, caption.c_str(), -1, &textRect, DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    SetTextColor(dc, 0);
  }
  if (selected) {
    ScopedGdi<HBRUSH> brush(CreateSolidBrush(highColour_ ? 0xB0B0B0 : 0x808080));
    FrameRect(dc, &r, brush.get());
  } else if (index + 1 == static_cast<int>(shown_.items.size()) ||
             !shown_.items[static_cast<std::size_t>(index) + 1].title) {
    RECT line = {r.left, r.bottom - 1, r.right, r.bottom};
    FillColour(dc, line, highColour_ ? 0xE0E0E0 : kWhite);
  }
}

LRESULT CALLBACK DetailsViewWindow::TabProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) noexcept {
  auto* self = static_cast<DetailsViewWindow*>(GetPropA(window, kTabProperty));
  try {
    if (self) return self->HandleTab(message, wParam, lParam);
  } catch (...) {
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT DetailsViewWindow::HandleTab(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->hwndItem == content_) {
        DrawRow(*item);
        return TRUE;
      }
      break;
    }
    default:
      break;
  }
  const LRESULT result = CallWindowProcA(previousProc_, tabs_, message, wParam, lParam);
  if (message == WM_NOTIFY && shownTab_ == 1 && content_) {
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    if (header->hwndFrom == content_ && header->code == NM_DBLCLK) {
      const int row = static_cast<int>(
          SendMessageA(content_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
      if (row > 0 && row < static_cast<int>(shown_.items.size())) {
        std::string text = shown_.items[static_cast<std::size_t>(row)].text;
        if (!text.empty() && text != ">") {
          std::replace(text.begin(), text.end(), '\t', ' ');
          SetWindowPos(parent_, HWND_NOTOPMOST, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
          RequestIdeJump(text);
        }
      }
    }
  }
  return result;
}

}  // namespace corvan::crash
