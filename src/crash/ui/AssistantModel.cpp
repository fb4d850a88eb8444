#include "crash/ui/AssistantModel.h"

#include <algorithm>

#include "crash/util/TextParts.h"

namespace corvan::crash {

namespace {

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  return LowerCase(text).find(LowerCase(part)) != std::string::npos;
}

bool IsLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::optional<ItemKind> ItemKindOfClass(std::string_view className) {
  if (className.empty()) return std::nullopt;
  const std::string_view rest = className.substr(1);
  if (rest == "NVButton") return ItemKind::Button;
  if (rest == "NVLabel") return ItemKind::Label;
  if (rest == "NVEdit") return ItemKind::Edit;
  if (rest == "NVCheckBox") return ItemKind::CheckBox;
  if (rest == "NVImage") return ItemKind::Image;
  return std::nullopt;
}

std::string CanonicalItemName(std::string_view objectName) {
  return objectName == "AbortBtn" ? std::string("CancelBtn") : std::string(objectName);
}

bool BooleanText(std::string_view text) {
  return text == "1" || EqualsIgnoreCase(text, "yes") || EqualsIgnoreCase(text, "true");
}

std::int32_t NumberText(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return 0;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    // Saturate instead of overflowing on absurd resource values.
    value = std::min<std::int64_t>(value * 10 + (c - '0'), std::int64_t{1} << 31);
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

std::string ExpandLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (i + 4 <= text.size() && EqualsIgnoreCase(text.substr(i, 4), "%lf%")) {
      out += "\r\n";
      i += 4;
    } else {
      out += text[i++];
    }
  }
  return out;
}

ItemData::ItemData(ItemKind k, std::string itemName) : kind(k), name(std::move(itemName)) {
  tabStop = kind == ItemKind::Button || kind == ItemKind::Edit || kind == ItemKind::CheckBox;
}

void ItemData::Apply(std::string_view property, std::string_view value) {
  if (property == "Spacing") {
    spacing = NumberText(value);
  } else if (property == "Enabled") {
    enabled = BooleanText(value);
  } else if (property == "OutputType") {
    outputType =
        ContainsIgnoringCase(value, "ownSection") ? OutputType::OwnSection : OutputType::Header;
  } else if (property == "OutputName") {
    outputName = value;
  } else {
    switch (kind) {
      case ItemKind::Button:
        if (property == "MinWidth") minWidth = NumberText(value);
        if (property == "Caption") caption = value;
        if (property == "NoOwnerDraw") noOwnerDraw = BooleanText(value);
        if (property == "Visible") invisible = !BooleanText(value);
        break;
      case ItemKind::Label:
        if (property == "Caption") caption = value;
        break;
      case ItemKind::Edit:
        if (property == "Text") text = ExpandLineBreaks(value);
        if (property == "Lines") lines = NumberText(value);
        if (property == "Optional") optional = BooleanText(value);
        if (property == "Colored") notColored = !BooleanText(value);
        if (property == "Valid") notValid = !BooleanText(value);
        break;
      case ItemKind::CheckBox:
        if (property == "Caption" || property == "Text") caption = value;
        if (property == "Checked") checked = BooleanText(value);
        break;
      case ItemKind::Image:
        if (property == "Width") width = NumberText(value);
        if (property == "Height") height = NumberText(value);
        if (property == "File") fileName = value;
        if (property == "Clickable") clickable = BooleanText(value);
        if (property == "Border") border = BooleanText(value);
        break;
    }
  }
}

bool ItemData::AllowsContinue() const {
  if (kind != ItemKind::Edit) return true;
  return optional || (!notValid && !text.empty());
}

void ItemData::SetOutputType(OutputType type) {
  if (type == OutputType::Header || (kind == ItemKind::Edit && MultiLine())) outputType = type;
}

void FormData::Apply(std::string_view property, std::string_view value) {
  if (property == "MinWidth") minWidth = NumberText(value);
  if (property == "Message") message = value;
  if (property == "ActiveControl") activeControl = value;
  if (property == "Timer") timerInterval = NumberText(value);
  if (property == "OnAction") onAction = value;
}

bool IsHeadLabelCaption(std::string_view caption) {
  return !caption.empty() && (caption.back() == ':' || caption.back() == '?');
}

int GapBelow(const std::vector<GapItem>& items, std::size_t i) {
  if (i + 1 >= items.size()) return 0;
  const GapItem& item = items[i];
  const GapItem& next = items[i + 1];
  if (item.spacing != 0) return item.spacing;
  if (item.kind == ItemKind::Label && item.headLabel) return 4;
  if (next.kind == item.kind)
    return item.kind == ItemKind::Button ? 4 : item.kind == ItemKind::Edit ? 6 : 8;
  // Label / value / label / value: the pairs sit closer together.
  const bool nextHead = next.kind == ItemKind::Label && next.headLabel;
  const bool previousHead = i > 0 && items[i - 1].kind == ItemKind::Label && items[i - 1].headLabel;
  const bool pattern = i + 2 < items.size() && items[i + 2].kind == item.kind;
  return nextHead && previousHead && pattern ? 8 : 12;
}

int MainButtonWidth(int textWidth, bool ownerDraw, bool visible) {
  if (!visible) return -8;
  if (ownerDraw) return textWidth <= 64 ? 85 : textWidth + 20;
  return textWidth < 55 ? 75 : textWidth + 20;
}

int MainButtonHeight(bool ownerDraw) { return ownerDraw ? 32 : 23; }

int FormClientWidth(std::int32_t minWidth, const MainButtons& buttons, int messageWidth,
                    int stepCount) {
  const int buttonsWidth = buttons.width[0] + buttons.width[1] + buttons.width[2] + 32;
  return std::max(
      {315, static_cast<int>(minWidth), buttonsWidth, messageWidth + stepCount * 19 + 36});
}

void PlaceMainButtons(int w, const MainButtons& buttons, int x[3]) {
  const int cancel = w - buttons.width[2] - 8;
  if (buttons.noOwnerDraw[0] && buttons.noOwnerDraw[2] && buttons.skipInvisible) {
    x[2] = cancel;
    x[0] = cancel - buttons.width[0] - 8;
    x[1] = 8;
  } else {
    x[0] = 8;
    x[1] = 8 + buttons.width[0] + 8;
    x[2] = cancel;
  }
}

int StepBoxLeft(int w, int step, int stepCount) { return w - (stepCount - step) * 19 - 29; }
int StepNumberX(int w, int stepCount, int i) { return w - stepCount * 19 - 3 + (i - 1) * 19; }

std::uint32_t ShiftColour(std::uint32_t colour, std::uint32_t delta, bool brighten) {
  int clamped = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const int b = static_cast<int>((colour >> shift) & 0xFF),
              d = static_cast<int>((delta >> shift) & 0xFF);
    if (brighten ? b + d > 255 : b - d < 0) ++clamped;
  }
  if (clamped >= 2) brighten = !brighten;
  std::uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const int b = static_cast<int>((colour >> shift) & 0xFF),
              d = static_cast<int>((delta >> shift) & 0xFF);
    out |= static_cast<std::uint32_t>(std::clamp(brighten ? b + d : b - d, 0, 255)) << shift;
  }
  return out;
}

std::uint32_t TintOf(std::uint32_t buttonFace) {
  return 0xFFFFFFu - (((buttonFace >> 1) & 0x7F7F7Fu) ^ 0x7F7F7Fu);
}

bool IsValidMailAddress(std::string_view text) {
  if (text.empty()) return false;
  if (static_cast<unsigned char>(text.front()) <= ' ' ||
      static_cast<unsigned char>(text.back()) <= ' ') {
    return false;
  }
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0 || text.find('@', at + 1) != std::string_view::npos) {
    return false;
  }
  if (text.find('.', at + 1) == std::string_view::npos) return false;
  if (text.front() == '.' || text.back() == '.' || text[at + 1] == '.') return false;
  bool any = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == at) continue;
    const char c = text[i];
    if (!IsLetterOrDigit(c) && c != '\'' && c != '+' && c != '-' && c != '_' && c != '.')
      return false;
    any = any || c != '.';
  }
  return any;
}

}  // namespace corvan::crash
