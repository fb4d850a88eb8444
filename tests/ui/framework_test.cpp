// The application framework and widgets in a real Wine session.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <stdexcept>

#include "ui/Application.h"
#include "ui/Buttons.h"
#include "ui/Form.h"
#include "ui/Label.h"
#include "ui/SpinEdit.h"

namespace corvan::ui {
namespace {

constexpr UINT kThrowMessage = WM_APP + 1;

class TestForm : public TForm {
 public:
  void Create() { CreateForm("CorvanTestForm", "Test", 200, 120); }
  TSpinEdit spin;
  TRadioButton first, second;
  TLabel label;
  TButton button;
  bool created = false;

 protected:
  void CreateControls() override {
    button.Create(*this, 10, {8, 80, 80, 25}, "Go");
    spin.Create(*this, 11, 8, 8, 60);
    first.Create(*this, 12, {8, 40, 60, 17}, "One", true);
    second.Create(*this, 13, {8, 60, 60, 17}, "Two", false);
    label.Create(*this, 14, 100, 8, "x");
  }
  void FormCreate() override { created = true; }
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == kThrowMessage) throw std::runtime_error("thrown in a handler");
    return TForm::WndProc(msg, wParam, lParam);
  }
};

class Framework : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    Application().Initialize(GetModuleHandleA(nullptr));
    Application().SetTitle("FrameworkTest");
  }
  void SetUp() override {
    Application().SetExceptionHandler([this](std::exception_ptr e) {
      caught_.push_back(ExceptionMessage(e));
    });
    form_.Create();
  }
  void TearDown() override { Application().SetExceptionHandler(nullptr); }

  TestForm form_;
  std::vector<std::string> caught_;
};

TEST_F(Framework, ExceptionInWindowProcedureReachesTheHandlerNotWindows) {
  EXPECT_TRUE(form_.created);
  EXPECT_EQ(SendMessageA(form_.Handle(), kThrowMessage, 0, 0), 0);
  PostMessageA(form_.Handle(), kThrowMessage, 0, 0);
  Application().ProcessMessages();
  EXPECT_EQ(caught_, (std::vector<std::string>{"thrown in a handler", "thrown in a handler"}));
}

TEST_F(Framework, ClickHandlerExceptionIsReported) {
  form_.button.OnClick = [] { throw std::logic_error("click failed"); };
  SendMessageA(form_.button.Handle(), BM_CLICK, 0, 0);
  Application().ProcessMessages();
  EXPECT_EQ(caught_, std::vector<std::string>{"click failed"});
}

TEST_F(Framework, SpinEditReadsTypedIntegersOnly) {
  EXPECT_EQ(form_.spin.Value(), 0);
  form_.spin.SetValue(1000);
  EXPECT_EQ(form_.spin.Value(), 1000);
  SetWindowTextA(form_.spin.Handle(), "-12");
  EXPECT_EQ(form_.spin.Value(), -12);
  SetWindowTextA(form_.spin.Handle(), "12 apples");
  EXPECT_FALSE(form_.spin.Value().has_value());
  SetWindowTextA(form_.spin.Handle(), "");
  EXPECT_FALSE(form_.spin.Value().has_value());
  // The arrows step the number shown.
  form_.spin.SetValue(41);
  SendMessageA(form_.spin.Handle(), WM_KEYDOWN, VK_UP, 0);
  Application().ProcessMessages();
  EXPECT_EQ(form_.spin.Value(), 42);
}

TEST_F(Framework, RadioButtonsFormOneGroup) {
  form_.first.SetChecked(true);
  EXPECT_TRUE(form_.first.Checked());
  form_.second.SetChecked(true);
  EXPECT_TRUE(form_.second.Checked());
  EXPECT_FALSE(form_.first.Checked());
  form_.first.SetChecked(true);
  EXPECT_FALSE(form_.second.Checked());
}

TEST_F(Framework, LabelFollowsItsText) {
  const int narrow = form_.label.BoundsInParent().width;
  form_.label.SetCaption("a much longer text than before");
  EXPECT_GT(form_.label.BoundsInParent().width, narrow);
  EXPECT_EQ(form_.label.Caption(), "a much longer text than before");
  form_.label.SetCaption("");
  EXPECT_EQ(form_.label.BoundsInParent().width, 0);
}

TEST_F(Framework, ShowModalEndsWhenTheFormCloses) {
  PostMessageA(form_.Handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(form_.ShowModal(), ModalResult::Cancel);
  EXPECT_FALSE(form_.Visible());
  EXPECT_FALSE(Application().Terminated());
}

// Last: the quit request ends the application for good.
TEST_F(Framework, ZzQuitEndsProcessMessagesAndModalLoops) {
  PostQuitMessage(0);
  Application().ProcessMessages();
  EXPECT_TRUE(Application().Terminated());
}

}  // namespace
}  // namespace corvan::ui
