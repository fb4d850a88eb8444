#include "crash/analysis/x86/InstructionDecoder.h"

#include "crash/analysis/x86/OpcodeTables.h"

namespace corvan::crash {
namespace {

using namespace opflag;

// Prefix bytes: 0 none, else the kind below.
enum PrefixKind : std::uint8_t { NoPrefix, OpSize, AddrSize, Lock, RepNe, Rep, SegBase };

constexpr std::array<std::uint8_t, 256> PrefixKinds = [] {
  std::array<std::uint8_t, 256> kinds{};
  kinds[0x66] = OpSize;
  kinds[0x67] = AddrSize;
  kinds[0xF0] = Lock;
  kinds[0xF2] = RepNe;
  kinds[0xF3] = Rep;
  kinds[0x26] = SegBase + 0;  // es
  kinds[0x2E] = SegBase + 1;  // cs
  kinds[0x36] = SegBase + 2;  // ss
  kinds[0x3E] = SegBase + 3;  // ds
  kinds[0x64] = SegBase + 4;  // fs
  kinds[0x65] = SegBase + 5;  // gs
  return kinds;
}();

// 16-bit addressing: base and index per rm (NoRegister = none).
constexpr std::int8_t Bx = 3, Bp = 5, Si = 6, Di = 7;
constexpr std::array<std::int8_t, 8> Base16 = {Bx, Bx, Bp, Bp, Si, Di, Bp, Bx};
constexpr std::array<std::int8_t, 8> Index16 = {Si,         Di,         Si,         Di,
                                                NoRegister, NoRegister, NoRegister, NoRegister};

const GroupRow* FindGroupRow(std::uint8_t opcode) {
  for (const GroupRow& row : GroupFlags) {
    if (row[0] == opcode) return &row;
  }
  return nullptr;
}

bool InRange(std::uint8_t value, std::uint8_t low, std::uint8_t high) {
  return value >= low && value <= high;
}

// Rules a flag word cannot express: forms of an opcode that do not exist.
bool FormIsValid(std::uint16_t opValue, const TDecodedParts& p, std::uint8_t modrm) {
  const bool mem = p.IsMemory;
  const std::uint8_t reg = p.Reg;
  switch (opValue) {
    case 0x62:
    case 0x8D:
    case 0xC4:
    case 0xC5:
      return mem;
    case 0x8C:
      return reg < 6;
    case 0x8E:
      return reg < 6 && reg != 1;  // cs cannot be loaded by mov
    case 0x8F:
    case 0xC6:
    case 0xC7:
      return reg == 0;  // other reg values: no such opcode
    case 0xD9:
      return mem || !(InRange(modrm, 0xD1, 0xD7) || modrm == 0xE2 || modrm == 0xE3 ||
                      modrm == 0xE6 || modrm == 0xE7 || modrm == 0xEF);
    case 0xDA:
      return mem || !(modrm == 0xE8 || InRange(modrm, 0xEA, 0xEF));
    case 0xDB:
      return mem || !InRange(modrm, 0xE5, 0xE7);
    case 0xDF:
      return mem || !InRange(modrm, 0xE1, 0xE7);
    case 0xFE:
      return reg < 2;
    case 0xFF:
      return reg < 7 && (mem || (reg != 3 && reg != 5));
    case 0x0F00:
      return reg < 6;
    case 0x0F01:  // register forms: smsw, lmsw, and monitor/mwait (0F 01 C8/C9)
      return reg != 5 && (mem || (reg > 3 && reg != 7) || modrm == 0xC8 || modrm == 0xC9);
    case 0x0F0D:
      return mem && reg < 2;
    case 0x0F0F:
      return IsThreeDNowSuffix(static_cast<std::uint8_t>(p.Immediate));
    case 0x0F18:
      return mem && reg < 4;
    case 0x0F20:
    case 0x0F22:
      return !mem && (reg == 0 || (reg >= 2 && reg <= 4));  // cr0, cr2-cr4
    case 0x0F21:
    case 0x0F23:
      return !mem;
    case 0x0F6C:
    case 0x0F6D:
      return p.OperandSize16;
    case 0x0F71:
    case 0x0F72:
      return !mem && (reg == 2 || reg == 4 || reg == 6);
    case 0x0F73:  // psrldq and pslldq exist only in the 0x66 form
      return !mem && (reg == 2 || reg == 6 || ((reg == 3 || reg == 7) && p.OperandSize16));
    case 0x0F7C:
    case 0x0F7D:
    case 0x0FD0:
      return p.OperandSize16 || p.RepNe;
    case 0x0FAE:
      return reg == 7 || (reg < 4 && mem) || ((reg == 5 || reg == 6) && !mem);
    case 0x0FB2:
    case 0x0FB4:
    case 0x0FB5:
    case 0x0FC3:
      return mem;
    // SSE and MMX forms that exist only with a memory, or only with a
    // register operand
    case 0x0F13:
    case 0x0F17:
    case 0x0F2B:
    case 0x0FE7:
      return mem;
    case 0x0F50:
    case 0x0FC5:
    case 0x0FD7:
    case 0x0FF7:
      return !mem;
    case 0x0FC7:
      return mem && reg == 1;  // cmpxchg8b is the only form here
    case 0x0FBA:
      return reg > 3;
    case 0x0FD6:
    case 0x0FE6:
      return p.OperandSize16 || p.RepNe || p.Rep;
    case 0x0FF0:
      return p.RepNe;
    default:
      return true;
  }
}

// lock is allowed only on read-modify-write instructions with a memory
// destination; anywhere else the processor raises #UD.
bool LockIsValid(std::uint16_t opValue, const TDecodedParts& p) {
  if (!p.IsMemory) return false;
  const std::uint8_t reg = p.Reg;
  switch (opValue) {
    case 0x00:
    case 0x01:
    case 0x08:
    case 0x09:
    case 0x10:
    case 0x11:
    case 0x18:
    case 0x19:
    case 0x20:
    case 0x21:
    case 0x28:
    case 0x29:
    case 0x30:
    case 0x31:
    case 0x86:
    case 0x87:
    case 0x0FAB:
    case 0x0FB3:
    case 0x0FBB:
    case 0x0FB0:
    case 0x0FB1:
    case 0x0FC0:
    case 0x0FC1:
    case 0x0FC7:
      return true;
    case 0x80:
    case 0x81:
    case 0x82:
    case 0x83:
      return reg != 7;
    case 0xF6:
    case 0xF7:
      return reg == 2 || reg == 3;
    case 0xFE:
    case 0xFF:
      return reg < 2;
    case 0x0FBA:
      return reg >= 5;
    default:
      return false;
  }
}

class ByteCursor {
 public:
  ByteCursor(const std::uint8_t* bytes, std::size_t available)
      : bytes_(bytes), available_(available) {}
  bool Has(std::size_t n) const { return pos_ + n <= available_; }
  std::uint8_t Next() { return bytes_[pos_++]; }
  std::int32_t NextSigned(unsigned size) {
    std::int32_t value = 0;
    switch (size) {
      case 1:
        value = static_cast<std::int8_t>(bytes_[pos_]);
        break;
      case 2:
        value = static_cast<std::int16_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8);
        break;
      case 4:
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes_[pos_]) |
                                          static_cast<std::uint32_t>(bytes_[pos_ + 1]) << 8 |
                                          static_cast<std::uint32_t>(bytes_[pos_ + 2]) << 16 |
                                          static_cast<std::uint32_t>(bytes_[pos_ + 3]) << 24);
        break;
      default:
        break;  // 3- and 6-byte immediates are split only for display
    }
    pos_ += size;
    return value;
  }
  std::size_t Pos() const { return pos_; }

 private:
  const std::uint8_t* bytes_;
  std::size_t available_;
  std::size_t pos_ = 0;
};

void ForgetRegister(RegisterState& regs, int reg) { regs[static_cast<std::size_t>(reg)] = 0; }

// The general register a register operand names: byte registers ah..bh are
// parts of eax..ebx.
int FullRegister(int reg, bool isByte) { return isByte ? (reg & 3) : reg; }

void UpdateRegisters(const TDecodedParts& p, std::uint16_t opValue, const InstructionInfo& info,
                     RegisterState& regs) {
  const std::uint16_t flags = p.Flags;
  const int opReg = p.Opcode & 7;
  const bool regIsByte = (flags & RegMask) == RegByte && p.HasModRm;
  const bool rmIsByte = (flags & RmMask) == RmByte;
  const bool opRegIsByte = !p.HasModRm && (flags & RegMask) == OpByteReg;
  const int regField = FullRegister(p.Reg, regIsByte);
  const int rmReg = FullRegister(p.Rm, rmIsByte);

  switch ((flags & WriteMask) >> 13) {
    case 1:
      ForgetRegister(regs, regField);
      break;
    case 2:
      if (!p.IsMemory) ForgetRegister(regs, rmReg);
      break;
    case 3:
      ForgetRegister(regs, FullRegister(opReg, opRegIsByte));
      break;
    case 4:
      ForgetRegister(regs, Eax);
      break;
    case 5:
      ForgetRegister(regs, regField);
      if (!p.IsMemory) ForgetRegister(regs, rmReg);
      break;
    case 6:
      ForgetRegister(regs, Eax);
      if (!p.IsMemory) ForgetRegister(regs, rmReg);
      break;
    case 7:
      ForgetRegister(regs, Eax);
      ForgetRegister(regs, opReg);
      break;
    default:
      break;
  }
  if ((p.Rep || p.RepNe) && !p.TwoByte) ForgetRegister(regs, Ecx);

  const Address immediateField = info.Start + p.ImmediateOffset;
  const bool regForm = p.HasModRm && !p.IsMemory;
  switch (opValue) {
    case 0xB8:
    case 0xB9:
    case 0xBA:
    case 0xBB:
    case 0xBC:
    case 0xBD:
    case 0xBE:
    case 0xBF:
      if (!p.OperandSize16) regs[static_cast<std::size_t>(opReg)] = immediateField;
      break;
    case 0xC7:
      if (regForm && !p.OperandSize16) regs[p.Rm] = immediateField;
      break;
    case 0x8B:
      if (regForm && !p.OperandSize16) regs[p.Reg] = regs[p.Rm];
      break;
    case 0x61:
      regs.fill(0);
      break;
    case 0x99:
      ForgetRegister(regs, Edx);
      break;
    case 0xA4:
    case 0xA5:
    case 0xA6:
    case 0xA7:
      ForgetRegister(regs, Esi);
      ForgetRegister(regs, Edi);
      break;
    case 0xAA:
    case 0xAB:
    case 0xAE:
    case 0xAF:
    case 0x6C:
    case 0x6D:
      ForgetRegister(regs, Edi);
      break;
    case 0xAC:
    case 0xAD:
    case 0x6E:
    case 0x6F:
      ForgetRegister(regs, Esi);
      break;
    case 0xC8:
    case 0xC9:
      ForgetRegister(regs, Ebp);
      break;
    case 0xE0:
    case 0xE1:
    case 0xE2:
      ForgetRegister(regs, Ecx);
      break;
    case 0xF7:
      if (p.Reg >= 4) ForgetRegister(regs, Edx);
      break;
    case 0xFF:
      if (p.Reg <= 1 && regForm) ForgetRegister(regs, p.Rm);
      break;
    case 0x80:
    case 0x81:
    case 0x82:
    case 0x83:
      if (regForm && p.Reg != 7) ForgetRegister(regs, rmReg);
      break;
    case 0xDF:
      if (p.Mod == 3 && p.Reg == 4) ForgetRegister(regs, Eax);
      break;
    case 0x0FA2:
      for (int r = Eax; r <= Ebx; ++r) ForgetRegister(regs, r);
      break;
    case 0x0F31:
    case 0x0F32:
    case 0x0F33:
    case 0x0FC7:
      ForgetRegister(regs, Edx);
      break;
    case 0x0FBA:
      if (p.Reg > 4 && regForm) ForgetRegister(regs, p.Rm);
      break;
    case 0x0F01:
      if (p.Reg == 4 && regForm) ForgetRegister(regs, p.Rm);
      break;
    case 0x0F00:
      if (p.Reg <= 1 && regForm) ForgetRegister(regs, p.Rm);
      break;
    case 0x0F7E:
    case 0x0F7F:
      if (!p.Rep && regForm) ForgetRegister(regs, p.Rm);
      break;
    case 0x0F2C:
    case 0x0F2D:
      if (p.Rep || p.RepNe) ForgetRegister(regs, p.Reg);
      break;
    default:
      break;
  }
}

// Call or jump through FF /2../5: the target through a cell or a register
// whose constant load the register model remembers.
void ResolveIndirectTarget(const TMemoryView& view, const TDecodedParts& p,
                           const RegisterState* regs, bool useRegisters, InstructionInfo& info) {
  if (p.IsMemory && !p.AddressSize16 && p.Base == NoRegister && p.Index == NoRegister &&
      p.DisplacementSize == 4) {
    info.DestinationCell = info.Start + p.DisplacementOffset;
    info.DestinationSize = 4;
    if (!view.ReadDword(static_cast<Address>(p.Displacement), info.Destination)) {
      info.Valid = false;
    }
    return;
  }
  if (!useRegisters || !regs || p.AddressSize16 || p.Index != NoRegister ||
      p.DisplacementSize != 0) {
    return;
  }
  const int reg = p.IsMemory ? p.Base : p.Rm;
  if (reg == NoRegister) return;
  const Address field = (*regs)[static_cast<std::size_t>(reg)];
  if (field == 0) return;
  info.DestinationSize = 4;
  if (p.IsMemory) {
    info.DestinationCell = field;
    Address cell = 0;
    if (!view.ReadDword(field, cell) || !view.ReadDword(cell, info.Destination)) info.Valid = false;
  } else {
    info.DestinationField = field;
    if (!view.ReadDword(field, info.Destination)) info.Valid = false;
  }
}

void DetermineTarget(const TMemoryView& view, const TDecodedParts& p, const RegisterState* regs,
                     bool useRegisters, InstructionInfo& info) {
  const std::uint16_t op = info.OpValue;
  if (p.Flags & Relative) {
    info.IsRelative = true;
    info.DestinationField = info.Start + p.ImmediateOffset;
    info.Destination = info.After + static_cast<Address>(p.Immediate);
    // With a 16-bit operand size the processor cuts the new EIP to 16 bits.
    if (p.OperandSize16) info.Destination &= 0xFFFF;
    info.DestinationSize = p.ImmediateSize;
    info.CanWiden = !(op >= 0xE0 && op <= 0xE3);
    if (op == 0xE8) {
      info.IsCall = true;
    } else {
      info.IsJump = true;
    }
  } else if (op == 0x9A) {
    info.IsCall = true;
  } else if (op == 0xEA) {
    info.IsJump = true;
  } else if (op == 0xFF && p.Reg >= 2 && p.Reg <= 5) {
    (p.Reg <= 3 ? info.IsCall : info.IsJump) = true;
    ResolveIndirectTarget(view, p, regs, useRegisters, info);
  }
  if ((info.IsCall || info.IsJump) && info.IsRelative && info.Destination == info.After &&
      info.Destination != 0) {
    // call $+5 and friends push or go nowhere else: not a transfer. A jump
    // through a cell that holds the next address still is one: the cell is
    // filled in later (a delay-loaded import's thunk).
    info.IsCall = info.IsJump = false;
    info.Destination = info.DestinationField = info.DestinationCell = 0;
    info.DestinationSize = 0;
    info.CanWiden = false;
  }
}

}  // namespace

bool DecodeInstruction(const TMemoryView& view, Address code, RegisterState* registers,
                       bool useRegisters, InstructionInfo& info, TDecodedParts* parts) {
  info = InstructionInfo{};
  info.Start = code;
  TDecodedParts local;
  TDecodedParts& p = parts ? *parts : local;
  p = TDecodedParts{};

  const std::size_t available = view.ReadUpTo(code, p.Bytes.data(), p.Bytes.size());
  ByteCursor in(p.Bytes.data(), available);
  auto stop = [&] {
    p.Length = static_cast<std::uint8_t>(in.Pos());
    info.After = code + static_cast<Address>(in.Pos());
    return false;
  };

  // Prefixes; bytes past the 15th are never read, so an overlong prefix run
  // ends here as invalid.
  std::uint8_t op = 0;
  for (;;) {
    if (!in.Has(1)) return stop();
    op = in.Next();
    const std::uint8_t kind = PrefixKinds[op];
    if (kind == NoPrefix) break;
    switch (kind) {
      case OpSize:
        p.OperandSize16 = true;
        break;
      case AddrSize:
        p.AddressSize16 = true;
        break;
      case Lock:
        p.Lock = true;
        break;
      case RepNe:
        p.RepNe = true;
        break;
      case Rep:
        p.Rep = true;
        break;
      default:
        p.Segment = static_cast<std::int8_t>(kind - SegBase);
        break;
    }
  }

  std::uint16_t flags;
  if (op == 0x0F) {
    if (!in.Has(1)) return stop();
    op = in.Next();
    p.TwoByte = true;
    info.OpValue = static_cast<std::uint16_t>(0x0F00 | op);
    flags = TwoByteFlags[op];
    p.MnemonicIndex = TwoByteMnemonic[op];
  } else {
    info.OpValue = op;
    flags = OneByteFlags[op];
    p.MnemonicIndex = OneByteMnemonic[op];
  }
  p.Opcode = op;
  p.Flags = flags;
  if (flags == Invalid) return stop();

  if (flags & RmMask) {
    if (!in.Has(1)) return stop();
    const std::uint8_t modrm = in.Next();
    info.ModRmByte = modrm;
    p.HasModRm = true;
    p.Mod = modrm >> 6;
    p.Reg = (modrm >> 3) & 7;
    p.Rm = modrm & 7;
    p.IsMemory = p.Mod != 3;
    if (p.IsMemory) {
      if (p.AddressSize16) {
        p.DisplacementSize = p.Mod == 1 ? 1 : p.Mod == 2 ? 2 : 0;
        if (p.Mod == 0 && p.Rm == 6) {
          p.DisplacementSize = 2;
        } else {
          p.Base = Base16[p.Rm];
          p.Index = Index16[p.Rm];
        }
      } else {
        p.DisplacementSize = p.Mod == 1 ? 1 : p.Mod == 2 ? 4 : 0;
        p.Base = static_cast<std::int8_t>(p.Rm);
        if (p.Rm == 4) {
          if (!in.Has(1)) return stop();
          const std::uint8_t sib = in.Next();
          p.Base = static_cast<std::int8_t>(sib & 7);
          const std::uint8_t index = (sib >> 3) & 7;
          if (index != 4) {
            p.Index = static_cast<std::int8_t>(index);
            p.Scale = static_cast<std::uint8_t>(1u << (sib >> 6));
          }
        }
        if (p.Mod == 0 && p.Base == 5) {
          p.Base = NoRegister;
          p.DisplacementSize = 4;
        }
      }
      if (p.DisplacementSize) {
        if (!in.Has(p.DisplacementSize)) return stop();
        p.DisplacementOffset = static_cast<std::uint8_t>(in.Pos());
        p.Displacement = in.NextSigned(p.DisplacementSize);
      }
    }
    if ((flags & RmMask) == RmGroup && !p.TwoByte) {
      const GroupRow* row = FindGroupRow(op);
      flags = row ? (*row)[p.IsMemory ? 1 + p.Reg : 9 + p.Reg] : Invalid;
      p.Flags = flags;
      if (flags == Invalid) return stop();
    }
  }

  unsigned immediateSize = 0;
  switch (flags & ImmMask) {
    case ImmByte:
      immediateSize = 1;
      break;
    case ImmWord:
      immediateSize = 2;
      break;
    case ImmOpSize:
      immediateSize = p.OperandSize16 ? 2 : 4;
      break;
    default:
      if (!p.TwoByte) {
        if (op == 0x9A || op == 0xEA)
          immediateSize = (p.OperandSize16 ? 2 : 4) + 2;
        else if (op >= 0xA0 && op <= 0xA3)
          immediateSize = p.AddressSize16 ? 2 : 4;
        else if (op == 0xC8)
          immediateSize = 3;
      }
      break;
  }
  if (immediateSize) {
    if (!in.Has(immediateSize)) return stop();
    p.ImmediateOffset = static_cast<std::uint8_t>(in.Pos());
    p.ImmediateSize = static_cast<std::uint8_t>(immediateSize);
    p.Immediate = in.NextSigned(immediateSize);
  }
  p.Length = static_cast<std::uint8_t>(in.Pos());
  info.After = code + static_cast<Address>(in.Pos());

  if (!FormIsValid(info.OpValue, p, info.ModRmByte)) return false;
  if (p.Lock && !LockIsValid(info.OpValue, p)) return false;
  info.Valid = true;
  DetermineTarget(view, p, registers, useRegisters, info);
  if (info.Valid && registers) UpdateRegisters(p, info.OpValue, info, *registers);
  return info.Valid;
}

}  // namespace corvan::crash
