#include "mkmap/BreakpadSymbols.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace corvan::mkmap {
namespace {

TEST(BreakpadSymbols, IdentifierAndPathFollowTheCodeViewRecord) {
  // As ld writes it for `--build-id --pdb=build/t.pdb`; objdump -p shows
  // "signature a9f34df3de7919bbb53a4abb975b7485 age 1 pdb build/t.pdb".
  std::vector<std::uint8_t> record = {'R',  'S',  'D',  'S',  0xf3, 0x4d, 0xf3, 0xa9,
                                      0x79, 0xde, 0xbb, 0x19, 0xb5, 0x3a, 0x4a, 0xbb,
                                      0x97, 0x5b, 0x74, 0x85, 0x1a, 0,    0,    0};
  for (char c : std::string("build/t.pdb")) record.push_back(static_cast<std::uint8_t>(c));
  record.push_back(0);
  EXPECT_EQ(BreakpadIdentifier(record), "A9F34DF3DE7919BBB53A4ABB975B74851a");
  EXPECT_EQ(CodeViewDatabase(record), "t.pdb");
  EXPECT_EQ(SymbolFilePath("t.pdb", "ID1"), "t.pdb/ID1/t.sym");
  EXPECT_EQ(SymbolFilePath("t.debug", "ID1"), "t.debug/ID1/t.debug.sym");
  record[0] = 'N';  // an older record kind
  EXPECT_EQ(BreakpadIdentifier(record), "");
  EXPECT_EQ(CodeViewDatabase(record), "");
  EXPECT_EQ(BreakpadIdentifier(std::vector<std::uint8_t>{'R', 'S', 'D', 'S'}), "");
}

// objdump --dwarf=frames-interp of a mingw-w64 program, cut down: an FDE
// without instructions (its CIE's row holds), a frame-pointer prologue and
// epilogue, and a realigned frame whose address becomes an expression.
constexpr char kFrames[] = R"(
Contents of the .eh_frame section (loaded from t.exe):

00000000 00000014 00000000 CIE "zR" cf=1 df=-4 ra=8
   LOC   CFA      ra    
00000000 esp+4    c-4   

00000018 00000010 0000001c FDE cie=00000000 pc=00401000..00401001

0000002c 0000001c 00000030 FDE cie=00000000 pc=004014e0..0040157c
   LOC   CFA      ebp   ra    
004014e0 esp+4    u     c-4   
004014e1 esp+8    c-8   c-4   
004014e3 ebp+8    c-8   c-4   
0040157b esp+4    u     c-4   

00000068 00000058 0000006c FDE cie=00000000 pc=00401160..00401492
   LOC   CFA      ebx   ebp   ra    
00401160 esp+4    u     u     c-4   
00401164 ecx+0    u     exp   c-4   
00401178 exp      exp   exp   c-4   
004013b3 ecx+0    u     u     c-4   
)";

TEST(BreakpadSymbols, StackCfiFollowsTheUnwindTable) {
  EXPECT_EQ(StackCfiRecords(kFrames, 0x400000),
            "STACK CFI INIT 1000 1 .cfa: $esp 4 + .ra: .cfa -4 + ^\n"
            "STACK CFI INIT 14e0 9c .cfa: $esp 4 + .ra: .cfa -4 + ^\n"
            "STACK CFI 14e1 .cfa: $esp 8 + $ebp: .cfa -8 + ^\n"
            "STACK CFI 14e3 .cfa: $ebp 8 +\n"
            "STACK CFI 157b .cfa: $esp 4 + $ebp: $ebp\n"
            // Up to the expression only; the saved ebp has no form.
            "STACK CFI INIT 1160 18 .cfa: $esp 4 + .ra: .cfa -4 + ^\n"
            "STACK CFI 1164 .cfa: $ecx 0 +\n");
  EXPECT_EQ(StackCfiRecords("", 0x400000), "");
}

TEST(BreakpadSymbols, FunctionsKeepTheLinesOfTheirOwnFile) {
  SymbolModule module{"ID1", "t.pdb", "t.exe", "6B19C47E14000", 0x400000};
  const std::vector<SymbolFunction> functions = {
      {0x401000, 0x401020, "_ZN6corvan3RunEi"},
      {0x401020, 0x401030, "__mingw_helper"},
      {0x401030, 0x401040, "main"},
  };
  const std::vector<SymbolRow> rows = {
      {0x401000, 10, "/src/run.cpp"},
      {0x401004, 11, "/src/run.cpp"},
      {0x401008, 90, "/usr/include/c++/12/bits/stl_vector.h"},  // inlined
      {0x401010, 12, "/src/run.cpp"},
      {0x401010, 13, "/src/run.cpp"},  // the last row at an address holds
      {0x401030, 5, "/src/main.cpp"},
  };
  EXPECT_EQ(SymbolFileText(module, functions, rows, "STACK CFI INIT 1000 20 x\n"),
            "MODULE windows x86 ID1 t.pdb\n"
            "INFO CODE_ID 6B19C47E14000 t.exe\n"
            "FILE 0 /src/run.cpp\n"
            "FILE 1 /src/main.cpp\n"
            "FUNC 1000 20 0 corvan::Run(int)\n"
            "1000 4 10 0\n"
            "1004 c 11 0\n"
            "1010 10 13 0\n"
            "FUNC 1030 10 0 main\n"
            "1030 10 5 1\n"
            "PUBLIC 1020 0 __mingw_helper\n"
            "STACK CFI INIT 1000 20 x\n");
}

}  // namespace
}  // namespace corvan::mkmap
