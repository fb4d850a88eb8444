#include "crash/analysis/x86/DisAsmText.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "crash/analysis/x86/OpcodeTables.h"

namespace corvan::crash {

const char* const ListingSeparator = "; ---------------------------------------------------------";
const char* const ListingInternalError =
    "Internal error in ParseFunction while composing the disassembling string...  :-(";

TListingSymbols& ListingSymbols() {
  static TListingSymbols symbols;
  return symbols;
}

namespace {

using namespace opflag;

constexpr std::size_t MnemonicColumn = 19;
constexpr std::size_t CommentColumn = 40;
constexpr std::size_t LabelColumn = 31;
constexpr Address PointerMargin = 100;
constexpr std::size_t MaxPointedText = 100;

std::string Hex(std::uint32_t value) {
  char buffer[12];
  std::snprintf(buffer, sizeof buffer, "%x", value);
  return buffer;
}

std::string Hex8(std::uint32_t value) {
  char buffer[12];
  std::snprintf(buffer, sizeof buffer, "%08x", value);
  return buffer;
}

// Up to 9 in decimal, above as "$" and hex digits.
std::string Unsigned(std::uint32_t value) {
  return value <= 9 ? std::to_string(value) : "$" + Hex(value);
}

std::string Signed(std::int64_t value, bool plus) {
  if (value < 0) return "-" + Unsigned(static_cast<std::uint32_t>(-value));
  return (plus ? "+" : "") + Unsigned(static_cast<std::uint32_t>(value));
}

void PadTo(std::string& text, std::size_t column) {
  if (text.size() < column) text.append(column - text.size(), ' ');
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(
        text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

void ReplaceAll(std::string& text, std::string_view what, std::string_view with) {
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

std::string Mnemonic(const TDecodedParts& p) {
  const bool x87 = !p.TwoByte && p.Opcode >= 0xD8 && p.Opcode <= 0xDF;
  if (p.TwoByte && p.Opcode == 0x0F)
    return std::string(ThreeDNowName(static_cast<std::uint8_t>(p.Immediate)));
  if (!p.TwoByte && p.Opcode == 0xE3 && p.AddressSize16) return "jcxz";
  std::string entry(MnemonicEntry(p.MnemonicIndex));
  ReplaceAll(entry, "%cc", ConditionNames[p.Opcode & 15]);
  ReplaceAll(entry, "%seg", RegisterNames[2][(p.Opcode >> 3) & 7]);

  std::string_view form = entry;
  const auto byPrefix = Split(form, '/');
  std::size_t choice = p.OperandSize16 ? 1 : p.RepNe ? 2 : p.Rep ? 3 : 0;
  form = choice < byPrefix.size() && !byPrefix[choice].empty() ? byPrefix[choice] : byPrefix[0];

  const auto byReg = Split(form, '|');
  if (byReg.size() >= 2) {
    std::size_t part = p.Reg;
    if (byReg.size() >= 9 && !p.IsMemory) part = p.Reg + 8u;
    form = part < byReg.size() ? byReg[part] : std::string_view();
    if (byReg.size() >= 9 && !p.IsMemory && form.find('-') != std::string_view::npos) {
      const auto byRm = Split(form, '-');
      form = p.Rm < byRm.size() ? byRm[p.Rm] : std::string_view();
    }
  }
  const std::size_t colon = form.find(':');
  if (colon != std::string_view::npos)
    form = p.IsMemory ? form.substr(colon + 1) : form.substr(0, colon);

  std::string name(form);
  for (char& c : name) {
    if (c == 'S')
      c = (p.OperandSize16 || p.RepNe) ? 'd' : 's';
    else if (c == 'P')
      c = (p.RepNe || p.Rep) ? 's' : 'p';
  }
  return x87 ? "f" + name : name;
}

std::string GeneralRegister(unsigned size, unsigned reg) {
  const unsigned row = size == 1 ? 0 : size == 2 ? 1 : 3;
  return std::string(RegisterNames[row][reg & 7]);
}

// Size of the r/m operand in bytes after the 0x66 rule.
unsigned RmSize(const TDecodedParts& p) {
  static constexpr unsigned Sizes[8] = {0, 0, 1, 2, 4, 8, 10, 16};
  const unsigned size = Sizes[(p.Flags & RmMask) >> 3];
  if (p.OperandSize16 && (p.Flags & OpSizeRm)) {
    return ((p.Flags & RegMask) > RegDword || size >= 8) ? 16 : 2;
  }
  return size;
}

std::string RegisterOperand(const TDecodedParts& p) {
  const unsigned kind = p.Flags & RegMask;
  const bool wide = p.OperandSize16 && (p.Flags & OpSizeReg);
  const bool toSse = wide && (kind > RegDword || (p.Flags & RmMask) >= RmQword);
  if (p.HasModRm) {
    switch (kind) {
      case RegByte:
        return GeneralRegister(1, p.Reg);
      case RegWord:
        return GeneralRegister(2, p.Reg);
      case RegSegOrCtl:
        if (p.TwoByte) return ((p.Opcode & 1) ? "dr" : "cr") + std::to_string(p.Reg);
        return std::string(RegisterNames[2][p.Reg]);
      case RegDword:
        return toSse ? "xmm" + std::to_string(p.Reg) : GeneralRegister(wide ? 2 : 4, p.Reg);
      case RegMmx:
        return (toSse ? "xmm" : "mm") + std::to_string(p.Reg);
      case RegSt:
        return "st";
      case RegXmm:
        return "xmm" + std::to_string(p.Reg);
      default:
        return {};
    }
  }
  const unsigned opReg = p.Opcode & 7;
  switch (kind) {
    case ImplAl:
      return "al";
    case ImplEax:
      return wide ? "ax" : "eax";
    case OpByteReg:
      return GeneralRegister(1, opReg);
    case OpDwordReg:
      return GeneralRegister(wide ? 2 : 4, opReg);
    case EaxAndOpReg:
      return std::string(wide ? "ax, " : "eax, ") + GeneralRegister(wide ? 2 : 4, opReg);
    case AccAndDx: {
      const std::string acc = (p.Opcode & 1) ? (wide ? "ax" : "eax") : "al";
      return (p.Flags & Swap) ? "dx, " + acc : acc + ", dx";
    }
    default:
      return {};
  }
}

std::string MemoryOperand(const TDecodedParts& p) {
  std::string inner;
  const unsigned nameSize = p.AddressSize16 ? 2 : 4;
  if (p.Base != NoRegister) inner += "+" + GeneralRegister(nameSize, static_cast<unsigned>(p.Base));
  if (p.Index != NoRegister) {
    inner += "+" + GeneralRegister(nameSize, static_cast<unsigned>(p.Index));
    if (p.Scale > 1) inner += "*" + std::to_string(p.Scale);
  }
  if (p.DisplacementSize) {
    if (inner.empty()) {
      const std::uint32_t mask = p.DisplacementSize == 2 ? 0xFFFF : 0xFFFFFFFF;
      inner = Unsigned(static_cast<std::uint32_t>(p.Displacement) & mask);
    } else {
      inner += Signed(p.Displacement, true);
    }
  }
  if (!inner.empty() && inner[0] == '+') inner.erase(0, 1);
  std::string text;
  if (p.Flags & ShowSize) {
    static constexpr const char* Keywords[17] = {"", "byte", "word",  "", "dword", "",
                                                 "", "",     "qword", "", "tbyte", "",
                                                 "", "",     "",      "", "oword"};
    const unsigned size = RmSize(p);
    if (size <= 16 && Keywords[size][0]) text = std::string(Keywords[size]) + " ptr ";
  }
  if (p.Segment != NoRegister)
    text += std::string(RegisterNames[2][static_cast<unsigned>(p.Segment)]) + ":";
  return text + "[" + inner + "]";
}

std::string RmOperand(const TDecodedParts& p) {
  if (!p.HasModRm || (p.Flags & RmMask) == 0) return {};
  if (p.IsMemory) return MemoryOperand(p);
  const bool x87 = !p.TwoByte && p.Opcode >= 0xD8 && p.Opcode <= 0xDF;
  if (x87) return p.Rm == 0 ? "st" : "st(" + std::to_string(p.Rm) + ")";
  switch (RmSize(p)) {
    case 0:
      return {};
    case 1:
      return GeneralRegister(1, p.Rm);
    case 2:
      return GeneralRegister(2, p.Rm);
    case 4:
      return GeneralRegister(4, p.Rm);
    case 8:  // SSE forms with a 64-bit memory operand name an xmm register
      if ((p.Flags & RegMask) == RegXmm && !(p.TwoByte && p.Opcode == 0x2A))
        return "xmm" + std::to_string(p.Rm);
      return "mm" + std::to_string(p.Rm);
    case 10:
      return p.Rm == 0 ? "st" : "st(" + std::to_string(p.Rm) + ")";
    default:
      return "xmm" + std::to_string(p.Rm);
  }
}

std::string ImmediateOperand(const TDecodedParts& p, const InstructionInfo& info) {
  if (!p.ImmediateSize) return {};
  const std::uint8_t* bytes = p.Bytes.data() + p.ImmediateOffset;
  auto le = [&](unsigned offset, unsigned size) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i)
      v |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    return v;
  };
  const std::uint16_t op = info.OpValue;
  if (p.TwoByte && p.Opcode == 0x0F) return {};  // 3DNow! suffix: part of the mnemonic
  if (op == 0x9A || op == 0xEA) {
    const unsigned offsetSize = p.ImmediateSize - 2u;
    return "$" + Hex(le(offsetSize, 2)) + ":$" + Hex(le(0, offsetSize));
  }
  if (op == 0xC8) return "$" + Hex(le(0, 2)) + ", $" + Hex(le(2, 1));
  if ((op == 0xD4 || op == 0xD5) && p.Immediate == 10) return {};
  if (p.Flags & Relative) {
    return Signed(p.Immediate, true) + " ($" +
           Hex(info.Destination ? info.Destination
                                : info.After + static_cast<Address>(p.Immediate)) +
           ")";
  }
  const std::uint32_t mask = p.ImmediateSize == 1   ? 0xFF
                             : p.ImmediateSize == 2 ? 0xFFFF
                                                    : 0xFFFFFFFF;
  if ((p.Flags & ShowSize) && !p.HasModRm) {
    std::string text = "[" + Unsigned(static_cast<std::uint32_t>(p.Immediate) & mask) + "]";
    if (p.Segment != NoRegister)
      text = std::string(RegisterNames[2][static_cast<unsigned>(p.Segment)]) + ":" + text;
    return text;
  }
  if (op == 0x69 || op == 0x6B || (op >= 0x80 && op <= 0x83)) return Signed(p.Immediate, false);
  if (op == 0x6A)
    return Unsigned(static_cast<std::uint32_t>(p.Immediate) &
                    (p.OperandSize16 ? 0xFFFF : 0xFFFFFFFF));
  return Unsigned(static_cast<std::uint32_t>(p.Immediate) & mask);
}

std::string JoinOperands(const TDecodedParts& p, const InstructionInfo& info) {
  // The fences and monitor/mwait live in the register forms of 0F AE and
  // 0F 01 and take no operands.
  if (p.TwoByte && !p.IsMemory && (p.Opcode == 0xAE || (p.Opcode == 0x01 && p.Reg == 1))) return {};
  const std::string reg = RegisterOperand(p), rm = RmOperand(p), imm = ImmediateOperand(p, info);
  std::vector<std::string> ops;
  if (p.Flags & Swap) {
    if (!p.HasModRm) {
      // out imm8, al / mov [moffs], eax: the immediate goes first
      if ((p.Flags & RegMask) == AccAndDx) {
        ops = {reg};
      } else {
        ops = {imm, reg};
      }
    } else {
      ops = {rm, reg, imm};
    }
  } else {
    ops = {reg, rm, imm};
  }
  const std::uint16_t op = info.OpValue;
  if (op == 0xD0 || op == 0xD1) ops.push_back("1");
  if (op == 0xD2 || op == 0xD3 || op == 0x0FA5 || op == 0x0FAD) ops.push_back("cl");
  std::string text;
  for (const std::string& o : ops) {
    if (o.empty()) continue;
    if (!text.empty()) text += ", ";
    text += o;
  }
  return text;
}

// Text a pointer points at, shown when it reads like words.
std::string ReadableTextAt(const TMemoryView& view, Address at) {
  char buffer[MaxPointedText];
  const std::size_t n = view.ReadUpTo(at, buffer, sizeof buffer);
  std::string text;
  int a = 0, b = 0, c = 0, d = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto ch = static_cast<unsigned char>(buffer[i]);
    if (ch == 0 || ch == 0x0A || ch == 0x0C) break;
    if (ch == ' ' || (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') ||
        (ch >= 'a' && ch <= 'z'))
      ++a;
    else if (ch == ',' || ch == '.' || ch == ':' || ch == '\\')
      ++b;
    else if (ch >= '!' && ch <= ']')
      ++c;
    else if (ch >= 0x5E)
      ++d;
    else
      return {};  // another control character
    text += static_cast<char>(ch);
  }
  if (text.size() >= 4 && 2 * a > 5 * b && a + b / 2 > 8 * c && a + b / 2 + c / 4 > 10 * d)
    return text;
  return {};
}

class TNamer {
 public:
  TNamer(const TMemoryView& view, const TListingSymbols& symbols)
      : view_(view), symbols_(symbols) {}

  // Export name, else symbol-map name, with the module for foreign names.
  std::string NameAt(Address address) const {
    std::string name = view_.ExportNameAt(address);
    if (name.empty() && symbols_.SymbolNameAt) name = symbols_.SymbolNameAt(address);
    if (name.empty()) return name;
    TRegionInfo region;
    if (symbols_.ModuleFileNameAt && view_.QueryRegion(address, region) &&
        region.AllocationBase != symbols_.OwnModuleBase && name.find('(') == std::string::npos) {
      const std::string module = symbols_.ModuleFileNameAt(address);
      if (!module.empty()) name += " (" + module + ")";
    }
    return name;
  }

  // Name of a transfer target, looking through one jump or call stub.
  std::string TargetName(Address target) const {
    std::string name = NameAt(target);
    if (!name.empty()) return name;
    if (!ImageOf(target).Contains(target)) return name;
    InstructionInfo stub;
    if (DecodeInstruction(view_, target, stub) && (stub.IsJump || stub.IsCall) &&
        stub.Destination) {
      name = NameAt(stub.Destination);
    }
    return name;
  }

  // The image that contains address, as a range (empty when none).
  TAddressRange ImageOf(Address address) const {
    TRegionInfo region;
    if (!view_.QueryRegion(address, region)) return {};
    if (region.AllocationBase != cachedBase_) {
      cachedBase_ = region.AllocationBase;
      cachedImage_ = {};
      TImageHeaders headers;
      if (ReadImageHeaders(view_, region.AllocationBase, headers)) {
        cachedImage_ = {headers.Base, headers.Base + headers.SizeOfImage};
      }
    }
    return cachedImage_;
  }

  std::string PointerComment(Address value, bool follow, Address instruction) const {
    const TAddressRange image = ImageOf(instruction);
    if (image.Empty() || image.Limit - image.First <= PointerMargin) return {};
    const TAddressRange allowed{image.First, image.Limit - PointerMargin};
    if (!allowed.Contains(value)) return {};
    std::uint32_t stored = 0;
    if (follow && view_.ReadDword(value, stored) && allowed.Contains(stored)) value = stored;
    std::string name = NameAt(value);
    if (!name.empty()) return name;
    const std::string text = ReadableTextAt(view_, value);
    return text.empty() ? std::string() : "'" + text + "'";
  }

  const TMemoryView& View() const { return view_; }

 private:
  const TMemoryView& view_;
  const TListingSymbols& symbols_;
  mutable Address cachedBase_ = 0xFFFFFFFF;
  mutable TAddressRange cachedImage_;
};

struct TInstructionText {
  std::string Head;  // address, prefixes and mnemonic, padded
  std::string Operands;
  std::string Comment;  // without "  ; "
  std::string Compose() const {
    std::string line = Head + Operands;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!Comment.empty()) {
      PadTo(line, CommentColumn);
      line += "  ; " + Comment;
    }
    return line;
  }
};

// Decodes and formats one instruction; false for invalid bytes (the db
// lines are in dbLines then).
bool FormatInstruction(const TNamer& namer, Address code, RegisterState* registers,
                       bool useRegisters, InstructionInfo& info, TInstructionText& text,
                       std::string& dbLines) {
  TDecodedParts p;
  DecodeInstruction(namer.View(), code, registers, useRegisters, info, &p);
  if (!info.Valid) {
    dbLines.clear();
    const unsigned count = std::max(1u, static_cast<unsigned>(p.Length));
    for (unsigned i = 0; i < count && i < p.Bytes.size(); ++i) {
      if (info.After == info.Start && i >= p.Length) break;
      char byte[4];
      std::snprintf(byte, sizeof byte, "%02x", p.Bytes[i]);
      if (!dbLines.empty()) dbLines += "\r\n";
      dbLines += Hex8(code + i) + "   db $" + byte;
    }
    return false;
  }
  text.Head = Hex8(code) + "   ";
  if (p.Lock) text.Head += "lock ";
  if (!p.TwoByte && p.RepNe)
    text.Head += "repne ";
  else if (!p.TwoByte && p.Rep && p.Opcode != 0x90)
    text.Head += "rep ";
  text.Head += Mnemonic(p);
  PadTo(text.Head, MnemonicColumn);
  if (text.Head.back() != ' ') text.Head += ' ';
  text.Operands = JoinOperands(p, info);
  text.Comment.clear();
  if ((info.IsCall || info.IsJump) && info.Destination) {
    text.Comment = namer.TargetName(info.Destination);
  } else {
    if (p.DisplacementSize == 4)
      text.Comment = namer.PointerComment(static_cast<Address>(p.Displacement), true, code);
    if (text.Comment.empty() && p.ImmediateSize == 4 && !(p.Flags & Relative)) {
      text.Comment =
          namer.PointerComment(static_cast<Address>(p.Immediate), (p.Flags & ShowSize) != 0, code);
    }
  }
  return true;
}

// --- the listing of a function ---

struct TListingLine {
  Address At = 0;
  std::string Text;  // without the address prefix for non-instruction lines
  bool IsInstruction = false;
  bool IsLabel = false;
  bool IsEmpty = false;
};

class TListing {
 public:
  TListing(const TNamer& namer, const TFunctionInfo& info, const TRuntimeRoutines& routines,
           bool formatted)
      : namer_(namer), info_(info), routines_(routines), formatted_(formatted) {}

  bool Build();
  const std::vector<TListingLine>& Lines() const { return lines_; }
  const std::string& HeaderName() const { return header_; }

 private:
  void Label(Address at, const std::string& text) {
    if (!lines_.empty() && lines_.back().IsInstruction) Empty(at);
    lines_.push_back({at, text, false, true, false});
  }
  void Empty(Address at) { lines_.push_back({at, "", false, false, true}); }
  void Separator(Address at) {
    if (!lastWasSeparator_) {
      lines_.push_back({at, ListingSeparator, false, false, false});
      Empty(at);
    }
    lastWasSeparator_ = true;
  }
  void Table(const CodeArea& area);
  void Code(const CodeArea& area, bool moreToCome);
  std::string LabelOf(Address target) const;

  const TNamer& namer_;
  const TFunctionInfo& info_;
  const TRuntimeRoutines& routines_;
  bool formatted_;
  std::string header_;
  std::vector<const CodeArea*> sorted_;
  std::vector<TListingLine> lines_;
  bool lastWasSeparator_ = false;
};

std::string TListing::LabelOf(Address target) const {
  if (target == info_.Entry) return header_;
  for (const CodeArea* area : sorted_) {
    if (area->First == target && !area->IsCaseTable && !area->IsHandlerTable)
      return "loc_" + Hex8(target);
  }
  return {};
}

bool TListing::Build() {
  const std::string name = namer_.NameAt(info_.Entry);
  header_ = name.empty() ? "sub_" + Hex8(info_.Entry) : name;
  for (const CodeArea& area : info_.Areas) sorted_.push_back(&area);
  std::sort(sorted_.begin(), sorted_.end(),
            [](const CodeArea* a, const CodeArea* b) { return a->First < b->First; });
  for (std::size_t i = 1; i < sorted_.size(); ++i) {
    if (sorted_[i]->First <= sorted_[i - 1]->Last || sorted_[i - 1]->Last < sorted_[i - 1]->First)
      return false;
  }
  for (std::size_t i = 0; i < sorted_.size(); ++i) {
    const CodeArea& area = *sorted_[i];
    if (area.First == info_.Entry) {
      std::string text = (name.empty() ? header_ : "public " + header_) + ":";
      PadTo(text, LabelColumn);
      Label(area.First, text + "  ; function entry point");
      lastWasSeparator_ = false;
    } else if (formatted_ && area.ReachedFrom) {
      Label(area.First, "loc_" + Hex8(area.First) + ":");
      lastWasSeparator_ = false;
    }
    if (area.IsCaseTable || area.IsHandlerTable) {
      Table(area);
    } else {
      Code(area, i + 1 < sorted_.size());
    }
  }
  return true;
}

void TListing::Table(const CodeArea& area) {
  const TMemoryView& view = namer_.View();
  if (formatted_ && !lines_.empty() && lines_.back().IsInstruction) {
    Empty(area.First);
    Separator(area.First);
  }
  if (area.IsCaseTable) {
    for (Address at = area.First; at + 3 <= area.Last; at += 4) {
      Address target = 0;
      view.ReadDword(at, target);
      std::string text = "  dd loc_" + Hex8(target);
      if (at == area.First) {
        PadTo(text, LabelColumn);
        text += "  ; case jump table";
      }
      lines_.push_back({at, text, false, false, false});
    }
  } else {
    std::uint32_t count = 0;
    view.ReadDword(area.First, count);
    std::vector<std::pair<std::string, Address>> entries;
    std::size_t longest = 0;
    for (std::uint32_t i = 0; i < count && area.First + 4 + 8 * i + 7 <= area.Last; ++i) {
      Address classRef = 0, handler = 0;
      view.ReadDword(area.First + 4 + 8 * i, classRef);
      view.ReadDword(area.First + 8 + 8 * i, handler);
      std::string className;
      if (classRef) {
        // The class name is a short string behind the class's type data.
        Address namePtr = 0;
        std::uint8_t length = 0;
        char chars[256];
        if (view.ReadDword(classRef - 44, namePtr) && view.Read(namePtr, &length, 1) && length &&
            view.Read(namePtr + 1, chars, length)) {
          className.assign(chars, length);
        } else {
          className = "EUnknown";
        }
      }
      longest = std::max(longest, className.size());
      entries.emplace_back(className, handler);
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const auto& [className, handler] = entries[i];
      std::string text;
      if (className.empty()) {
        text = "  else" + std::string(longest + 2, ' ');
      } else {
        text = "  on " + className + std::string(longest - className.size(), ' ') + " do";
      }
      lines_.push_back({area.First + 4 + 8 * static_cast<Address>(i),
                        text + " loc_" + Hex8(handler), false, false, false});
    }
  }
  if (formatted_) {
    lastWasSeparator_ = false;
    Empty(area.Last + 1);
    Separator(area.Last + 1);
  }
}

void TListing::Code(const CodeArea& area, bool moreAreas) {
  RegisterState regs = area.Registers;
  for (Address at = area.First; at <= area.Last && at >= area.First;) {
    InstructionInfo insn;
    TInstructionText text;
    std::string db;
    if (!FormatInstruction(namer_, at, &regs, true, insn, text, db)) {
      for (const auto line : Split(db, '\n')) {
        std::string_view l = line;
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        lines_.push_back({at, std::string(l), true, false, false});
      }
      if (insn.After <= at) break;
      at = insn.After;
      continue;
    }
    if (insn.IsRelative && (insn.IsCall || insn.IsJump)) {
      const std::string label = LabelOf(insn.Destination);
      if (!label.empty()) {
        text.Operands = label;
        text.Comment.clear();
      }
    }
    lines_.push_back({at, text.Compose(), true, false, false});
    lastWasSeparator_ = false;
    const bool moreToCome = insn.After <= area.Last || moreAreas;
    if (formatted_ && moreToCome) {
      const std::uint16_t op = insn.OpValue;
      const bool isReturn = op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF;
      const bool isJump =
          op == 0xE9 || op == 0xEA || op == 0xEB ||
          (op == 0xFF && (((insn.ModRmByte >> 3) & 7) == 4 || ((insn.ModRmByte >> 3) & 7) == 5));
      const bool toHandler = insn.Destination && (insn.Destination == routines_.AnyHandler ||
                                                  insn.Destination == routines_.OnHandler ||
                                                  insn.Destination == routines_.FinallyHandler);
      if (isReturn || isJump) {
        Empty(insn.After);
        if (!toHandler) Separator(insn.After);
      } else if (insn.IsCall || insn.IsJump) {
        Empty(insn.After);
      }
    }
    at = insn.After;
  }
}

std::size_t DecimalDigits(long long value) {
  std::size_t digits = 0;
  for (; value > 0; value /= 10) ++digits;
  return digits;
}

}  // namespace

std::string DisassembleInstruction(const TMemoryView& view, Address code, RegisterState* registers,
                                   InstructionInfo& info, bool useRegisters,
                                   const TListingSymbols& symbols) {
  const TNamer namer(view, symbols);
  TInstructionText text;
  std::string db;
  if (!FormatInstruction(namer, code, registers, useRegisters, info, text, db)) return db;
  return text.Compose();
}

std::string DisassembleFunction(const TMemoryView& view, Address entry, Address markAddress,
                                TFunctionInfo& info, bool formatted, int lineLimit,
                                const TRuntimeRoutines& routines, const TListingSymbols& symbols,
                                const TParseOptions& options) {
  ParseFunction(view, entry, routines, info, options);
  if (!info.Valid || info.Areas.empty()) return {};
  const TNamer namer(view, symbols);
  TListing listing(namer, info, routines, formatted);
  if (!listing.Build()) return ListingInternalError;
  const std::vector<TListingLine>& lines = listing.Lines();

  // Line-number column.
  std::size_t width = 0;
  if (symbols.LineNumberAt) {
    int line = 0;
    Address rangeStart = 0, rangeEnd = 0;
    symbols.LineNumberAt(entry + static_cast<Address>(info.CodeExtent) - 1, line, rangeStart,
                         rangeEnd);
    long long widest = line;
    if (widest <= 0) {
      line = 0;
      symbols.LineNumberAt(markAddress, line, rangeStart, rangeEnd);
      widest = 10LL * line;
    }
    width = DecimalDigits(widest);
  }

  std::vector<std::string> texts;
  texts.reserve(lines.size());
  std::size_t markIndex = lines.size();
  int previousLine = -1, line = 0;
  Address rangeStart = 0, rangeEnd = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const TListingLine& l = lines[i];
    std::string text;
    if (l.IsInstruction) {
      text = l.Text;
      if (l.At == markAddress && text.size() > 9) text[9] = '>';
    } else if (l.IsEmpty) {
      text = Hex8(l.At);
    } else {
      text = Hex8(l.At) + " " + l.Text;
    }
    if (markIndex == lines.size() && l.At >= markAddress && !l.IsLabel) markIndex = i;
    if (width && !l.IsLabel) {
      if (line == 0 || l.At < rangeStart || l.At >= rangeEnd) line = 0;
      symbols.LineNumberAt(l.At, line, rangeStart, rangeEnd);
      const bool differs = line != previousLine;
      // A failed lookup leaves the number out.
      std::string number = line > 0 ? std::to_string(line) : std::string(width, ' ');
      if (number.size() < width) number.insert(0, width - number.size(), '0');
      if (text.size() <= 9) {
        if (differs) text += " " + number;
      } else {
        text.insert(9, differs ? number + " " : std::string(width + 1, ' '));
      }
      previousLine = line;
    } else if (width && l.IsLabel && text.size() > 9) {
      text.insert(9, std::string(width + 1, ' '));
    }
    texts.push_back(std::move(text));
  }

  // Line limit around the marked line.
  std::size_t first = 0, last = texts.size();
  bool cutBefore = false, cutAfter = false;
  if (lineLimit > 0 && markIndex < texts.size()) {
    const std::size_t limit = static_cast<std::size_t>(lineLimit);
    // Everything before the mark stays unless it is more than a fifth
    // above the limit (a mark on line 7 with limit 5 keeps its 6 lines).
    if (markIndex > limit * 12 / 10) {
      first = markIndex - limit;
      cutBefore = true;
    }
    if (markIndex + 1 + limit < texts.size()) {
      last = markIndex + 1 + limit;
      cutAfter = true;
    }
  }
  std::string out;
  out.reserve(200);
  if (cutBefore) out += "[...]\r\n";
  for (std::size_t i = first; i < last; ++i) {
    out += texts[i];
    out += "\r\n";
  }
  if (cutAfter) {
    out += "[...]";
  } else if (out.size() >= 2) {
    out.resize(out.size() - 2);
  }
  return out;
}

}  // namespace corvan::crash
