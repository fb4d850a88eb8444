// The start-up integrity check (MapFileAndCheckSumW over the whole file)
// on a 5 MB program, a copy of this one padded to that size with its
// checksum written, and on the file given on the command line (corvan.exe
// as shipped, its size printed beside the time). The yardstick is the start of a
// process from the 5 MB file that ends at once: the check should cost a
// small part of it. Prints milliseconds (the fastest of several runs: the
// machine is shared) and ends with
//   ratio integrity-vs-process-start <check time / process start time>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "WinClock.h"
#include "crash/analysis/PeChecksum.h"
#include "crash/core/FileIntegrity.h"

namespace {

using namespace corvan::crash;
using corvan::bench::Seconds;

constexpr std::size_t kFileSize = 5 * 1024 * 1024;
constexpr int kRuns = 10;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// A copy of this program padded to kFileSize, its checksum valid.
std::string MakeFiveMegabyteProgram() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::ifstream in(self, std::ios::binary);
  std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
  if (file.size() < kFileSize) file.resize(kFileSize);
  const auto field = PeChecksumOffset(file);
  if (!field) return {};
  const std::uint32_t sum = PeChecksum(file, *field);
  std::memcpy(&file[*field], &sum, 4);
  char folder[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "corvan-integrity-bench.exe";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return path;
}

double FastestCheck(const std::string& path, FileIntegrity& verdict) {
  double best = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    const double start = Seconds();
    verdict = CheckFileIntegrity(Wide(path));
    best = std::min(best, Seconds() - start);
  }
  return best;
}

double FastestStart(const std::string& path) {
  double best = 1e9;
  for (int i = 0; i < kRuns / 2; ++i) {
    std::string command = "\"" + path + "\" --exit";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const double start = Seconds();
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return 0;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    best = std::min(best, Seconds() - start);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return best;
}

const char* VerdictText(FileIntegrity v) {
  switch (v) {
    case FileIntegrity::Intact:
      return "intact";
    case FileIntegrity::Corrupt:
      return "corrupt";
    case FileIntegrity::Unprotected:
      return "unprotected";
    case FileIntegrity::Unknown:
      break;
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--exit") return 0;
  const std::string program = MakeFiveMegabyteProgram();
  if (program.empty()) return 1;
  FileIntegrity verdict;
  const double check = FastestCheck(program, verdict);
  std::printf("check of a 5 MB program: %.2f ms (%s)\n", check * 1000, VerdictText(verdict));
  if (argc > 1) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    GetFileAttributesExA(argv[1], GetFileExInfoStandard, &info);
    const double big = FastestCheck(argv[1], verdict);
    std::printf("check of %s (%.1f MB): %.2f ms (%s)\n", argv[1], info.nFileSizeLow / 1048576.0,
                big * 1000, VerdictText(verdict));
  }
  const double start = FastestStart(program);
  std::printf("start and end of a process of the 5 MB program: %.2f ms\n", start * 1000);
  DeleteFileA(program.c_str());
  if (start <= 0) return 1;
  std::printf("ratio integrity-vs-process-start %.4f\n", check / start);
  return 0;
}
