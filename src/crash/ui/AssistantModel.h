#pragma once
// The portable half of the assistant forms: the items' and forms' data and
// properties, the Continue rule, the layout arithmetic (gaps, main buttons,
// client width, step indicator), the colour helpers of the painting, and
// the e-mail address check of the contact form. The windows, painting and
// message loop over it are zelNVAssistant.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvan::crash {

enum class ItemKind : std::uint8_t { Button, Label, Edit, CheckBox, Image };

// "INVEdit" and any other first letter before "NVEdit" -> Edit; none for
// the form's own class.
std::optional<ItemKind> ItemKindOfClass(std::string_view className);
// The stream's old name of the Cancel button.
std::string CanonicalItemName(std::string_view objectName);

// Property values arrive as text. True for "yes" and "true" (any case) and
// exactly "1"; numbers are an optional "-" and decimal digits, else 0.
bool BooleanText(std::string_view text);
std::int32_t NumberText(std::string_view text);
// Every "%lf%" (any case) becomes CR LF.
std::string ExpandLineBreaks(std::string_view text);

enum class OutputType : std::uint8_t { Header = 0, OwnSection = 1 };

struct ItemData {
  ItemKind kind = ItemKind::Label;
  std::string name;
  bool tabStop = false;
  bool enabled = true;
  bool forceDisabled = false;  // only the Continue check sets it
  std::int32_t spacing = 0;    // 0: automatic gap
  OutputType outputType = OutputType::Header;
  std::string outputName;
  // Buttons
  std::int32_t minWidth = 0;
  bool noOwnerDraw = false;
  bool invisible = false;
  // Labels, buttons, check boxes
  std::string caption;
  // Edits: colored and valid are stored negated, so a new edit is both.
  std::int32_t lines = 0;
  bool optional = false;
  std::string text;
  bool notColored = false;
  bool notValid = false;
  // Check boxes
  bool checked = false;
  // Images
  std::string fileName;
  bool clickable = false;
  bool border = false;
  std::int32_t width = 0, height = 0;

  explicit ItemData(ItemKind k = ItemKind::Label, std::string itemName = {});
  // Unknown names are ignored; names compare exactly.
  void Apply(std::string_view property, std::string_view value);
  bool MultiLine() const { return lines > 1; }
  // Only edits refuse: an empty or invalid required edit.
  bool AllowsContinue() const;
  // The own-section type is only taken by a multi-line edit.
  void SetOutputType(OutputType type);
};

struct FormData {
  std::string name;
  std::string message;
  std::string activeControl;
  std::string onAction;
  std::int32_t minWidth = 0;
  std::int32_t timerInterval = 0;
  void Apply(std::string_view property, std::string_view value);
};

// The indexes of the three main buttons in every form.
inline constexpr std::size_t kContinueIndex = 0, kSkipIndex = 1, kCancelIndex = 2;
inline constexpr std::size_t kFirstPlacedItem = 3;

// What the gap below an item depends on.
struct GapItem {
  ItemKind kind = ItemKind::Label;
  std::int32_t spacing = 0;
  bool headLabel = false;  // one line ending with ":" or "?"
};
// The gap below items[i]; 0 below the last one.
int GapBelow(const std::vector<GapItem>& items, std::size_t i);
bool IsHeadLabelCaption(std::string_view caption);

// Size of a main button from its caption's width (Tahoma 11 without owner
// drawing, Arial 15 with). An invisible button counts -8 so that it and
// its gap take no room.
int MainButtonWidth(int textWidth, bool ownerDraw, bool visible);
int MainButtonHeight(bool ownerDraw);

struct MainButtons {
  int width[3] = {};  // Continue, Skip, Cancel (MainButtonWidth)
  bool noOwnerDraw[3] = {};
  bool skipInvisible = false;
};
int FormClientWidth(std::int32_t minWidth, const MainButtons& buttons, int messageWidth,
                    int stepCount);
// The x of each main button in a client area of width w.
void PlaceMainButtons(int w, const MainButtons& buttons, int x[3]);

// The step indicator: left edge of the current step's box and the x of
// step number i (1-based).
int StepBoxLeft(int w, int step, int stepCount);
int StepNumberX(int w, int stepCount, int i);

// Colours are 0x00BBGGRR. ShiftColour moves every byte by the byte of
// delta, but the other way when two or more bytes would be clamped.
std::uint32_t ShiftColour(std::uint32_t colour, std::uint32_t delta, bool brighten);
// Halfway between the button face colour and white.
std::uint32_t TintOf(std::uint32_t buttonFace);

bool IsValidMailAddress(std::string_view text);

}  // namespace corvan::crash
