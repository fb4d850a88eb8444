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
#include "ui/Thread.h"

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
    Application().SetExceptionHandler(
        [this](std::exception_ptr e, ExceptionPoint point, const void* related) {
          caught_.push_back(ExceptionMessage(e));
          points_.push_back(point);
          related_ = related;
          caughtOn_ = GetCurrentThreadId();
        });
    form_.Create();
  }
  void TearDown() override { Application().SetExceptionHandler(nullptr); }

  TestForm form_;
  std::vector<std::string> caught_;
  std::vector<ExceptionPoint> points_;
  const void* related_ = nullptr;
  DWORD caughtOn_ = 0;
};

DWORD WINAPI ThrowingProc(void*) { throw std::runtime_error("thread proc"); }

DWORD WINAPI SignalThenThrow(void* event) {
  SetEvent(event);
  throw std::runtime_error("work item");
}

class ThrowingThread : public TThread {
 public:
  using TThread::TThread;
  std::function<void()> body;

 protected:
  void Run() override { body(); }
};

TEST_F(Framework, ExceptionInWindowProcedureReachesTheHandlerNotWindows) {
  EXPECT_TRUE(form_.created);
  EXPECT_EQ(SendMessageA(form_.Handle(), kThrowMessage, 0, 0), 0);
  PostMessageA(form_.Handle(), kThrowMessage, 0, 0);
  Application().ProcessMessages();
  EXPECT_EQ(caught_, (std::vector<std::string>{"thrown in a handler", "thrown in a handler"}));
  EXPECT_EQ(points_[0], ExceptionPoint::HandleException);
  EXPECT_EQ(related_, &form_);
}

TEST_F(Framework, ThreadFramesReportWhatLeavesThem) {
  DWORD id = 0;
  HANDLE thread = StartThread(ThrowingProc, nullptr, "worker", &id);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, static_cast<DWORD>(-1));
  EXPECT_EQ(caughtOn_, id);
  ASSERT_EQ(points_, std::vector<ExceptionPoint>{ExceptionPoint::ThreadFrame});

  ThrowingThread t("runner");
  t.body = [] { throw std::logic_error("run"); };
  ASSERT_TRUE(t.Start());
  EXPECT_EQ(t.WaitFor(), static_cast<DWORD>(-1));
  EXPECT_EQ(points_.back(), ExceptionPoint::ThreadExecute);
  EXPECT_EQ(related_, &t);
  EXPECT_EQ(caught_.back(), "run");
}

TEST_F(Framework, WorkItemFrameReports) {
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(QueueWorkItem(SignalThenThrow, done));
  WaitForSingleObject(done, INFINITE);
  for (int i = 0; i < 100 && caught_.empty(); ++i) Sleep(10);
  CloseHandle(done);
  EXPECT_EQ(caught_, std::vector<std::string>{"work item"});
  EXPECT_EQ(points_.back(), ExceptionPoint::ThreadFrame);
}

TEST_F(Framework, SynchronizeRunsInTheMainThreadAndHandsBackOnlyEAbort) {
  ThrowingThread t;
  DWORD ranOn = 0;
  bool abortCameBack = false, otherCameBack = false;
  t.body = [&] {
    TThread::Synchronize([&] { ranOn = GetCurrentThreadId(); });
    try {
      TThread::Synchronize([] { throw EAbort(); });
    } catch (const EAbort&) {
      abortCameBack = true;
    }
    try {
      TThread::Synchronize([] { throw std::runtime_error("in sync"); });
    } catch (...) {
      otherCameBack = true;
    }
  };
  ASSERT_TRUE(t.Start());
  while (WaitForSingleObject(t.Handle(), 0) == WAIT_TIMEOUT) Application().ProcessMessages();
  EXPECT_EQ(ranOn, GetCurrentThreadId());
  EXPECT_TRUE(abortCameBack);
  EXPECT_FALSE(otherCameBack);
  EXPECT_EQ(caught_, std::vector<std::string>{"in sync"});
  EXPECT_EQ(points_, std::vector<ExceptionPoint>{ExceptionPoint::Synchronize});
  EXPECT_EQ(caughtOn_, GetCurrentThreadId());
}

TEST_F(Framework, ThreadHooksSeeCreatorAndEnd) {
  static DWORD registeredId, creator, endedOn;
  static std::string className;
  SetThreadHooks({[](HANDLE, DWORD id, DWORD by, void*, const char*, const char* cls) {
                    registeredId = id;
                    creator = by;
                    className = cls;
                  },
                  [] { endedOn = GetCurrentThreadId(); }});
  ThrowingThread t;
  t.body = [] {};
  ASSERT_TRUE(t.Start());
  t.WaitFor();
  SetThreadHooks({});
  EXPECT_EQ(registeredId, t.ThreadId());
  EXPECT_EQ(endedOn, t.ThreadId());
  EXPECT_EQ(creator, GetCurrentThreadId());
  EXPECT_EQ(className, "ThrowingThread");
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
