// The send assistant seen from outside: the probe's exception box runs it
// when "send bug report" is pressed; the test fills the forms through
// their windows as a user would, watches the Continue button follow the
// input, and reads from the probe's log what reached the report. The
// contact data must be remembered in the registry for the next run.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/ui/ProbeDriver.h"
#include "common/WinTestSupport.h"

namespace corvan::crash {
namespace {

using test::Button;
using test::Children;
using test::Press;
using test::ProbePath;
using test::ReadFile;
using test::TempPath;
using test::WaitForWindow;
using test::WindowText;

constexpr const char* kContactKey = "Software\\Quenor\\ContactForm";

// Class and title of every top-level window of process, for failure messages.
std::string WindowsOf(DWORD process) {
  struct Search {
    DWORD process;
    std::string text;
  } search{process, {}};
  EnumWindows(
      [](HWND window, LPARAM context) WINAPI -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != s->process) return TRUE;
        char name[64] = {};
        GetClassNameA(window, name, sizeof name);
        s->text += std::string(name) + " \"" + WindowText(window) + "\"" +
                   (IsWindowVisible(window) ? " visible" : "") + "\n";
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.text;
}

// Typing over the whole text, as the keyboard does (a multi-line edit
// reports no change for WM_SETTEXT).
void Type(HWND edit, const std::string& text) {
  SendMessageA(edit, EM_SETSEL, 0, -1);
  SendMessageA(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

// GetWindowText of another process's edit sees only the window name.
std::string EditText(HWND edit) {
  char text[512] = {};
  SendMessageA(edit, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

bool EnabledSoon(HWND window, bool enabled) {
  for (int i = 0; i < 100; ++i) {
    if ((IsWindowEnabled(window) != FALSE) == enabled) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string Remembered(const char* name) {
  char buffer[256] = {};
  DWORD size = sizeof buffer - 1;
  if (RegGetValueA(HKEY_CURRENT_USER, kContactKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return "<none>";
  }
  return buffer;
}

// The probe with the box's send button at hand.
class Probe : public test::Probe {
 public:
  // settings: "Name=Value" changes of the probe's settings.
  explicit Probe(const std::vector<std::string>& settings = {}) : test::Probe(settings) {}

  // Presses "send bug report" and returns the first form.
  HWND OpenSendAssistant() {
    box_ = WaitForWindow(Id(), "zelExceptWndClass");
    if (!box_) return nullptr;
    Press(box_, Button(box_, "send bug report"));
    return WaitForWindow(Id(), "zelNVAssistantWnd", nullptr, 10000);
  }
  HWND Box() const { return box_; }

 private:
  HWND box_ = nullptr;
};

// With CORVAN_SCREENSHOT_DIR set, the form as it is on the screen goes to
// that folder as NAME.bmp (scripts/form-shots.sh turns them into the
// README's pictures).
void SaveShot(HWND window, const std::string& name) {
  char folder[MAX_PATH] = {};
  if (!GetEnvironmentVariableA("CORVAN_SCREENSHOT_DIR", folder, sizeof folder)) return;
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // let it paint
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFOHEADER header{sizeof header, w, h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                 &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD size = static_cast<DWORD>(w * h * 4);
  // The fourth byte of a copied pixel is undefined: Wine sets it under
  // anti-aliased glyphs (the memo's scroll arrows), and a viewer that sees
  // any set takes it for alpha, showing all the other pixels as transparent.
  for (DWORD i = 3; i < size; i += 4) static_cast<std::uint8_t*>(bits)[i] = 0;
  BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof header + size),
                        0, 0, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof header)};
  std::ofstream out(std::string(folder) + "\\" + name + ".bmp", std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(static_cast<const char*>(bits), size);
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

// Continue on form, then the next form of the assistant (null at the end).
HWND Next(const Probe& probe, HWND form) {
  Press(form, Button(form, "Continue"));
  for (int i = 0; i < 200 && IsWindow(form); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return WaitForWindow(probe.Id(), "zelNVAssistantWnd", form, 1500);
}

TEST(AssistantE2e, ContactDataReachesTheReportAndIsRemembered) {
  RegDeleteKeyA(HKEY_CURRENT_USER, kContactKey);
  {
    Probe probe;
    HWND contact = probe.OpenSendAssistant();
    ASSERT_NE(contact, nullptr) << WindowsOf(probe.Id());
    EXPECT_EQ(WindowText(contact), "Send Assistant");
    const std::vector<HWND> edits = Children(contact, "Edit");
    ASSERT_EQ(edits.size(), 2u);
    HWND next = Button(contact, "Continue");
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(IsWindowEnabled(Button(contact, "Skip")));
    EXPECT_FALSE(IsWindowEnabled(next));
    Type(edits[0], "Jan Smit");
    EXPECT_TRUE(EnabledSoon(next, false)) << "a name alone does not do";
    Type(edits[1], "jan@example");
    EXPECT_TRUE(EnabledSoon(next, false)) << "no dot after the at-sign";
    Type(edits[1], "jan@example.org");
    EXPECT_TRUE(EnabledSoon(next, true));
    Type(edits[1], "@example.org");
    EXPECT_TRUE(EnabledSoon(next, false));
    Type(edits[1], "jan@example.org");
    EXPECT_TRUE(EnabledSoon(next, true));
    Press(contact, Button(contact, "remember me"));
    SaveShot(contact, "form-contact");

    HWND details = Next(probe, contact);
    ASSERT_NE(details, nullptr);
    const std::vector<HWND> memo = Children(details, "Edit");
    ASSERT_EQ(memo.size(), 1u);
    EXPECT_TRUE(GetWindowLongA(memo[0], GWL_STYLE) & ES_MULTILINE);
    EXPECT_FALSE(IsWindowEnabled(Button(details, "Continue")));
    Type(memo[0], "while saving\r\na large file");
    EXPECT_TRUE(EnabledSoon(Button(details, "Continue"), true));
    SaveShot(details, "form-details");
    // The screenshot form follows only when the report takes a screenshot.
    for (HWND form = Next(probe, details); form; form = Next(probe, form)) {
      SaveShot(form, "form-screenshot");
    }
    for (int i = 0; i < 100 && probe.Log().find("assisted") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string log = probe.Log();
    EXPECT_NE(log.find("assisted 3\n"), std::string::npos) << log;
    EXPECT_NE(log.find("MailFrom=Jan Smit <jan@example.org>\n"), std::string::npos) << log;
    EXPECT_NE(log.find("contact name=Jan Smit\n"), std::string::npos) << log;
    EXPECT_NE(log.find("contact email=jan@example.org\n"), std::string::npos) << log;
    EXPECT_NE(log.find("error details=while saving\r\na large file\n"), std::string::npos) << log;
    // The screenshot form offered the report's picture of the whole screen.
    EXPECT_NE(log.find("screenshot " + std::to_string(GetSystemMetrics(SM_CXVIRTUALSCREEN)) + "x" +
                       std::to_string(GetSystemMetrics(SM_CYVIRTUALSCREEN)) + " send yes"),
              std::string::npos)
        << log;
    Press(probe.Box(), Button(probe.Box(), "continue application"));
    EXPECT_EQ(probe.Exit(), 0u);
  }
  EXPECT_EQ(Remembered("RememberName"), "Jan Smit");
  EXPECT_EQ(Remembered("RememberEmail"), "jan@example.org");

  {
    // The next process starts with the data filled in and Continue focused.
    Probe probe;
    HWND contact = probe.OpenSendAssistant();
    ASSERT_NE(contact, nullptr);
    const std::vector<HWND> edits = Children(contact, "Edit");
    ASSERT_EQ(edits.size(), 2u);
    EXPECT_EQ(EditText(edits[0]), "Jan Smit");
    EXPECT_EQ(EditText(edits[1]), "jan@example.org");
    EXPECT_TRUE(IsWindowEnabled(Button(contact, "Continue")));
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(contact, nullptr), &info);
    EXPECT_EQ(info.hwndFocus, Button(contact, "Continue"));
    // Unticking "remember me" forgets the data once Continue is pressed.
    Press(contact, Button(contact, "remember me"));
    HWND details = Next(probe, contact);
    ASSERT_NE(details, nullptr);
    EXPECT_EQ(Remembered("RememberName"), "<none>");
    EXPECT_EQ(Remembered("RememberEmail"), "<none>");
    // Escape cancels the assistant: no assisted action follows.
    PostMessageA(test::NthChild(details, "Edit", 0), WM_KEYDOWN, VK_ESCAPE, 0);
    for (int i = 0; i < 200 && IsWindow(details); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(IsWindow(details));
    Press(probe.Box(), Button(probe.Box(), "continue application"));
    EXPECT_EQ(probe.Exit(), 0u);
    EXPECT_EQ(probe.Log().find("assisted"), std::string::npos) << probe.Log();
  }
}

bool HasLabel(HWND form, const std::string& text) {
  for (HWND label : Children(form, "Static")) {
    if (WindowText(label) == text) return true;
  }
  return false;
}

TEST(AssistantE2e, AFormCallsTheHandlerOfTheProgramItNames) {
  // ProbeForm names the probe's handler; ProbeOddForm a function of the
  // probe whose shape is not a handler's: that form runs without one.
  Probe probe({"SendAssis=ProbeAssistant",
               "Assistant4=ProbeAssistant|Probe Assistant|ProbeForm|ProbeOddForm"});
  HWND form = probe.OpenSendAssistant();
  ASSERT_NE(form, nullptr) << WindowsOf(probe.Id());
  EXPECT_EQ(WindowText(form), "Probe Assistant");
  EXPECT_TRUE(HasLabel(form, "handled by the program"));
  HWND odd = Next(probe, form);
  ASSERT_NE(odd, nullptr);
  EXPECT_TRUE(HasLabel(odd, "no handler"));
  EXPECT_EQ(Next(probe, odd), nullptr);
  for (int i = 0; i < 100 && probe.Log().find("assisted") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string log = probe.Log();
  EXPECT_NE(log.find("ProbeForm event 0\nProbeForm event 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("ProbeForm event 3 ContinueBtn\nProbeForm event 2\n"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("ProbeOddForm"), std::string::npos) << log;
  EXPECT_NE(log.find("assisted 3\n"), std::string::npos) << log;
}

// image_editor_double as the prefix's editor of BMP files for the lifetime
// of the object (Wine's shell reads HKEY_CLASSES_ROOT without the user's
// classes, so the machine's are changed and put back).
class RegisteredImageEditor {
 public:
  RegisteredImageEditor() {
    HKEY extension = nullptr;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, kExtensionKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &extension, nullptr);
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    hadDefault_ = RegQueryValueExA(extension, nullptr, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS;
    previous_ = value;
    SetDefault(extension, kProgId);
    RegCloseKey(extension);
    const std::string folder = ProbePath().substr(0, ProbePath().rfind('\\') + 1);
    HKEY command = nullptr;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, kCommandKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &command, nullptr);
    SetDefault(command, "\"" + folder + "image_editor_double.exe\" \"%1\"");
    RegCloseKey(command);
  }
  RegisteredImageEditor(const RegisteredImageEditor&) = delete;
  RegisteredImageEditor& operator=(const RegisteredImageEditor&) = delete;
  ~RegisteredImageEditor() {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, kProgId);
    HKEY extension = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kExtensionKey, 0, KEY_ALL_ACCESS, &extension) !=
        ERROR_SUCCESS)
      return;
    if (hadDefault_)
      SetDefault(extension, previous_);
    else
      RegDeleteValueA(extension, nullptr);
    RegCloseKey(extension);
  }

 private:
  static constexpr const char* kExtensionKey = ".bmp";
  static constexpr const char* kProgId = "CorvanTestBitmap";
  static constexpr const char* kCommandKey = "CorvanTestBitmap\\shell\\edit\\command";
  static void SetDefault(HKEY key, const std::string& value) {
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  }

  bool hadDefault_ = false;
  std::string previous_;
};

COLORREF ScreenPixel(POINT at) {
  HDC screen = GetDC(nullptr);
  const COLORREF colour = GetPixel(screen, at.x, at.y);
  ReleaseDC(nullptr, screen);
  return colour;
}

// The screenshot form, after a valid contact and details form.
HWND OpenScreenshotForm(Probe& probe) {
  HWND contact = probe.OpenSendAssistant();
  if (!contact) return nullptr;
  Type(test::NthChild(contact, "Edit", 1), "jan@example.org");
  if (!EnabledSoon(Button(contact, "Continue"), true)) return nullptr;
  HWND details = Next(probe, contact);
  if (!details) return nullptr;
  Type(test::NthChild(details, "Edit", 0), "while printing");
  if (!EnabledSoon(Button(details, "Continue"), true)) return nullptr;
  return Next(probe, details);
}

void WaitForLogOf(const Probe& probe, const std::string& text) {
  for (int i = 0; i < 100 && probe.Log().find(text) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// A click on the thumbnail opens the screenshot in the registered editor;
// what the editor saves replaces the thumbnail within moments and becomes
// the report's screenshot.
TEST(AssistantE2e, ScreenshotEditedInTheRegisteredEditorReplacesTheReportsPicture) {
  RegisteredImageEditor editor;
  Probe probe;
  HWND form = OpenScreenshotForm(probe);
  ASSERT_NE(form, nullptr) << WindowsOf(probe.Id());
  HWND attach = Button(form, "attach a screenshot to the bug report");
  ASSERT_NE(attach, nullptr);
  // The thumbnail lies right below the check box.
  RECT check;
  GetWindowRect(attach, &check);
  POINT onImage{check.left + 20, check.bottom + 40};
  const COLORREF before = ScreenPixel(onImage);
  POINT client = onImage;
  ScreenToClient(form, &client);
  PostMessageA(form, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(client.x, client.y));
  PostMessageA(form, WM_LBUTTONUP, 0, MAKELPARAM(client.x, client.y));
  EXPECT_TRUE(test::PumpUntil([&] { return ScreenPixel(onImage) == RGB(255, 0, 0); }, 20000))
      << "thumbnail colour before the edit " << std::hex << before;
  EXPECT_EQ(Next(probe, form), nullptr);
  WaitForLogOf(probe, "screenshot");
  const std::string log = probe.Log();
  EXPECT_NE(log.find(" send yes top-left ff0000\n"), std::string::npos) << log;
  Press(probe.Box(), Button(probe.Box(), "continue application"));
  EXPECT_EQ(probe.Exit(), 0u);
}

// Unticking the check box sends the report without its screenshot.
TEST(AssistantE2e, UntickedScreenshotIsNotSent) {
  Probe probe;
  HWND form = OpenScreenshotForm(probe);
  ASSERT_NE(form, nullptr) << WindowsOf(probe.Id());
  Press(form, Button(form, "attach a screenshot to the bug report"));
  EXPECT_EQ(Next(probe, form), nullptr);
  WaitForLogOf(probe, "screenshot");
  EXPECT_NE(probe.Log().find(" send no "), std::string::npos) << probe.Log();
  Press(probe.Box(), Button(probe.Box(), "continue application"));
  EXPECT_EQ(probe.Exit(), 0u);
}

}  // namespace
}  // namespace corvan::crash
