#include <gtest/gtest.h>

#include <map>

#include "crash/analysis/x86/DisAsmText.h"

namespace corvan::crash {
namespace {

constexpr Address Module = 0x10001000;

std::map<Address, std::string>& Names() {
  static std::map<Address, std::string> names;
  return names;
}
std::string NameLookup(Address address) {
  auto it = Names().find(address);
  return it == Names().end() ? std::string() : it->second;
}

// Source lines: one per 4 bytes from line 100 on, for the line-number column.
void LineLookup(Address address, int& line, Address& rangeStart, Address& rangeEnd) {
  line = 100 + static_cast<int>((address - Module) / 4);
  rangeStart = address & ~3u;
  rangeEnd = rangeStart + 4;
}

TListingSymbols Symbols(bool withLines = false) {
  TListingSymbols symbols;
  symbols.SymbolNameAt = NameLookup;
  if (withLines) symbols.LineNumberAt = LineLookup;
  symbols.OwnModuleBase = Module;
  return symbols;
}

std::string Line(std::vector<std::uint8_t> bytes, Address at = Module + 0x100) {
  TBlockMemoryView view;
  view.Add(at, std::move(bytes));
  InstructionInfo info;
  return DisassembleInstruction(view, at, nullptr, info, false, Symbols());
}

// The example listing: Session.StartSession calls Session.Launch.
class ListingExample : public ::testing::Test {
 protected:
  void SetUp() override {
    Names() = {{0x10001a10, "Session.StartSession"}, {0x10001000, "Session.Launch"}};
    std::vector<std::uint8_t> image(0x1000, 0xCC);
    const std::vector<std::uint8_t> code = {0x55, 0x8B, 0xEC, 0x8B, 0x45, 0x08, 0xE8,
                                            0xE5, 0xF5, 0xFF, 0xFF, 0x5D, 0xC3};
    std::copy(code.begin(), code.end(), image.begin() + 0xA10);
    image[0] = 0xC3;
    view.Add(Module, image);
  }
  TBlockMemoryView view;
  TFunctionInfo info;
};

TEST_F(ListingExample, MatchesTheGoldenText) {
  const std::string text =
      DisassembleFunction(view, 0x10001a10, 0x10001a13, info, false, 5, {}, Symbols());
  EXPECT_EQ(text,
            "10001a10 public Session.StartSession:     ; function entry point\r\n"
            "10001a10   push    ebp\r\n"
            "10001a11   mov     ebp, esp\r\n"
            "10001a13 > mov     eax, [ebp+8]\r\n"
            "10001a16   call    -$a1b ($10001000)      ; Session.Launch\r\n"
            "10001a1b   pop     ebp\r\n"
            "10001a1c   ret");
}

TEST_F(ListingExample, FormattedLayoutAndLineNumbers) {
  const std::string text =
      DisassembleFunction(view, 0x10001a10, 0x10001a10, info, true, 0, {}, Symbols(true));
  // Lines 100 + offset/4: the function spans lines 744..747 (3 digits).
  EXPECT_EQ(text,
            "10001a10     public Session.StartSession:     ; function entry point\r\n"
            "10001a10 744 > push    ebp\r\n"
            "10001a11       mov     ebp, esp\r\n"
            "10001a13       mov     eax, [ebp+8]\r\n"
            "10001a16 745   call    -$a1b ($10001000)      ; Session.Launch\r\n"
            "10001a1b 746\r\n"
            "10001a1b       pop     ebp\r\n"
            "10001a1c 747   ret");
}

TEST_F(ListingExample, UnparsableFunctionGivesEmptyText) {
  EXPECT_EQ(DisassembleFunction(view, 0x20000000, 0x20000000, info, false, 5, {}, Symbols()), "");
  EXPECT_FALSE(info.Valid);
}

TEST(DisassembleInstruction, MnemonicsAndOperands) {
  EXPECT_EQ(Line({0x0F, 0x0F, 0xC1, 0x0C}), "10001100   pi2fw   mm0, mm1");
  EXPECT_EQ(Line({0xD9, 0xC1}), "10001100   fld     st(1)");
  EXPECT_EQ(Line({0xD9, 0xC0}), "10001100   fld     st");
  EXPECT_EQ(Line({0x66, 0x0F, 0x6C, 0xC1}), "10001100   punpcklqdq xmm0, xmm1");
  EXPECT_EQ(Line({0xDC, 0xC1}), "10001100   fadd    st(1), st");
  EXPECT_EQ(Line({0xF3, 0xA5}), "10001100   rep movsd");
  EXPECT_EQ(Line({0x66, 0xA5}), "10001100   movsw");
  EXPECT_EQ(Line({0xF0, 0x0F, 0xC1, 0x0A}), "10001100   lock xadd [edx], ecx");
  EXPECT_EQ(Line({0x64, 0xA1, 0x18, 0, 0, 0}), "10001100   mov     eax, fs:[$18]");
  EXPECT_EQ(Line({0xA3, 0x00, 0x20, 0x40, 0x00}), "10001100   mov     [$402000], eax");
  EXPECT_EQ(Line({0x83, 0xEC, 0xF0}), "10001100   sub     esp, -$10");
  EXPECT_EQ(Line({0x83, 0xC4, 0x08}), "10001100   add     esp, 8");
  EXPECT_EQ(Line({0x6A, 0xFF}), "10001100   push    $ffffffff");
  EXPECT_EQ(Line({0xC7, 0x44, 0x24, 0x04, 0x10, 0, 0, 0}),
            "10001100   mov     dword ptr [esp+4], $10");
  EXPECT_EQ(Line({0x8B, 0x04, 0x8D, 0x00, 0x20, 0x40, 0x00}),
            "10001100   mov     eax, [ecx*4+$402000]");
  EXPECT_EQ(Line({0x8B, 0x45, 0xF0}), "10001100   mov     eax, [ebp-$10]");
  EXPECT_EQ(Line({0x0F, 0xB6, 0x06}), "10001100   movzx   eax, byte ptr [esi]");
  EXPECT_EQ(Line({0xD1, 0xE0}), "10001100   shl     eax, 1");
  EXPECT_EQ(Line({0xD3, 0xE8}), "10001100   shr     eax, cl");
  EXPECT_EQ(Line({0xE6, 0x80}), "10001100   out     $80, al");
  EXPECT_EQ(Line({0xEC}), "10001100   in      al, dx");
  EXPECT_EQ(Line({0xEF}), "10001100   out     dx, eax");
  EXPECT_EQ(Line({0x91}), "10001100   xchg    eax, ecx");
  EXPECT_EQ(Line({0x06}), "10001100   push    es");
  EXPECT_EQ(Line({0x0F, 0xA1}), "10001100   pop     fs");
  EXPECT_EQ(Line({0xC8, 0x10, 0x00, 0x01}), "10001100   enter   $10, $1");
  EXPECT_EQ(Line({0x9A, 0x78, 0x56, 0x34, 0x12, 0x1B, 0x00}), "10001100   call    $1b:$12345678");
  EXPECT_EQ(Line({0xD4, 0x0A}), "10001100   aam");
  EXPECT_EQ(Line({0xD4, 0x10}), "10001100   aam     $10");
  EXPECT_EQ(Line({0x0F, 0x58, 0xC1}), "10001100   addps   xmm0, xmm1");
  EXPECT_EQ(Line({0xF2, 0x0F, 0x58, 0xC1}), "10001100   addsd   xmm0, xmm1");
  EXPECT_EQ(Line({0x0F, 0x12, 0xC1}), "10001100   movhlps xmm0, xmm1");
  EXPECT_EQ(Line({0x0F, 0x12, 0x00}), "10001100   movlps  xmm0, [eax]");
  EXPECT_EQ(Line({0x0F, 0x95, 0xC0}), "10001100   setnz   al");
  EXPECT_EQ(Line({0x0F, 0x20, 0xC0}), "10001100   mov     eax, cr0");
  EXPECT_EQ(Line({0xDF, 0xE0}), "10001100   fnstsw  ax");
  EXPECT_EQ(Line({0xD9, 0xE8}), "10001100   fld1");
  EXPECT_EQ(Line({0xDD, 0x1C, 0x24}), "10001100   fstp    qword ptr [esp]");
  EXPECT_EQ(Line({0x74, 0x10}), "10001100   jz      +$10 ($10001112)");
  EXPECT_EQ(Line({0x74, 0x02}), "10001100   jz      +2 ($10001104)");
  EXPECT_EQ(Line({0x67, 0xE3, 0x02}), "10001100   jcxz    +2 ($10001105)");
  EXPECT_EQ(Line({0x66, 0x0F, 0x2E, 0xC1}), "10001100   ucomisd xmm0, xmm1");
  EXPECT_EQ(Line({0x0F, 0xAE, 0xF0}), "10001100   mfence");
  EXPECT_EQ(Line({0x0F, 0xAE, 0x38}), "10001100   clflush [eax]");
  EXPECT_EQ(Line({0x0F, 0x01, 0xC8}), "10001100   monitor");
  EXPECT_EQ(Line({0x0F, 0x9F, 0x42, 0xFC}), "10001100   setg    byte ptr [edx-4]");
}

TEST(DisassembleInstruction, InvalidBytesAndNothing) {
  EXPECT_EQ(Line({0x0F, 0x04}), "10001100   db $0f\r\n10001101   db $04");
  TBlockMemoryView empty;
  InstructionInfo info;
  EXPECT_EQ(DisassembleInstruction(empty, 0x1000, nullptr, info, false, Symbols()), "");
}

TEST(DisassembleInstruction, PointerComments) {
  // An image with headers so the pointer range is known: MZ at the base,
  // PE header at 0x40, SizeOfImage 0x2000.
  std::vector<std::uint8_t> image(0x2000, 0);
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40;
  image[0x40] = 'P';
  image[0x41] = 'E';
  image[0x44 + 16] = 0xE0;  // SizeOfOptionalHeader
  image[0x58] = 0x0B;       // magic 0x10B
  image[0x59] = 0x01;
  image[0x58 + 56 + 1] = 0x20;             // SizeOfImage = 0x2000
  const std::string text = "Hello World";  // eleven letters and spaces
  std::copy(text.begin(), text.end(), image.begin() + 0x1000);
  const std::string junk = "!!##$$%%&&";
  std::copy(junk.begin(), junk.end(), image.begin() + 0x1100);
  const std::vector<std::uint8_t> code = {0xB8, 0x00, 0x10, 0x00, 0x10,   // mov eax, 0x10001000
                                          0xB8, 0x00, 0x11, 0x00, 0x10};  // mov eax, 0x10001100
  std::copy(code.begin(), code.end(), image.begin() + 0x200);
  TBlockMemoryView view;
  view.Add(0x10000000, image);
  InstructionInfo info;
  Names().clear();
  EXPECT_EQ(DisassembleInstruction(view, 0x10000200, nullptr, info, false, Symbols()),
            "10000200   mov     eax, $10001000         ; 'Hello World'");
  EXPECT_EQ(DisassembleInstruction(view, 0x10000205, nullptr, info, false, Symbols()),
            "10000205   mov     eax, $10001100");
}

// A function with several areas for the label, formatting and limit rules:
// entry: xor eax,eax / L1: inc eax / cmp eax, 10 / jnz L1 / call self / ret
class LoopListing : public ::testing::Test {
 protected:
  void SetUp() override {
    Names() = {{Module, "Unit.Loop"}};
    std::vector<std::uint8_t> code = {0x31, 0xC0,                    // 00 xor eax, eax
                                      0x40,                          // 02 inc eax
                                      0x83, 0xF8, 0x0A,              // 03 cmp eax, 10
                                      0x75, 0xFA,                    // 06 jnz 02
                                      0xE8, 0xF3, 0xFF, 0xFF, 0xFF,  // 08 call 00
                                      0xC3};                         // 0d ret
    view.Add(Module, code);
  }
  TBlockMemoryView view;
  TFunctionInfo info;
};

TEST_F(LoopListing, LabelsForOwnAreasAndSeparators) {
  const std::string text =
      DisassembleFunction(view, Module, Module + 0x0d, info, true, 0, {}, Symbols());
  EXPECT_EQ(text,
            "10001000 public Unit.Loop:                ; function entry point\r\n"
            "10001000   xor     eax, eax\r\n"
            "10001002\r\n"
            "10001002 loc_10001002:\r\n"
            "10001002   inc     eax\r\n"
            "10001003   cmp     eax, $a\r\n"
            "10001006   jnz     loc_10001002\r\n"
            "10001008\r\n"
            "10001008   call    Unit.Loop\r\n"
            "1000100d\r\n"
            "1000100d > ret");
}

TEST_F(LoopListing, LineLimitCutsAroundTheMark) {
  // Unformatted: 7 lines (label + 6 instructions); mark the 3rd instruction
  // (line 4) with a limit of 1: 3 lines before it, more than 1*12/10: cut
  // before, 1 line after.
  const std::string text =
      DisassembleFunction(view, Module, Module + 3, info, false, 1, {}, Symbols());
  EXPECT_EQ(text,
            "[...]\r\n"
            "10001002   inc     eax\r\n"
            "10001003 > cmp     eax, $a\r\n"
            "10001006   jnz     loc_10001002\r\n"
            "[...]");
  // Limit 5 at line 4: nothing before is cut.
  const std::string all =
      DisassembleFunction(view, Module, Module + 3, info, false, 5, {}, Symbols());
  EXPECT_EQ(all.rfind("10001000 public", 0), 0u);
  EXPECT_EQ(all.find("[...]"), std::string::npos);
  EXPECT_EQ(DisassembleFunction(view, Module, Module + 3, info, false, 0, {}, Symbols()), all);
}

}  // namespace
}  // namespace corvan::crash

namespace corvan::crash {
namespace {

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(ListingTables, HandlerTableWithClassNames) {
  Names() = {{Module, "Unit.Guarded"}};
  std::vector<std::uint8_t> image(0x1000, 0xC3);
  TRuntimeRoutines routines;
  routines.OnHandler = Module + 0x800;
  image[0] = 0xE8;
  Put32(image, 1, routines.OnHandler - (Module + 5));
  Put32(image, 5, 2);               // two entries
  Put32(image, 9, Module + 0x400);  // class reference
  Put32(image, 13, Module + 0x21);
  Put32(image, 17, 0);  // else
  Put32(image, 21, Module + 0x22);
  Put32(image, 0x400 - 44, Module + 0x300);
  const std::string name =
      "\x08"
      "EMyError";
  std::copy(name.begin(), name.end(), image.begin() + 0x300);
  TBlockMemoryView view;
  view.Add(Module, image);
  TFunctionInfo info;
  const std::string text =
      DisassembleFunction(view, Module, Module + 0x21, info, true, 0, routines, Symbols());
  EXPECT_EQ(text,
            "10001000 public Unit.Guarded:             ; function entry point\r\n"
            "10001000   call    +$7fb ($10001800)\r\n"
            "10001005\r\n"
            "10001009   on EMyError do loc_10001021\r\n"
            "10001011   else           loc_10001022\r\n"
            "10001019\r\n"
            "10001019 ; ---------------------------------------------------------\r\n"
            "10001019\r\n"
            "10001021 > ret\r\n"
            "10001022\r\n"
            "10001022 ; ---------------------------------------------------------\r\n"
            "10001022\r\n"
            "10001022   ret");
}

TEST(ListingTables, CaseTableEntries) {
  Names() = {};
  std::vector<std::uint8_t> code = {0x83, 0xF8, 0x01, 0x77, 0x00, 0xFF, 0x24, 0x85, 0, 0, 0, 0};
  Put32(code, 8, Module + 12);
  code.resize(12 + 8 + 2, 0xC3);
  Put32(code, 12, Module + 20);
  Put32(code, 16, Module + 21);
  code[4] = 21 - 5;  // ja to the second arm
  TBlockMemoryView view;
  view.Add(Module, code);
  TFunctionInfo info;
  const std::string text = DisassembleFunction(view, Module, Module, info, false, 0, {}, Symbols());
  EXPECT_EQ(text,
            "10001000 sub_10001000:                    ; function entry point\r\n"
            "10001000 > cmp     eax, 1\r\n"
            "10001003   ja      loc_10001015\r\n"
            "10001005   jmp     dword ptr [eax*4+$1000100c]\r\n"
            "1000100c   dd loc_10001014                ; case jump table\r\n"
            "10001010   dd loc_10001015\r\n"
            "10001014   ret\r\n"
            "10001015   ret");
}

TEST(ListingTables, LimitOfFiveAroundLineSevenAndLineTwenty) {
  Names() = {};
  std::vector<std::uint8_t> nops(30, 0x90);
  nops.push_back(0xC3);
  TBlockMemoryView view;
  view.Add(Module, nops);
  TFunctionInfo info;
  // Line 1 is the label, so the instruction at offset k is line k + 2.
  const std::string seven =
      DisassembleFunction(view, Module, Module + 5, info, false, 5, {}, Symbols());
  EXPECT_EQ(seven.rfind("10001000 sub_10001000:", 0), 0u)
      << "6 lines before line 7 are not above 6: nothing cut\n"
      << seven;
  EXPECT_EQ(seven.substr(seven.size() - 5), "[...]");
  const std::string twenty =
      DisassembleFunction(view, Module, Module + 18, info, false, 5, {}, Symbols());
  EXPECT_EQ(twenty.rfind("[...]\r\n1000100d   nop", 0), 0u) << twenty;
  EXPECT_NE(twenty.find("10001012 > nop"), std::string::npos);
  EXPECT_NE(twenty.find("10001017   nop\r\n[...]"), std::string::npos);
}

}  // namespace
}  // namespace corvan::crash

namespace corvan::crash {
namespace {

// The middle of the function (bytes 1 to 3) has no source line.
void LinesAround(Address address, int& line, Address& rangeStart, Address& rangeEnd) {
  line = address < Module + 1 ? 7 : address < Module + 4 ? 0 : 9;
  rangeStart = address;
  rangeEnd = address + 1;
}

class PushListing : public ::testing::Test {
 protected:
  void SetUp() override {
    Names() = {{Module, "Unit.Push"}};
    view.Add(Module, {0x55,              // 00 push ebp
                      0xFF, 0x75, 0x08,  // 01 push dword ptr [ebp+8]: FF /6, no jump
                      0x5D,              // 04 pop ebp
                      0xC3});            // 05 ret
  }
  TBlockMemoryView view;
  TFunctionInfo info;
};

TEST_F(PushListing, IndirectPushIsNoJump) {
  const std::string text =
      DisassembleFunction(view, Module, Module + 5, info, true, 0, {}, Symbols());
  EXPECT_EQ(text,
            "10001000 public Unit.Push:                ; function entry point\r\n"
            "10001000   push    ebp\r\n"
            "10001001   push    dword ptr [ebp+8]\r\n"
            "10001004   pop     ebp\r\n"
            "10001005 > ret");
}

TEST_F(PushListing, UnknownLinesLeaveTheNumberOut) {
  TListingSymbols symbols = Symbols();
  symbols.LineNumberAt = LinesAround;
  const std::string text =
      DisassembleFunction(view, Module, Module + 5, info, false, 0, {}, symbols);
  EXPECT_EQ(text,
            "10001000   public Unit.Push:                ; function entry point\r\n"
            "10001000 7   push    ebp\r\n"
            "10001001     push    dword ptr [ebp+8]\r\n"
            "10001004 9   pop     ebp\r\n"
            "10001005   > ret");
}

}  // namespace
}  // namespace corvan::crash
