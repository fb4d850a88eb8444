#include "CorvanDriver.h"

#include <tlhelp32.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/KeptReports.h"

namespace corvan::e2e {
namespace {

// The program under test, built beside this test (Wine path of the build).
std::string CorvanExePath() { return CORVAN_EXE_WINE_PATH; }

struct FindContext {
  DWORD processId;
  const char* className;
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND hwnd, LPARAM lParam) {
  auto* context = reinterpret_cast<FindContext*>(lParam);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == context->processId && ClassOf(hwnd) == context->className) {
    context->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

// The process and every process it started, by the parent ids of a
// snapshot.
std::vector<DWORD> ProcessFamily(DWORD root) {
  std::vector<DWORD> family{root};
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return family;
  std::vector<PROCESSENTRY32> all;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    all.push_back(entry);
  CloseHandle(snapshot);
  for (std::size_t i = 0; i < family.size(); ++i) {
    for (const PROCESSENTRY32& p : all) {
      if (p.th32ParentProcessID == family[i] && p.th32ProcessID != root)
        family.push_back(p.th32ProcessID);
    }
  }
  return family;
}

struct VisibleContext {
  std::vector<DWORD> family;
  std::vector<std::string> found;
};

BOOL CALLBACK CollectVisible(HWND hwnd, LPARAM lParam) {
  auto* context = reinterpret_cast<VisibleContext*>(lParam);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (IsWindowVisible(hwnd) &&
      std::find(context->family.begin(), context->family.end(), pid) != context->family.end())
    context->found.push_back(ClassOf(hwnd) + " \"" + WindowText(hwnd) + "\"");
  return TRUE;
}

}  // namespace

std::string WindowText(HWND window) {
  char text[1024] = {};
  // WM_GETTEXT is marshalled across processes; GetWindowText of a child of
  // another process would not ask the control.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 5000, nullptr);
  return text;
}

std::string ClassOf(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

void SetText(HWND window, const std::string& text) {
  SendMessageTimeoutA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                      SMTO_ABORTIFHUNG, 5000, nullptr);
}

void PostClick(HWND form, int controlId) {
  PostMessageA(form, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(form, controlId)));
}

RECT ChildBounds(HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

long long NowMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<long long>(
      ((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000);
}

std::vector<VncLaunch> ReadVncLog(const std::string& path) {
  std::vector<VncLaunch> launches;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::istringstream fields(line);
    VncLaunch launch;
    std::string time, show;
    std::getline(fields, time, '\t');
    std::getline(fields, show, '\t');
    std::getline(fields, launch.parameters);
    launch.timeMs = std::stoll(time);
    launch.showState = std::stoi(show);
    launches.push_back(launch);
  }
  return launches;
}

CorvanProcess::CorvanProcess(const std::string& vncLog) {
  // An offer of reports kept by an earlier test's fault would stand in front.
  test::ClearKeptReports("corvan");
  SetEnvironmentVariableA("CORVAN_VNC_LOG", vncLog.c_str());
  if (!process_.Start("\"" + CorvanExePath() + "\"")) {
    throw std::runtime_error("cannot start " + CorvanExePath());
  }
  processId_ = process_.Id();
  WaitForInputIdle(process_.Handle(), crash::test::Patience(10000));
  WaitUntil(
      [&] {
        return (main_ = FindWindowOfClass("TfrmCorvanNG")) != nullptr && IsWindowVisible(main_);
      },
      std::chrono::seconds(20));
  if (!main_) throw std::runtime_error("the main window did not appear");
}

std::vector<std::string> CorvanProcess::VisibleWindows() const {
  VisibleContext context{ProcessFamily(processId_), {}};
  EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&context));
  return context.found;
}

bool CorvanProcess::Running() const { return process_.Running(); }

bool CorvanProcess::WaitForExit(std::chrono::milliseconds timeout) const {
  return WaitForSingleObject(process_.Handle(), static_cast<DWORD>(timeout.count())) ==
         WAIT_OBJECT_0;
}

HWND CorvanProcess::FindWindowOfClass(const char* className) const {
  FindContext context{processId_, className, nullptr};
  EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&context));
  return context.found;
}

std::optional<MessageBoxSeen> CorvanProcess::WaitForMessageBox(
    std::chrono::milliseconds timeout) const {
  HWND box = nullptr;
  WaitUntil(
      [&] {
        box = FindWindowOfClass("#32770");
        return box && IsWindowVisible(box) && GetDlgItem(box, 0xFFFF);
      },
      timeout);
  if (!box || !IsWindowVisible(box)) return std::nullopt;
  MessageBoxSeen seen;
  seen.handle = box;
  seen.caption = WindowText(box);
  seen.text = WindowText(GetDlgItem(box, 0xFFFF));
  // The icon static: id 20 on Windows, 0x440 in Wine's template.
  for (int id : {20, 0x440}) {
    HWND icon = GetDlgItem(box, id);
    if (icon && IsWindowVisible(icon) && SendMessageA(icon, STM_GETICON, 0, 0) != 0) {
      seen.hasIcon = true;
    }
  }
  return seen;
}

void CorvanProcess::AnswerMessageBox(const MessageBoxSeen& box) const {
  PostMessageA(box.handle, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box.handle, IDOK)));
  WaitUntil([&] { return !IsWindow(box.handle) || !IsWindowVisible(box.handle); },
            std::chrono::seconds(5));
}

bool CorvanProcess::Responsive(std::chrono::milliseconds timeout) const {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(main_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                             static_cast<UINT>(timeout.count()), &result) != 0;
}

}  // namespace corvan::e2e
