#pragma once
// Opcode knowledge of the 32-bit x86 decoder: one flag word and one mnemonic
// per opcode of the one- and two-byte maps (x87, MMX, 3DNow!, SSE to SSE3),
// the x87/F6/F7 group rows and the 3DNow! suffixes. Pure data.
#include <array>
#include <cstdint>
#include <string_view>

namespace corvan::crash {

// Flag word layout.
namespace opflag {
// bits 0-2: kind of the register operand
constexpr std::uint16_t RegMask = 0x0007;
enum RegKind : std::uint16_t {
  RegNone = 0,
  RegByte = 1,
  RegWord = 2,
  RegSegOrCtl = 3,
  RegDword = 4,
  RegMmx = 5,
  RegSt = 6,
  RegXmm = 7,
  // without a ModRM byte
  ImplAl = 1,
  ImplEax = 2,
  OpByteReg = 4,
  OpDwordReg = 5,
  EaxAndOpReg = 6,
  AccAndDx = 7,
};
// bits 3-5: ModRM and the size of the r/m operand
constexpr std::uint16_t RmMask = 0x0038;
constexpr std::uint16_t RmNone = 0x00, RmGroup = 0x08, RmByte = 0x10, RmWord = 0x18, RmDword = 0x20,
                        RmQword = 0x28, RmTbyte = 0x30, RmOword = 0x38;
constexpr std::uint16_t OpSizeReg = 0x0040;  // 0x66 changes the register operand
constexpr std::uint16_t OpSizeRm = 0x0080;   // 0x66 changes the r/m operand
constexpr std::uint16_t ShowSize = 0x0100;   // "size ptr", or moffs immediate
constexpr std::uint16_t Swap = 0x0200;       // r/m before register
constexpr std::uint16_t ImmMask = 0x0C00;
constexpr std::uint16_t ImmNone = 0x000, ImmByte = 0x400, ImmWord = 0x800, ImmOpSize = 0xC00;
constexpr std::uint16_t Relative = 0x1000;
// bits 13-15: registers written
constexpr std::uint16_t WriteMask = 0xE000;
constexpr std::uint16_t WriteReg = 0x2000, WriteRm = 0x4000, WriteOpReg = 0x6000, WriteEax = 0x8000,
                        WriteRegRm = 0xA000, WriteEaxRm = 0xC000, WriteEaxOpReg = 0xE000;
constexpr std::uint16_t Invalid = 0xFFFF;
}  // namespace opflag

extern const std::array<std::uint16_t, 256> OneByteFlags;
extern const std::array<std::uint16_t, 256> TwoByteFlags;

// Rows for opcodes whose meaning depends on ModRM.reg: word 0 the opcode,
// 1-8 memory operand reg 0-7, 9-16 register operand reg 0-7.
using GroupRow = std::array<std::uint16_t, 17>;
extern const std::array<GroupRow, 10> GroupFlags;

// Bit (suffix - 8) set for each valid 3DNow! suffix 8..191.
extern const std::array<std::uint32_t, 6> ThreeDNowSuffixes;
bool IsThreeDNowSuffix(std::uint8_t suffix);

// Mnemonics: 1-based index into MnemonicText (0 = none). Entries carry
// variants: "/" by prefix (none, 66, F2, F3), "|" by ModRM.reg (16 forms:
// memory then register), "-" by ModRM.rm, ":" register form before memory
// form, "%cc" condition, "%seg" segment register, "S" and "P" by prefix.
extern const std::array<std::uint8_t, 256> OneByteMnemonic;
extern const std::array<std::uint8_t, 256> TwoByteMnemonic;
std::string_view MnemonicEntry(unsigned index);
unsigned MnemonicCount();

extern const std::array<std::string_view, 16> ConditionNames;
// [size][register]: 0 byte, 1 word, 2 segment, 3 dword.
extern const std::array<std::array<std::string_view, 8>, 4> RegisterNames;
std::string_view ThreeDNowName(std::uint8_t suffix);

}  // namespace corvan::crash
