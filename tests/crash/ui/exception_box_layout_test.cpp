// The exception box's geometry and small rules, without a window.
#include "crash/ui/ExceptionBoxLayout.h"

#include <gtest/gtest.h>

namespace corvan::crash {
namespace {

// Caption extents of the default captions in an 11-pixel Tahoma, + 39.
BoxLayoutInput DefaultFullBox() {
  BoxLayoutInput in;
  in.widths = {120, 0, 0, 118, 143, 140, 128};  // send, -, -, show, continue, restart, close
  return in;
}

TEST(ExceptionBoxLayout, DefaultButtonsStandInAColumnWithTheOthersInTheBottomRow) {
  const BoxLayoutInput in = DefaultFullBox();
  BoxLayout l = PlanBox(in);
  EXPECT_TRUE(l.column);
  EXPECT_EQ(l.rows, 3);
  EXPECT_EQ(l.columnWidth, 143);
  EXPECT_EQ(l.canvasWidth, 139);
  EXPECT_EQ(l.base, 120 + 118 + 143 + 14);
  EXPECT_EQ(l.reserved, 143 + 40);
  EXPECT_EQ(l.textRectWidth, 664 - 183);
  PlaceBox(l, in, 200, 13);
  EXPECT_EQ(l.clientWidth, 395);  // the buttons are wider than text + reserve
  EXPECT_EQ(l.buttonTop, 7);      // max(7, 13 + 5 - 22 - 4)
  const int x = 395 - 143 - 8;
  EXPECT_EQ(l.buttons[kContinueButton].x, x);
  EXPECT_EQ(l.buttons[kContinueButton].y, 7);
  EXPECT_EQ(l.buttons[kRestartButton].y, 7 + 26);
  EXPECT_EQ(l.buttons[kCloseButton].y, 7 + 52);
  EXPECT_EQ(l.buttons[kCloseButton].width, 139);
  EXPECT_EQ(l.buttons[kSendButton].x, 6);
  EXPECT_EQ(l.buttons[kSendButton].y, 7 + 52);
  EXPECT_EQ(l.buttons[kShowButton].x, 126);
  EXPECT_EQ(l.buttons[kShowButton].width, 114);
  EXPECT_EQ(l.buttons[kSaveButton].width, 0);
  EXPECT_EQ(l.clientHeight, 3 * 26 + 7 + 8);
  EXPECT_EQ(l.text.x, 11);
  EXPECT_EQ(l.text.y, 12);
}

TEST(ExceptionBoxLayout, OneActionButtonGoesIntoARowBelowTheText) {
  BoxLayoutInput in;
  in.widths = {120, 0, 0, 0, 143, 0, 0};
  BoxLayout l = PlanBox(in);
  EXPECT_FALSE(l.column);
  EXPECT_EQ(l.rows, 2);
  PlaceBox(l, in, 300, 26);
  EXPECT_EQ(l.clientWidth, 326);  // text + 26
  EXPECT_EQ(l.buttonTop, 31);
  EXPECT_EQ(l.buttons[kContinueButton].y, 31 + 26);
  EXPECT_EQ(l.buttons[kContinueButton].x, 326 - 143 - 8);
  EXPECT_EQ(l.buttons[kSendButton].y, 31 + 26);
}

TEST(ExceptionBoxLayout, ThreeActionButtonsAloneStandInOneRow) {
  BoxLayoutInput in;
  in.widths = {0, 0, 0, 0, 143, 140, 128};
  BoxLayout l = PlanBox(in);
  EXPECT_FALSE(l.column);
  PlaceBox(l, in, 100, 13);
  EXPECT_EQ(l.rows, 2);
  const int y = 18 + 26;
  EXPECT_EQ(l.buttons[kContinueButton].y, y);
  EXPECT_EQ(l.buttons[kRestartButton].y, y);
  EXPECT_EQ(l.buttons[kCloseButton].y, y);
  EXPECT_EQ(l.buttons[kRestartButton].x, l.buttons[kContinueButton].x + 143);
  EXPECT_EQ(l.buttons[kCloseButton].x + 128 + 8, l.clientWidth);
}

TEST(ExceptionBoxLayout, MessageBoxCentresItsButtons) {
  BoxLayoutInput in;
  in.simple = true;
  in.buttonHeight = 23;
  in.widths = {0, 0, 0, 0, 79, 0, 0};
  BoxLayout l = PlanBox(in);
  EXPECT_EQ(l.base, 79 + 26);
  PlaceBox(l, in, 250, 26);
  EXPECT_EQ(l.clientWidth, 276);
  EXPECT_EQ(l.buttons[kContinueButton].x, (276 + 4 - 79) / 2 - 3);
  EXPECT_EQ(l.clientHeight, 31 + 2 * 23 + 21);

  in.details = true;
  in.widths[kShowButton] = 90;
  l = PlanBox(in);
  EXPECT_EQ(l.base, 79 + 90 + 28);
  PlaceBox(l, in, 250, 26);
  EXPECT_EQ(l.buttons[kContinueButton].x, (276 + 2 - 79 - 90) / 2 - 3);
  EXPECT_EQ(l.buttons[kShowButton].x, l.buttons[kContinueButton].x + 79 + 2);
}

TEST(ExceptionBoxLayout, DetailsViewMakesTheBoxWideAndTall) {
  BoxLayoutInput in = DefaultFullBox();
  in.widths[kShowButton] = 0;
  in.detailsView = true;
  in.screenWidth = 1024;
  in.screenHeight = 768;
  in.captionHeight = 19;
  BoxLayout l = PlanBox(in);
  PlaceBox(l, in, 200, 13);
  EXPECT_EQ(l.clientWidth, 664);
  const int buttons = 3 * 26 + 7 + 8;
  EXPECT_EQ(l.clientHeight, buttons + 474);
  EXPECT_EQ(l.tabs.x, 5);
  EXPECT_EQ(l.tabs.y, buttons - 4);
  EXPECT_EQ(l.tabs.width, 664 - 15);
  EXPECT_EQ(l.tabs.height, 474 - 6);

  in.screenWidth = 600;  // narrower than 664 + 5 captions
  in.screenHeight = 400;
  l = PlanBox(in);
  PlaceBox(l, in, 200, 13);
  EXPECT_EQ(l.clientWidth, std::max(l.base, 600 - 95));
  EXPECT_EQ(l.clientHeight, 400 - 95);
}

TEST(ExceptionBoxLayout, LargePictureMovesTheTextAndCentresAShortOne) {
  BoxLayoutInput in = DefaultFullBox();
  in.bigPicture = true;
  BoxLayout l = PlanBox(in);
  EXPECT_EQ(l.reserved, 143 + 40 + 40);
  PlaceBox(l, in, 200, 13);
  EXPECT_EQ(l.text.x, 51);
  EXPECT_EQ(l.text.y, 12 + (26 - 13) / 2);
  EXPECT_EQ(l.buttonTop, 7);  // max(7, 31 - 26)
  EXPECT_EQ(l.big.x, 9);
  EXPECT_EQ(l.big.width, 32);
}

TEST(ExceptionBoxMessage, SentencesGoOnLinesOfTheirOwn) {
  const std::string first(39, 'a'), second(39, 'b');
  EXPECT_EQ(BreakSentences(first + ". " + second + "."), first + ".\r\n" + second + ".");
  // A period before position 20, or within the last 9 characters, stays.
  EXPECT_EQ(BreakSentences("Short. " + second), "Short. " + second);
  EXPECT_EQ(BreakSentences(first + ". abcdefg"), first + ". abcdefg");
  EXPECT_EQ(BreakSentences(""), "");
  EXPECT_EQ(BreakSentences("x."), "x.");
}

TEST(ExceptionBoxColours, LighterUnlessTwoChannelsWouldOverflow) {
  EXPECT_EQ(LighterOrDarker(0xF0F0F0, 0x101010), 0xFFFFFFu);  // 0xF0 + 0x10 is 256: not over
  EXPECT_EQ(LighterOrDarker(0xF8F8F8, 0x101010), 0xE8E8E8u);
  EXPECT_EQ(LighterOrDarker(0xF8F800, 0x101010), 0xE8E800u);
  EXPECT_EQ(LighterOrDarker(0xF80000, 0x101010), 0xFF1010u);
  EXPECT_EQ(LighterOrDarker(0x050505, 0x080808), 0x0D0D0Du);
  EXPECT_EQ(FadeColour(0x000000, 0xFFFFFF, 0), 0x000000u);
  EXPECT_EQ(FadeColour(0x000000, 0xFFFFFF, 4), 0x7F7F7Fu);
  EXPECT_EQ(FadeColour(0x102030, 0x102030, 5), 0x102030u);
  EXPECT_EQ(FadeColour(0x000000, 0xFFFFFF, 8), 0xFFFFFFu);
  EXPECT_EQ(MarkerShade(0x000000, 0xC0C0C0, 1), 0x303030u);
  EXPECT_EQ(MarkerShade(0x000000, 0xC0C0C0, 3), 0x909090u);
}

TEST(ExceptionBoxCountdown, MarkerCrossesTheButtonInTheDelay) {
  EXPECT_EQ(CountdownMarker(0, 100, 1, false).x, 0);
  EXPECT_EQ(CountdownMarker(500, 100, 1, false).x, 50);
  EXPECT_FALSE(CountdownMarker(1000, 100, 1, false).press);
  EXPECT_TRUE(CountdownMarker(1006, 100, 1, false).press);
  EXPECT_EQ(CountdownMarker(30000, 100, 60, false).x, 50);
  // Classic look: from 5 to w - 6.
  EXPECT_EQ(CountdownMarker(0, 100, 1, true).x, 5);
  EXPECT_EQ(CountdownMarker(1000, 100, 1, true).x, 94);
  EXPECT_FALSE(CountdownMarker(1000, 100, 1, true).press);
  EXPECT_TRUE(CountdownMarker(1020, 100, 1, true).press);
  // Long waits do not overflow.
  EXPECT_EQ(CountdownMarker(0xFFFFFFFFu, 1000, 86400 * 40, false).x, 1243);
}

TEST(ExceptionBoxClose, CloseRequestPressesTheRightButton) {
  std::array<bool, kButtonCount> all{true, false, false, true, true, true, true};
  EXPECT_EQ(ChooseOnClose(0, all, true, false), CloseChoice::Continue);
  EXPECT_EQ(ChooseOnClose(0, all, false, false), CloseChoice::Close);
  EXPECT_EQ(ChooseOnClose(kRestartButton, all, true, false), CloseChoice::Restart);
  EXPECT_EQ(ChooseOnClose(kCloseButton, all, true, false), CloseChoice::Close);
  EXPECT_EQ(ChooseOnClose(kContinueButton, all, false, false), CloseChoice::Close);
  std::array<bool, kButtonCount> restartOnly{false, false, false, false, false, true, false};
  EXPECT_EQ(ChooseOnClose(0, restartOnly, true, false), CloseChoice::Restart);
  std::array<bool, kButtonCount> none{};
  EXPECT_EQ(ChooseOnClose(0, none, true, false), CloseChoice::Ignore);
  EXPECT_EQ(ChooseOnClose(0, none, true, true), CloseChoice::Close);
}

TEST(PrintedPage, MarginsFromThePapersEdge) {
  PageMetrics a4;  // 600 dpi, printable area 4760 x 6814 pixels
  a4.horzRes = 4760;
  a4.vertRes = 6814;
  a4.horzSize = 202;
  a4.vertSize = 288;
  a4.offsetX = 100;
  a4.offsetY = 100;
  a4.logPixelsX = a4.logPixelsY = 600;
  const PageLayout page = LayoutPage(a4);
  EXPECT_EQ(page.top, 237 - 100);   // 6814 * 10 / 288 = 236.6
  EXPECT_EQ(page.left, 471 - 100);  // 4760 * 20 / 202 = 471.3
  EXPECT_EQ(page.textWidth, 4760 + 100 - 371 - 236);
  EXPECT_EQ(page.bottom, 6814 - 2 * 137);
  EXPECT_EQ(page.fontHeight, -66);
}

TEST(PrintedPage, DriverWithoutPhysicalSizeFallsBackInsteadOfDividingByZero) {
  PageMetrics m;
  m.horzRes = 4960;
  m.vertRes = 7016;
  m.logPixelsX = m.logPixelsY = 600;  // size from the resolution: 209 x 297 mm
  const PageLayout fromDpi = LayoutPage(m);
  EXPECT_EQ(fromDpi.top, 236);
  EXPECT_EQ(fromDpi.left, 475);
  m.logPixelsX = m.logPixelsY = 0;  // nothing known: a sheet of A4
  const PageLayout a4 = LayoutPage(m);
  EXPECT_EQ(a4.top, 236);
  EXPECT_EQ(a4.left, 472);
  EXPECT_LT(a4.fontHeight, 0);
  const PageLayout empty = LayoutPage(PageMetrics{});
  EXPECT_EQ(empty.top, 0);
}

}  // namespace
}  // namespace corvan::crash
