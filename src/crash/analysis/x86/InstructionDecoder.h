#pragma once
// Decoding of one 32-bit x86 instruction (one- and two-byte maps with x87,
// MMX, 3DNow!, SSE to SSE3): length, validity, control transfer and target,
// and a small model of constant-loaded general registers.
#include <array>
#include <cstdint>

#include "crash/analysis/x86/MemoryView.h"

namespace corvan::crash {

// No x86 instruction is longer than this; a longer prefix run is invalid.
constexpr unsigned MaxInstructionLength = 15;

struct InstructionInfo {
  bool Valid = false;
  std::uint16_t OpValue = 0;  // opcode byte, or 0x0F00 + second byte
  std::uint8_t ModRmByte = 0;
  bool IsCall = false;
  bool IsJump = false;  // conditional jumps, loops and jecxz included
  bool IsRelative = false;
  Address Destination = 0;       // 0 when unknown
  Address DestinationField = 0;  // 4-byte field holding the target itself
  Address DestinationCell = 0;   // field holding the address of the target's cell
  std::int32_t DestinationSize = 0;
  bool CanWiden = false;  // short relative form could be rewritten long
  Address Start = 0;      // first byte, prefixes included
  Address After = 0;      // first byte after the instruction
};

// Per general register (eax ecx edx ebx esp ebp esi edi): 0 = unknown, else
// the address of the imm32 field of the mov that loaded the register.
using RegisterState = std::array<Address, 8>;

enum RegisterIndex : std::uint8_t { Eax, Ecx, Edx, Ebx, Esp, Ebp, Esi, Edi };
constexpr std::int8_t NoRegister = -1;

// The operand parts one decoding yields, for the text form.
struct TDecodedParts {
  bool Lock = false, RepNe = false, Rep = false;
  bool OperandSize16 = false, AddressSize16 = false;
  std::int8_t Segment = NoRegister;  // es cs ss ds fs gs = 0..5
  std::uint16_t Flags = 0;           // flag word after the group lookup
  std::uint8_t MnemonicIndex = 0;
  std::uint8_t Opcode = 0;  // the opcode byte (second byte for 0x0F xx)
  bool TwoByte = false;
  bool HasModRm = false;
  std::uint8_t Mod = 0, Reg = 0, Rm = 0;
  bool IsMemory = false;
  std::int8_t Base = NoRegister, Index = NoRegister;  // 16-bit names with AddressSize16
  std::uint8_t Scale = 1;
  std::int32_t Displacement = 0;
  std::uint8_t DisplacementSize = 0;
  std::uint8_t DisplacementOffset = 0;
  std::int32_t Immediate = 0;
  std::uint8_t ImmediateSize = 0;
  std::uint8_t ImmediateOffset = 0;
  std::uint8_t Length = 0;  // bytes decoded
  std::array<std::uint8_t, MaxInstructionLength> Bytes{};
};

// Decodes the instruction at code. registers (may be null) is read to
// resolve call reg / jmp [reg] when useRegisters is set, and updated for
// valid instructions. Returns info.Valid. Memory is read only through view.
bool DecodeInstruction(const TMemoryView& view, Address code, RegisterState* registers,
                       bool useRegisters, InstructionInfo& info, TDecodedParts* parts = nullptr);

inline bool DecodeInstruction(const TMemoryView& view, Address code, InstructionInfo& info) {
  return DecodeInstruction(view, code, nullptr, false, info);
}

}  // namespace corvan::crash
