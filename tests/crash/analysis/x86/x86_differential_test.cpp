// DecodeInstruction against Zydis and objdump: a fixed sample by default,
// the whole corpus with CORVAN_X86_CORPUS=full (scripts/x86-diff.sh).
#include <gtest/gtest.h>

#include <fnmatch.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "crash/analysis/x86/CodeImage.h"
#include "crash/analysis/x86/FunctionParser.h"
#include "crash/analysis/x86/X86Differential.h"

namespace corvan::crash::testing {
namespace {

const std::string WineDlls = "/usr/lib/i386-linux-gnu/wine/i386-windows";
const std::string Explanations = std::string(CORVAN_TEST_DATA) + "/x86_disagreements.txt";

bool FullCorpus() {
  const char* corpus = std::getenv("CORVAN_X86_CORPUS");
  return corpus && std::string(corpus) == "full";
}

std::vector<std::string> WineImages() {
  std::vector<std::string> paths;
  if (!FullCorpus()) {
    for (const char* name :
         {"ntdll.dll", "msvcrt.dll", "user32.dll", "gdi32.dll", "comctl32.dll"}) {
      paths.push_back(WineDlls + "/" + name);
    }
    return paths;
  }
  for (const auto& entry : std::filesystem::directory_iterator(WineDlls)) {
    const std::string ext = entry.path().extension().string();
    if (entry.is_regular_file() &&
        (ext == ".dll" || ext == ".exe" || ext == ".drv" || ext == ".ocx")) {
      paths.push_back(entry.path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Every disagreement class must be explained in the test data.
void ExpectExplained(const TDiffFigures& figures) {
  const auto explained = LoadExplanations(Explanations);
  for (const auto& [key, count] : figures.Classes) {
    bool found = false;
    for (const auto& [pattern, reason] : explained) {
      found = found || fnmatch(pattern.c_str(), key.c_str(), 0) == 0;
    }
    EXPECT_TRUE(found) << "unexplained disagreement " << key << " x" << count << " e.g. "
                       << figures.Examples.at(key);
  }
}

TEST(X86Differential, WineDllsAgreeWhereZydisAndObjdumpAgree) {
  if (!std::filesystem::exists(WineDlls + "/ntdll.dll")) GTEST_SKIP() << "no 32-bit Wine DLLs";
  TDiffFigures total;
  for (const std::string& path : WineImages()) {
    TDiffFigures figures;
    std::string error;
    if (!DiffImage(path, true, figures, error)) continue;  // resource-only or odd files
    total.Add(figures);
  }
  std::cout << total.Summary("Wine DLLs");
  EXPECT_GT(total.OraclesAgree, 100000u);
  ExpectExplained(total);
}

TEST(X86Differential, OwnProgramAgrees) {
  const std::string exe = std::string(CORVAN_SOURCE_DIR) + "/build/win32/corvan.exe";
  if (!std::filesystem::exists(exe)) GTEST_SKIP() << "corvan.exe not built";
  TDiffFigures figures;
  std::string error;
  ASSERT_TRUE(DiffImage(exe, true, figures, error)) << error;
  std::cout << figures.Summary("corvan.exe");
  ExpectExplained(figures);
}

TEST(X86Differential, RandomBytesAtEveryOffset) {
  TDiffFigures figures;
  DiffRandom(20261209, FullCorpus() ? 4'000'000 : 200'000, figures);
  std::cout << figures.Summary("random bytes");
  // Random bytes hit every corner of the maps; the figures are reported,
  // and the share must stay high.
  EXPECT_GT(double(figures.Agree), 0.99 * double(figures.OraclesAgree));
  ExpectExplained(figures);
}

}  // namespace
}  // namespace corvan::crash::testing

namespace corvan::crash::testing {
namespace {

// Real compiled code: nearly every exported function of Wine's DLLs parses.
TEST(ParseFunctionOnWineDlls, ExportedFunctionsParse) {
  if (!std::filesystem::exists(WineDlls + "/ntdll.dll")) GTEST_SKIP() << "no 32-bit Wine DLLs";
  std::size_t parsed = 0, failed = 0;
  for (const char* name : {"ntdll.dll", "msvcrt.dll", "user32.dll"}) {
    TImageFileView view;
    std::string error;
    ASSERT_TRUE(view.Load(WineDlls + "/" + name, error)) << error;
    for (const auto& [address, exportName] : view.Exports()) {
      if (!ModuleCodeRange(view.Headers()).Contains(address)) continue;  // data exports
      TFunctionInfo info;
      ParseFunction(view, address, {}, info);
      if (info.Valid) {
        ++parsed;
        EXPECT_GT(info.CodeExtent, 0);
      } else {
        ++failed;
        if (failed < 10) std::cout << name << "!" << exportName << ": " << info.ErrorText << "\n";
      }
    }
  }
  std::cout << parsed << " parsed, " << failed << " failed\n";
  EXPECT_GT(parsed, 20 * failed);
}

}  // namespace
}  // namespace corvan::crash::testing

namespace corvan::crash::testing {
namespace {

// Our own program: every function the linker placed parses (the symbol
// table from nm is the outside truth for where functions begin).
TEST(ParseFunctionOnOwnProgram, EveryFunctionSymbolParses) {
  const std::string exe = std::string(CORVAN_SOURCE_DIR) + "/build/win32/corvan.exe";
  if (!std::filesystem::exists(exe)) GTEST_SKIP() << "corvan.exe not built";
  TImageFileView view;
  std::string error;
  ASSERT_TRUE(view.Load(exe, error)) << error;
  // The shipped program keeps its symbol table in its debug file.
  const std::string debug = std::string(CORVAN_SOURCE_DIR) + "/build/win32/corvan.debug";
  const std::string command = "i686-w64-mingw32-nm --defined-only '" + debug + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  char line[1024];
  std::size_t parsed = 0, failed = 0;
  const TAddressRange code = ModuleCodeRange(view.Headers());
  while (fgets(line, sizeof line, pipe.get())) {
    unsigned long address = 0;
    char type = 0;
    char name[900];
    if (std::sscanf(line, "%lx %c %899s", &address, &type, name) != 3 ||
        (type != 'T' && type != 't'))
      continue;
    if (!code.Contains(static_cast<Address>(address)) ||
        std::string(name).find(".") != std::string::npos)
      continue;
    TFunctionInfo info;
    ParseFunction(view, static_cast<Address>(address), {}, info);
    if (info.Valid) {
      ++parsed;
    } else if (++failed < 10) {
      std::cout << name << ": " << info.ErrorText << " at " << std::hex << info.ErrorAddress
                << std::dec << "\n";
    }
  }
  std::cout << parsed << " functions parsed, " << failed << " failed\n";
  EXPECT_GT(parsed, 1000u);
  EXPECT_GT(parsed, 50 * failed);
}

}  // namespace
}  // namespace corvan::crash::testing
