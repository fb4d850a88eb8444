// The start-up integrity check seen from outside: a copy of the probe with
// one byte of its code flipped shows the corrupt-file message before the
// program's own code runs, and goes on once it is confirmed; an unchanged
// copy starts without it.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "crash/analysis/PeImage.h"
#include "common/WinTestSupport.h"

namespace corvan::crash {
namespace {

using test::Button;
using test::Children;
using test::FindWindowOf;
using test::Press;
using test::TempPath;
using test::WaitForWindow;
using test::WindowText;

std::string Folder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string s(path);
  return s.substr(0, s.rfind('\\') + 1);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A copy of the probe named name in the temporary folder; with flip, one
// byte inside the code of zelTraceProcess (which start-up never runs) is
// inverted.
std::string CopyOfProbe(const std::string& name, bool flip) {
  std::vector<std::uint8_t> file = ReadBytes(Folder() + "exception_box_probe.exe");
  if (flip) {
    const BufferImageBytes bytes(file);
    const PeImage image(bytes, ImageLayout::File);
    const auto rva = image.ExportRva("zelTraceProcess");
    const auto offset = rva ? image.RvaToOffset(*rva + 5) : std::nullopt;
    if (!offset || *offset >= file.size()) return {};
    file[*offset] ^= 0xFF;
  }
  const std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return path;
}

class ProbeCopy {
 public:
  explicit ProbeCopy(const std::string& exe) : exe_(exe), log_(exe + ".log") {
    DeleteFileA(log_.c_str());
    process_.Start("\"" + exe + "\" \"" + log_ + "\" fault");
  }
  ~ProbeCopy() {
    process_.End();
    DeleteFileA(log_.c_str());
    DeleteFileA(exe_.c_str());
  }
  bool Started() const { return process_.Started(); }
  DWORD Id() const { return process_.Id(); }
  std::string Log() const { return ReadText(log_); }

 private:
  std::string exe_, log_;
  test::ChildProcess process_;
};

constexpr const char* kMessageBoxClass = "#32770";
constexpr const char* kExceptionBoxClass = "zelExceptWndClass";

TEST(StartupE2e, AFlippedCodeByteIsReportedBeforeTheProgramRuns) {
  const std::string exe = CopyOfProbe("startup-flipped.exe", true);
  ASSERT_FALSE(exe.empty());
  ProbeCopy run(exe);
  ASSERT_TRUE(run.Started());
  HWND message = WaitForWindow(run.Id(), kMessageBoxClass);
  ASSERT_NE(message, nullptr);
  const std::string name = exe.substr(exe.rfind('\\') + 1);
  EXPECT_EQ(WindowText(message), name);
  std::vector<std::string> texts;
  for (HWND s : Children(message, "Static")) {
    if (!WindowText(s).empty()) texts.push_back(WindowText(s));
  }
  EXPECT_EQ(texts, std::vector<std::string>{"The file \"" + name + "\" seems to be corrupt!"});
  // Start-up waits for the user: the program's own code has not run.
  EXPECT_EQ(run.Log(), "");
  Press(message, Button(message, "OK"));
  EXPECT_NE(WaitForWindow(run.Id(), kExceptionBoxClass), nullptr);
  EXPECT_EQ(run.Log().rfind("history ", 0), 0u) << run.Log();
}

TEST(StartupE2e, AnUnchangedCopyStartsWithoutTheMessage) {
  const std::string exe = CopyOfProbe("startup-unchanged.exe", false);
  ProbeCopy run(exe);
  ASSERT_TRUE(run.Started());
  EXPECT_NE(WaitForWindow(run.Id(), kExceptionBoxClass), nullptr);
  EXPECT_EQ(FindWindowOf(run.Id(), kMessageBoxClass), nullptr);
  EXPECT_EQ(run.Log().rfind("history ", 0), 0u) << run.Log();
}

}  // namespace
}  // namespace corvan::crash
