#pragma once
// The exception box's geometry and its small rules, free of Windows: the
// button layout in a row or a column, the message broken into sentences,
// the lighter/darker button colours, the count-down marker, which button
// a close request presses, and the printed page's margins. The window code
// measures texts and hands the numbers in; everything else is decided here.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan::crash {

// The buttons by their identity (user data, picture, FocusedBtn).
enum BoxButton : int {
  kSendButton = 0,
  kSaveButton = 1,
  kPrintButton = 2,
  kShowButton = 3,
  kContinueButton = 4,
  kRestartButton = 5,
  kCloseButton = 6,
  kButtonCount = 7,
  kCantContinuePicture = 7,
  kBigPicture = 8,
};

struct BoxRect {
  int x = 0, y = 0, width = 0, height = 0;
};

struct BoxLayoutInput {
  bool simple = false;                     // the reduced message boxes
  bool details = false;                    // message box with a details button
  bool detailsView = false;                // full box with AutoShowBugRep: resizable, tabs below
  std::array<int, kButtonCount> widths{};  // caption extent + 39; 0 when hidden
  int buttonHeight = 22;
  bool bigPicture = false;
  int screenWidth = 1024, screenHeight = 768, captionHeight = 19;
};

struct BoxLayout {
  // First stage: what the message text is measured with.
  int columnWidth = 0;
  int canvasWidth = 0;
  int rows = 0;  // V
  bool column = false;
  int base = 0, reserved = 0;
  int textRectWidth = 0;
  // Second stage.
  int clientWidth = 0, clientHeight = 0;
  int buttonTop = 0;
  std::array<BoxRect, kButtonCount> buttons{};  // width 0: not placed
  BoxRect text, big, tabs;
};

// Stage one: widths, rows, the rectangle the message is wrapped in.
BoxLayout PlanBox(const BoxLayoutInput& in);
// Stage two, with the measured message size.
void PlaceBox(BoxLayout& layout, const BoxLayoutInput& in, int textWidth, int textHeight);

// The exception message with a line break after every sentence that ends
// between its 20th and its 10th-last character.
std::string BreakSentences(std::string_view message);

// Lighter when at most one channel would overflow, else darker (0x00BBGGRR).
std::uint32_t LighterOrDarker(std::uint32_t colour, std::uint32_t delta);
// Frame k of 8 of a cross-fade, per channel.
std::uint32_t FadeColour(std::uint32_t from, std::uint32_t to, int frame);
// Step i (1..3) from the marker line colour towards the background.
std::uint32_t MarkerShade(std::uint32_t line, std::uint32_t background, int step);

// The count-down marker's x after elapsedMs of delaySeconds (> 0) on a
// button of width pixels; pressed once it passes the returned limit.
struct MarkerPosition {
  int x = 0;
  bool press = false;
};
MarkerPosition CountdownMarker(std::uint32_t elapsedMs, int width, int delaySeconds, bool classic);

// What a close request (close box, Alt+F4, Escape) does.
enum class CloseChoice { Continue, Restart, Close, Ignore };
CloseChoice ChooseOnClose(int focusedButton, const std::array<bool, kButtonCount>& shown,
                          bool canContinue, bool simple);

// The printed page in device pixels: 1 cm top and bottom, 2 cm left, 1 cm
// right, measured from the paper's edge.
struct PageMetrics {
  int horzRes = 0, vertRes = 0;    // printable area, pixels
  int horzSize = 0, vertSize = 0;  // printable area, millimetres (0 on some drivers)
  int offsetX = 0, offsetY = 0;    // printable area from the paper's edge
  int logPixelsX = 0, logPixelsY = 0;
};
struct PageLayout {
  int top = 0, left = 0, textWidth = 0, bottom = 0;
  int fontHeight = 0;  // 8 point, negative (character height)
};
PageLayout LayoutPage(const PageMetrics& m);

}  // namespace corvan::crash
