// The assistant forms' model: property texts, the Continue rule, gaps and
// main-button geometry, the painting's colour arithmetic, the e-mail check.
#include <gtest/gtest.h>

#include "crash/ui/AssistantModel.h"

namespace corvan::crash {
namespace {

TEST(AssistantModel, ClassNamesMapByEverythingButTheFirstLetter) {
  EXPECT_EQ(ItemKindOfClass("INVEdit"), ItemKind::Edit);
  EXPECT_EQ(ItemKindOfClass("TNVCheckBox"), ItemKind::CheckBox);
  EXPECT_EQ(ItemKindOfClass("XNVImage"), ItemKind::Image);
  EXPECT_EQ(ItemKindOfClass("INVedit"), std::nullopt);
  EXPECT_EQ(ItemKindOfClass("TZEContactForm"), std::nullopt);
  EXPECT_EQ(ItemKindOfClass(""), std::nullopt);
  EXPECT_EQ(CanonicalItemName("AbortBtn"), "CancelBtn");
  EXPECT_EQ(CanonicalItemName("abortBtn"), "abortBtn");
}

TEST(AssistantModel, ValueTexts) {
  EXPECT_TRUE(BooleanText("1"));
  EXPECT_TRUE(BooleanText("YES"));
  EXPECT_TRUE(BooleanText("True"));
  EXPECT_FALSE(BooleanText("01"));
  EXPECT_FALSE(BooleanText("on"));
  EXPECT_EQ(NumberText("-250"), -250);
  EXPECT_EQ(NumberText("12a"), 0);
  EXPECT_EQ(NumberText("-"), 0);
  EXPECT_EQ(NumberText("99999999999"), INT32_MAX);
  EXPECT_EQ(NumberText("-99999999999"), INT32_MIN);
  EXPECT_EQ(ExpandLineBreaks("a%LF%b%lf%"), "a\r\nb\r\n");
  EXPECT_EQ(ExpandLineBreaks("%lf"), "%lf");
}

TEST(AssistantModel, PropertiesByKindCompareExactly) {
  ItemData edit(ItemKind::Edit, "E");
  edit.Apply("Colored", "0");
  edit.Apply("Valid", "false");
  edit.Apply("Text", "x%lf%y");
  edit.Apply("lines", "9");  // wrong case: ignored
  edit.Apply("Caption", "ignored for edits");
  edit.Apply("OutputType", "NVOOWNSECTION");
  EXPECT_TRUE(edit.notColored);
  EXPECT_TRUE(edit.notValid);
  EXPECT_EQ(edit.text, "x\r\ny");
  EXPECT_EQ(edit.lines, 0);
  EXPECT_TRUE(edit.caption.empty());
  // The property takes the own-section type; the setter only for memos.
  EXPECT_EQ(edit.outputType, OutputType::OwnSection);
  edit.SetOutputType(OutputType::Header);
  edit.SetOutputType(OutputType::OwnSection);
  EXPECT_EQ(edit.outputType, OutputType::Header);
  edit.lines = 2;
  edit.SetOutputType(OutputType::OwnSection);
  EXPECT_EQ(edit.outputType, OutputType::OwnSection);

  ItemData button(ItemKind::Button, "B");
  button.Apply("Visible", "0");
  EXPECT_TRUE(button.invisible);
  EXPECT_TRUE(button.tabStop);
  ItemData box(ItemKind::CheckBox, "C");
  box.Apply("Text", "remember");
  EXPECT_EQ(box.caption, "remember");
  EXPECT_FALSE(ItemData(ItemKind::Label).tabStop);

  FormData form;
  form.Apply("Timer", "250");
  form.Apply("OnAction", "zelExcept.HandleScreenshotForm");
  EXPECT_EQ(form.timerInterval, 250);
  EXPECT_EQ(form.onAction, "zelExcept.HandleScreenshotForm");
}

TEST(AssistantModel, OnlyARequiredEditHoldsContinueBack) {
  ItemData edit(ItemKind::Edit, "E");
  EXPECT_FALSE(edit.AllowsContinue());  // empty
  edit.text = "x";
  EXPECT_TRUE(edit.AllowsContinue());
  edit.notValid = true;
  EXPECT_FALSE(edit.AllowsContinue());
  edit.optional = true;
  EXPECT_TRUE(edit.AllowsContinue());
  edit.text.clear();
  EXPECT_TRUE(edit.AllowsContinue());
  EXPECT_TRUE(ItemData(ItemKind::CheckBox).AllowsContinue());
}

GapItem Head() { return {ItemKind::Label, 0, true}; }
GapItem Of(ItemKind kind) { return {kind, 0, false}; }

TEST(AssistantModel, GapsOfLabelValuePairs) {
  const std::vector<GapItem> items = {Head(), Of(ItemKind::Edit), Head(), Of(ItemKind::Edit),
                                      Of(ItemKind::CheckBox)};
  EXPECT_EQ(GapBelow(items, 0), 4);
  EXPECT_EQ(GapBelow(items, 1), 8);
  EXPECT_EQ(GapBelow(items, 2), 4);
  EXPECT_EQ(GapBelow(items, 3), 12);
  EXPECT_EQ(GapBelow(items, 4), 0);  // the last item
}

TEST(AssistantModel, GapsBetweenItemsOfOneKindAndFixedSpacing) {
  EXPECT_EQ(GapBelow({Of(ItemKind::Button), Of(ItemKind::Button)}, 0), 4);
  EXPECT_EQ(GapBelow({Of(ItemKind::Edit), Of(ItemKind::Edit)}, 0), 6);
  EXPECT_EQ(GapBelow({Of(ItemKind::CheckBox), Of(ItemKind::CheckBox)}, 0), 8);
  EXPECT_EQ(GapBelow({Of(ItemKind::Label), Of(ItemKind::Label)}, 0), 8);
  EXPECT_EQ(GapBelow({Of(ItemKind::Image), Of(ItemKind::Image)}, 0), 8);
  EXPECT_EQ(GapBelow({Of(ItemKind::CheckBox), Of(ItemKind::Image)}, 0), 12);
  EXPECT_EQ(GapBelow({{ItemKind::Label, 30, true}, Of(ItemKind::Edit)}, 0), 30);
  // No head label before: the plain 12.
  EXPECT_EQ(GapBelow({Of(ItemKind::Edit), Head(), Of(ItemKind::Edit)}, 0), 12);
  EXPECT_TRUE(IsHeadLabelCaption("your name:"));
  EXPECT_TRUE(IsHeadLabelCaption("in which situation did the error occur?"));
  EXPECT_FALSE(IsHeadLabelCaption("(click to edit image)"));
}

TEST(AssistantModel, MainButtonsAndClientWidth) {
  EXPECT_EQ(MainButtonWidth(64, true, true), 85);
  EXPECT_EQ(MainButtonWidth(65, true, true), 85);
  EXPECT_EQ(MainButtonWidth(70, true, true), 90);
  EXPECT_EQ(MainButtonWidth(54, false, true), 75);
  EXPECT_EQ(MainButtonWidth(55, false, true), 75);
  EXPECT_EQ(MainButtonWidth(56, false, true), 76);
  EXPECT_EQ(MainButtonWidth(500, true, false), -8);
  EXPECT_EQ(MainButtonHeight(true), 32);
  EXPECT_EQ(MainButtonHeight(false), 23);

  MainButtons b{{85, 85, 85}, {}, false};
  EXPECT_EQ(FormClientWidth(0, b, 100, 3), 315);
  EXPECT_EQ(FormClientWidth(400, b, 100, 3), 400);
  EXPECT_EQ(FormClientWidth(0, b, 300, 3), 300 + 57 + 36);
  b.width[0] = b.width[2] = 200;
  EXPECT_EQ(FormClientWidth(0, b, 0, 1), 200 + 85 + 200 + 32);
  int x[3];
  PlaceMainButtons(400, b, x);
  EXPECT_EQ(x[0], 8);
  EXPECT_EQ(x[1], 216);
  EXPECT_EQ(x[2], 400 - 200 - 8);
}

TEST(AssistantModel, InvisibleSkipTakesNoRoomAndPlainButtonsSitRight) {
  MainButtons b{{100, MainButtonWidth(40, false, false), 150}, {true, false, true}, true};
  EXPECT_EQ(FormClientWidth(0, b, 0, 1), 315);
  b.width[0] = 200;
  EXPECT_EQ(FormClientWidth(0, b, 0, 1), 200 + 150 + 24);
  int x[3];
  PlaceMainButtons(374, b, x);
  EXPECT_EQ(x[2], 374 - 150 - 8);
  EXPECT_EQ(x[0], x[2] - 8 - 200);
  EXPECT_EQ(x[1], 8);
  b.noOwnerDraw[2] = false;  // owner-drawn Cancel: the usual row
  PlaceMainButtons(374, b, x);
  EXPECT_EQ(x[0], 8);
}

TEST(AssistantModel, StepIndicator) {
  // The current step's 20-pixel box sits behind that step's number.
  for (int step = 1; step <= 3; ++step) {
    EXPECT_EQ(StepNumberX(315, 3, step) - StepBoxLeft(315, step, 3), 7) << step;
  }
  EXPECT_EQ(StepBoxLeft(315, 3, 3), 286);
}

TEST(AssistantModel, ColourArithmetic) {
  EXPECT_EQ(ShiftColour(0xC0C0C0, 0x080808, true), 0xC8C8C8u);
  EXPECT_EQ(ShiftColour(0xC0C0C0, 0x101010, false), 0xB0B0B0u);
  // White cannot get brighter in two bytes or more: it gets darker.
  EXPECT_EQ(ShiftColour(0xFFFFFF, 0x080808, true), 0xF7F7F7u);
  // One byte clamps, the others move.
  EXPECT_EQ(ShiftColour(0x00FCF0, 0x080808, true), 0x08FFF8u);
  EXPECT_EQ(ShiftColour(0x000000, 0x141414, false), 0x141414u);
  EXPECT_EQ(TintOf(0xC0C0C0), 0xE0E0E0u);
  EXPECT_EQ(TintOf(0xF0F0F0), 0xF8F8F8u);
}

TEST(AssistantModel, MailAddresses) {
  EXPECT_TRUE(IsValidMailAddress("a@b.c"));
  EXPECT_TRUE(IsValidMailAddress("o'neil+tag_x-y@mail.example.org"));
  for (const char* bad : {"@b.c", "a@.c", "a@bc", ".a@b.c", "a@b.c.", "a@b@c.d", "a b@c.d",
                          " a@b.c", "a@b.c ", "", "a@", "ä@b.c", "a@b.c\t", "a,b@c.d"}) {
    EXPECT_FALSE(IsValidMailAddress(bad)) << bad;
  }
}

}  // namespace
}  // namespace corvan::crash
