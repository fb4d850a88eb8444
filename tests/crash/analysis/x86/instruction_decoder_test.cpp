#include <gtest/gtest.h>

#include "crash/analysis/x86/InstructionDecoder.h"
#include "crash/analysis/x86/OpcodeTables.h"

namespace corvan::crash {
namespace {

constexpr Address Code = 0x00401000;

struct Decoded {
  InstructionInfo Info;
  TDecodedParts Parts;
};

Decoded Decode(std::vector<std::uint8_t> bytes, RegisterState* regs = nullptr,
               const TBlockMemoryView* extra = nullptr) {
  TBlockMemoryView view;
  if (extra) view = *extra;
  view.Add(Code, std::move(bytes));
  Decoded d;
  DecodeInstruction(view, Code, regs, regs != nullptr, d.Info, &d.Parts);
  return d;
}

unsigned Length(const Decoded& d) { return d.Info.After - d.Info.Start; }

TEST(OpcodeTables, TellingRowsAndGroupRows) {
  EXPECT_EQ(OneByteFlags[0x00], 0x4211);
  EXPECT_EQ(OneByteFlags[0x8B], 0x20E4);
  EXPECT_EQ(OneByteFlags[0xE8], 0x1C00);
  for (int op = 0x70; op <= 0x7F; ++op) EXPECT_EQ(OneByteFlags[op], 0x1400);
  for (int op = 0xB8; op <= 0xBF; ++op) EXPECT_EQ(OneByteFlags[op], 0x6C45);
  EXPECT_EQ(OneByteFlags[0xFE], 0x4110);
  EXPECT_EQ(OneByteFlags[0xFF], 0x01A0);
  for (int op = 0x80; op <= 0x8F; ++op) EXPECT_EQ(TwoByteFlags[op], 0x1C00);
  for (int op : {0x04, 0x0A, 0x0C, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E})
    EXPECT_EQ(TwoByteFlags[op], 0xFFFF);
  EXPECT_EQ(GroupFlags[0][0], 0xF6);
  EXPECT_EQ(GroupFlags[9][0], 0xDF);
  EXPECT_EQ(MnemonicEntry(OneByteMnemonic[0x37]), "aaa");
  int valid = 0;
  for (int s = 0; s < 256; ++s) valid += IsThreeDNowSuffix(static_cast<std::uint8_t>(s));
  EXPECT_EQ(valid, 24);
}

TEST(DecodeInstruction, LengthsOfCommonForms) {
  EXPECT_EQ(Length(Decode({0x55})), 1u);                          // push ebp
  EXPECT_EQ(Length(Decode({0x8B, 0xEC})), 2u);                    // mov ebp, esp
  EXPECT_EQ(Length(Decode({0x8B, 0x45, 0x08})), 3u);              // mov eax, [ebp+8]
  EXPECT_EQ(Length(Decode({0x8B, 0x04, 0x85, 1, 2, 3, 4})), 7u);  // mov eax, [eax*4+disp32]
  EXPECT_EQ(Length(Decode({0x66, 0xC7, 0x00, 0x34, 0x12})), 5u);  // mov word ptr [eax], imm16
  EXPECT_EQ(Length(Decode({0x67, 0x8B, 0x46, 0x10})), 4u);        // 16-bit [bp+16]
  EXPECT_EQ(Length(Decode({0x67, 0x8B, 0x06, 0x34, 0x12})), 5u);  // 16-bit [disp16]
  EXPECT_EQ(Length(Decode({0xA1, 1, 2, 3, 4})), 5u);              // mov eax, moffs32
  EXPECT_EQ(Length(Decode({0x67, 0xA1, 1, 2})), 4u);              // moffs16
  EXPECT_EQ(Length(Decode({0x9A, 1, 2, 3, 4, 5, 6})), 7u);        // call far ptr16:32
  EXPECT_EQ(Length(Decode({0xC8, 0x10, 0x00, 0x01})), 4u);        // enter
  EXPECT_EQ(Length(Decode({0xF6, 0x00, 0x7F})), 3u);              // test byte ptr [eax], imm8
  EXPECT_EQ(Length(Decode({0xF6, 0x10})), 2u);                    // not byte ptr [eax]
  EXPECT_EQ(Length(Decode({0x0F, 0x1F, 0x44, 0x00, 0x00})), 5u);  // multi-byte nop
  EXPECT_TRUE(Decode({0x0F, 0x0B}).Info.Valid);                   // ud2
}

TEST(DecodeInstruction, NoInstructionIsLongerThanFifteenBytes) {
  std::vector<std::uint8_t> bytes(15, 0x66);
  bytes.back() = 0x90;  // 15 bytes: valid
  EXPECT_TRUE(Decode(bytes).Info.Valid);
  bytes.assign(16, 0x66);
  bytes.back() = 0x90;  // 16 bytes
  const Decoded d = Decode(bytes);
  EXPECT_FALSE(d.Info.Valid);
  EXPECT_LE(Length(d), MaxInstructionLength);
  // A 15-byte limit also applies when the operands push it over.
  const std::vector<std::uint8_t> longMov = {0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E,
                                             0x3E, 0x3E, 0x3E, 0xC7, 0x05, 1,    2,
                                             3,    4,    5,    6,    7,    8};
  EXPECT_FALSE(Decode(longMov).Info.Valid);
}

TEST(DecodeInstruction, TruncatedInstructionIsInvalidWhereReadingStopped) {
  const Decoded d = Decode({0xE8, 0x00, 0x00});
  EXPECT_FALSE(d.Info.Valid);
  EXPECT_EQ(d.Info.After, Code + 1);
}

TEST(DecodeInstruction, RelativeTransfers) {
  const Decoded call = Decode({0xE8, 0x10, 0x00, 0x00, 0x00});
  EXPECT_TRUE(call.Info.IsCall);
  EXPECT_TRUE(call.Info.IsRelative);
  EXPECT_EQ(call.Info.Destination, Code + 5 + 0x10);
  EXPECT_EQ(call.Info.DestinationField, Code + 1);
  EXPECT_EQ(call.Info.DestinationSize, 4);
  EXPECT_TRUE(call.Info.CanWiden);
  const Decoded jz = Decode({0x74, 0xFE});
  EXPECT_TRUE(jz.Info.IsJump);
  EXPECT_EQ(jz.Info.Destination, Code);
  EXPECT_EQ(jz.Info.DestinationSize, 1);
  const Decoded loop = Decode({0xE2, 0x05});
  EXPECT_TRUE(loop.Info.IsJump);
  EXPECT_FALSE(loop.Info.CanWiden);
  const Decoded jcc32 = Decode({0x0F, 0x85, 0x00, 0x01, 0x00, 0x00});
  EXPECT_EQ(jcc32.Info.OpValue, 0x0F85);
  EXPECT_EQ(jcc32.Info.Destination, Code + 6 + 0x100);
}

TEST(DecodeInstruction, CallToTheNextInstructionIsNoTransfer) {
  const Decoded d = Decode({0xE8, 0x00, 0x00, 0x00, 0x00});
  EXPECT_TRUE(d.Info.Valid);
  EXPECT_FALSE(d.Info.IsCall);
  EXPECT_EQ(d.Info.Destination, 0u);
  EXPECT_EQ(d.Info.DestinationField, 0u);
  EXPECT_FALSE(d.Info.CanWiden);
}

TEST(DecodeInstruction, CallThroughCell) {
  TBlockMemoryView cells;
  cells.Add(0x00500000, {0x78, 0x56, 0x34, 0x12});
  const Decoded ok = Decode({0xFF, 0x15, 0x00, 0x00, 0x50, 0x00}, nullptr, &cells);
  EXPECT_TRUE(ok.Info.Valid);
  EXPECT_TRUE(ok.Info.IsCall);
  EXPECT_EQ(ok.Info.Destination, 0x12345678u);
  EXPECT_EQ(ok.Info.DestinationCell, Code + 2);
  EXPECT_EQ(ok.Info.DestinationSize, 4);
  // An unreadable cell makes the instruction invalid although it decodes.
  const Decoded bad = Decode({0xFF, 0x15, 0x00, 0x00, 0x60, 0x00}, nullptr, &cells);
  EXPECT_FALSE(bad.Info.Valid);
  EXPECT_EQ(Length(bad), 6u);
}

TEST(DecodeInstruction, PrefixSelectedAndFormRules) {
  EXPECT_TRUE(Decode({0x66, 0x0F, 0x6C, 0xC1}).Info.Valid);  // punpcklqdq
  EXPECT_FALSE(Decode({0x0F, 0x6C, 0xC1}).Info.Valid);
  EXPECT_TRUE(Decode({0x0F, 0x0F, 0xC1, 0x0C}).Info.Valid);  // pi2fw
  EXPECT_FALSE(Decode({0x0F, 0x0F, 0xC1, 0x0E}).Info.Valid);
  EXPECT_FALSE(Decode({0xDB, 0xE5}).Info.Valid);
  EXPECT_TRUE(Decode({0xDB, 0xE8}).Info.Valid);  // fucomi
  EXPECT_TRUE(Decode({0xFF, 0x18}).Info.Valid);  // call far [eax]
  EXPECT_FALSE(Decode({0xFF, 0xD8}).Info.Valid);
  EXPECT_FALSE(Decode({0xFF, 0xF8}).Info.Valid);              // FF /7
  EXPECT_FALSE(Decode({0x8D, 0xC0}).Info.Valid);              // lea with a register
  EXPECT_FALSE(Decode({0x8F, 0xC8}).Info.Valid);              // 8F /1 does not exist
  EXPECT_FALSE(Decode({0xC7, 0xC8, 0, 0, 0, 0}).Info.Valid);  // C7 /1 does not exist
  EXPECT_FALSE(Decode({0x0F, 0x01, 0xF8}).Info.Valid);        // no invlpg with a register
  EXPECT_FALSE(Decode({0x0F, 0xC7, 0x00}).Info.Valid);        // 0F C7 /0
  EXPECT_TRUE(Decode({0x0F, 0xC7, 0x08}).Info.Valid);         // cmpxchg8b [eax]
  EXPECT_FALSE(Decode({0x0F, 0x38, 0x00, 0xC1}).Info.Valid);  // three-byte map
  EXPECT_FALSE(Decode({0xC5, 0xF8, 0x77}).Info.Valid);        // VEX (lds with a register)
}

TEST(DecodeInstruction, RegisterModelResolvesCallThroughRegister) {
  TBlockMemoryView view;
  // mov eax, 0x00401100 / cdq / call eax
  view.Add(Code, {0xB8, 0x00, 0x11, 0x40, 0x00, 0x99, 0xFF, 0xD0});
  RegisterState regs{};
  InstructionInfo info;
  ASSERT_TRUE(DecodeInstruction(view, Code, &regs, true, info));
  EXPECT_EQ(regs[Eax], Code + 1);
  ASSERT_TRUE(DecodeInstruction(view, Code + 5, &regs, true, info));
  EXPECT_EQ(regs[Eax], Code + 1) << "cdq writes edx only";
  ASSERT_TRUE(DecodeInstruction(view, Code + 6, &regs, true, info));
  EXPECT_TRUE(info.IsCall);
  EXPECT_EQ(info.Destination, 0x00401100u);
  EXPECT_EQ(info.DestinationField, Code + 1);
  EXPECT_EQ(info.DestinationSize, 4);

  // xchg eax, ecx loses it
  TBlockMemoryView view2;
  view2.Add(Code, {0xB8, 0x00, 0x11, 0x40, 0x00, 0x91, 0xFF, 0xD0});
  regs = {};
  DecodeInstruction(view2, Code, &regs, true, info);
  DecodeInstruction(view2, Code + 5, &regs, true, info);
  EXPECT_EQ(regs[Eax], 0u);
  EXPECT_EQ(regs[Ecx], 0u);
  DecodeInstruction(view2, Code + 6, &regs, true, info);
  EXPECT_TRUE(info.IsCall);
  EXPECT_EQ(info.Destination, 0u);
}

TEST(DecodeInstruction, RegisterModelCallThroughRegisterCell) {
  TBlockMemoryView view;
  // mov esi, 0x00500000 / call [esi]
  view.Add(Code, {0xBE, 0x00, 0x00, 0x50, 0x00, 0xFF, 0x16});
  view.Add(0x00500000, {0x44, 0x33, 0x22, 0x11});
  RegisterState regs{};
  InstructionInfo info;
  DecodeInstruction(view, Code, &regs, true, info);
  ASSERT_TRUE(DecodeInstruction(view, Code + 5, &regs, true, info));
  EXPECT_EQ(info.Destination, 0x11223344u);
  EXPECT_EQ(info.DestinationCell, Code + 1);
  EXPECT_EQ(info.DestinationField, 0u);
}

TEST(DecodeInstruction, ByteRegisterWritesForgetTheFullRegister) {
  TBlockMemoryView view;
  // mov eax, imm32 / mov ah, 1
  view.Add(Code, {0xB8, 1, 2, 3, 4, 0xB4, 0x01});
  RegisterState regs{};
  regs[Esp] = 0x1234;
  InstructionInfo info;
  DecodeInstruction(view, Code, &regs, true, info);
  DecodeInstruction(view, Code + 5, &regs, true, info);
  EXPECT_EQ(regs[Eax], 0u);
  EXPECT_EQ(regs[Esp], 0x1234u);
}

TEST(DecodeInstruction, RepPrefixForgetsEcx) {
  TBlockMemoryView view;
  view.Add(Code, {0xF3, 0xA5});  // rep movsd
  RegisterState regs{};
  regs.fill(0x100);
  InstructionInfo info;
  DecodeInstruction(view, Code, &regs, true, info);
  EXPECT_EQ(regs[Ecx], 0u);
  EXPECT_EQ(regs[Esi], 0u);
  EXPECT_EQ(regs[Edi], 0u);
  EXPECT_EQ(regs[Eax], 0x100u);
}

}  // namespace
}  // namespace corvan::crash
