#include "crash/analysis/x86/X86Differential.h"

#include <Zydis/Zydis.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <unordered_map>

#include "crash/analysis/x86/CodeImage.h"
#include "crash/analysis/x86/DisAsmText.h"
#include "crash/analysis/x86/InstructionDecoder.h"

namespace corvan::crash::testing {
namespace {

struct TOracle {
  std::string Mnemonic;
  bool Valid = false;
  unsigned Length = 0;
  bool InScope = false;
  bool IsCall = false, IsJump = false, IsRelative = false;
  Address Destination = 0;   // relative target
  bool ThroughCell = false;  // FF /2../5 [disp32]
  Address Cell = 0;
};

bool InScopeExtension(ZydisISAExt ext) {
  switch (ext) {
    case ZYDIS_ISA_EXT_BASE:
    case ZYDIS_ISA_EXT_X87:
    case ZYDIS_ISA_EXT_MMX:
    case ZYDIS_ISA_EXT_AMD3DNOW:
    case ZYDIS_ISA_EXT_AMD3DNOW_PREFETCH:
    case ZYDIS_ISA_EXT_SSE:
    case ZYDIS_ISA_EXT_SSE2:
    case ZYDIS_ISA_EXT_SSE3:
    case ZYDIS_ISA_EXT_PAUSE:
    case ZYDIS_ISA_EXT_CLFSH:
    case ZYDIS_ISA_EXT_MONITOR:
    case ZYDIS_ISA_EXT_LONGMODE:
      return true;
    default:
      return false;
  }
}

class TZydis {
 public:
  TZydis() { ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32); }
  TOracle Decode(const std::uint8_t* bytes, std::size_t size, Address at) const {
    TOracle o;
    ZydisDecodedInstruction insn;
    if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoder_, nullptr, bytes, size, &insn)))
      return o;
    o.Valid = true;
    o.Mnemonic = ZydisMnemonicGetString(insn.mnemonic);
    o.Length = insn.length;
    o.InScope = InScopeExtension(insn.meta.isa_ext);
    o.IsCall = insn.meta.category == ZYDIS_CATEGORY_CALL;
    o.IsJump = insn.meta.category == ZYDIS_CATEGORY_COND_BR ||
               insn.meta.category == ZYDIS_CATEGORY_UNCOND_BR;
    if (insn.raw.imm[0].is_relative) {
      o.IsRelative = true;
      o.Destination = at + insn.length + static_cast<Address>(insn.raw.imm[0].value.s);
      if (insn.operand_width == 16) o.Destination &= 0xFFFF;
    } else if ((o.IsCall || o.IsJump) && insn.attributes & ZYDIS_ATTRIB_HAS_MODRM &&
               insn.raw.modrm.mod == 0 && insn.raw.modrm.rm == 5 && insn.address_width == 32) {
      o.ThroughCell = true;
      o.Cell = static_cast<Address>(insn.raw.disp.value);
    }
    return o;
  }

 private:
  ZydisDecoder decoder_;
};

// objdump's view of one image: address -> (length, bad).
struct TObjdumpLine {
  unsigned Length = 0;
  bool Bad = false;
};

std::unordered_map<Address, TObjdumpLine> RunObjdump(const std::string& path) {
  std::unordered_map<Address, TObjdumpLine> lines;
  const std::string command =
      "i686-w64-mingw32-objdump -d -w --no-show-raw-insn '" + path + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return lines;
  char buffer[1024];
  Address previous = 0;
  bool havePrevious = false;
  while (fgets(buffer, sizeof buffer, pipe.get())) {
    unsigned long address = 0;
    int consumed = 0;
    // Instruction lines are "address:<tab>text"; symbol and section lines
    // have no tab after the colon.
    if (std::sscanf(buffer, " %lx:%n", &address, &consumed) != 1 || consumed == 0 ||
        buffer[consumed] != '\t') {
      if (std::strstr(buffer, "Disassembly of section")) havePrevious = false;
      continue;
    }
    const std::string text(buffer + consumed);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) continue;
    const Address at = static_cast<Address>(address);
    if (havePrevious && at > previous && at - previous <= 16)
      lines[previous].Length = at - previous;
    TObjdumpLine& line = lines[at];
    line.Bad = text.find("(bad)") != std::string::npos;
    previous = at;
    havePrevious = true;
  }
  return lines;
}

// Our mnemonic from the text form, with the condition names spelt as
// Zydis spells them (a = nbe, ge = nl, g = nle).
std::string OurMnemonic(const TMemoryView& view, Address at) {
  InstructionInfo info;
  const TListingSymbols noSymbols;
  std::string text = DisassembleInstruction(view, at, nullptr, info, false, noSymbols);
  text = text.size() > 11 ? text.substr(11) : std::string();
  for (const char* prefix : {"lock ", "repne ", "rep "}) {
    if (text.rfind(prefix, 0) == 0) text.erase(0, std::strlen(prefix));
  }
  text = text.substr(0, text.find(' '));
  for (const char* stem : {"j", "set", "cmov"}) {
    if (text.rfind(stem, 0) != 0) continue;
    const std::string condition = text.substr(std::strlen(stem));
    if (condition == "a") text = std::string(stem) + "nbe";
    if (condition == "ge") text = std::string(stem) + "nl";
    if (condition == "g") text = std::string(stem) + "nle";
  }
  return text;
}

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", bytes[i]);
    if (i) s += ' ';
    s += b;
  }
  return s;
}

// The disagreement class: what differs and the opcode (with ModRM.reg for
// opcodes that use it as an extension).
std::string ClassOf(const std::string& what, const std::uint8_t* bytes, std::size_t n) {
  std::size_t i = 0;
  std::string prefixes;
  while (i < n && i < 14) {
    const std::uint8_t b = bytes[i];
    if (b == 0x66 || b == 0x67 || b == 0xF0 || b == 0xF2 || b == 0xF3 || b == 0x26 || b == 0x2E ||
        b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65) {
      if (b == 0x66 || b == 0xF2 || b == 0xF3 || b == 0xF0) {
        char p[4];
        std::snprintf(p, sizeof p, "%02X", b);
        if (prefixes.find(p) == std::string::npos) prefixes += std::string(p) + ".";
      }
      ++i;
      continue;
    }
    break;
  }
  if (i >= n) return what + ":prefixes";
  char key[32];
  if (bytes[i] == 0x0F && i + 1 < n) {
    const std::uint8_t op = bytes[i + 1];
    const bool reg = op == 0x00 || op == 0x01 || op == 0x18 || op == 0x0D ||
                     (op >= 0x71 && op <= 0x73) || op == 0xAE || op == 0xBA || op == 0xC7 ||
                     op == 0x1E || op == 0x1F;
    if (reg && i + 2 < n) {
      std::snprintf(key, sizeof key, "0F%02X/%d%s", op, (bytes[i + 2] >> 3) & 7,
                    bytes[i + 2] >= 0xC0 ? "r" : "m");
    } else {
      std::snprintf(key, sizeof key, "0F%02X", op);
    }
  } else {
    const std::uint8_t op = bytes[i];
    const bool reg = op == 0x8F || op == 0xC6 || op == 0xC7 || op == 0xFE || op == 0xFF ||
                     (op >= 0xD8 && op <= 0xDF) || op == 0xF6 || op == 0xF7 || op == 0x8C ||
                     op == 0x8E || op == 0x62 || op == 0xC4 || op == 0xC5;
    if (reg && i + 1 < n) {
      std::snprintf(key, sizeof key, "%02X/%d%s", op, (bytes[i + 1] >> 3) & 7,
                    bytes[i + 1] >= 0xC0 ? "r" : "m");
    } else {
      std::snprintf(key, sizeof key, "%02X", op);
    }
  }
  return what + ":" + prefixes + key;
}

void Compare(const TMemoryView& view, const TZydis& zydis, Address at, const std::uint8_t* bytes,
             std::size_t available, const TObjdumpLine* objdump, bool needObjdump, TDiffFigures& f,
             unsigned& advance) {
  const TOracle z = zydis.Decode(bytes, available, at);
  advance = z.Valid ? z.Length : 1;
  ++f.Instructions;
  InstructionInfo ours;
  DecodeInstruction(view, at, nullptr, false, ours);
  const unsigned ourLength = ours.After - ours.Start;
  auto disagree = [&](const std::string& what) {
    const std::string key = what.rfind("name:", 0) == 0
                                ? what
                                : ClassOf(what, bytes, std::min<std::size_t>(available, 15));
    if (f.Classes[key]++ == 0) {
      char where[16];
      std::snprintf(where, sizeof where, "%08x", at);
      f.Examples[key] =
          std::string(where) + ": " + Hex(bytes, std::min<std::size_t>(available, 15));
    }
  };
  if (z.Valid && !z.InScope) {
    ++f.LaterExtension;
    if (!ours.Valid) {
      ++f.LaterRejected;
    } else {
      disagree("later-ext-valid");
    }
    return;
  }
  if (needObjdump) {
    if (!objdump) return;
    if (objdump->Bad == z.Valid) return;
    if (z.Valid && objdump->Length != z.Length) return;
  }
  ++f.OraclesAgree;
  if (ours.Valid != z.Valid) {
    disagree(ours.Valid ? "ours-valid" : "ours-invalid");
    return;
  }
  if (z.Valid && ourLength != z.Length) {
    disagree("length");
    return;
  }
  if (z.Valid && (z.IsCall || z.IsJump || ours.IsCall || ours.IsJump)) {
    ++f.Transfers;
    bool same = true;
    const bool callToNext = z.IsRelative && z.Destination == at + z.Length;
    if (callToNext) {
      same = !ours.IsCall && !ours.IsJump && ours.Destination == 0;
    } else {
      same = ours.IsCall == z.IsCall && ours.IsJump == z.IsJump;
      if (same && z.IsRelative) same = ours.IsRelative && ours.Destination == z.Destination;
      if (same && z.ThroughCell) {
        Address cell = 0;
        same = ours.DestinationCell != 0 && view.ReadDword(ours.DestinationCell, cell) &&
               cell == z.Cell;
      }
    }
    if (same) {
      ++f.TransfersAgree;
    } else {
      disagree("transfer");
      return;
    }
  }
  ++f.Agree;
  if (z.Valid) {
    const std::string ours = OurMnemonic(view, at);
    if (ours != z.Mnemonic) disagree("name:" + z.Mnemonic + "/" + ours);
  }
}

}  // namespace

void TDiffFigures::Add(const TDiffFigures& o) {
  Instructions += o.Instructions;
  OraclesAgree += o.OraclesAgree;
  Agree += o.Agree;
  LaterExtension += o.LaterExtension;
  LaterRejected += o.LaterRejected;
  Transfers += o.Transfers;
  TransfersAgree += o.TransfersAgree;
  for (const auto& [key, count] : o.Classes) {
    if (Classes[key] == 0 || !Examples.count(key)) Examples[key] = o.Examples.at(key);
    Classes[key] += count;
  }
}

std::string TDiffFigures::Summary(const std::string& title) const {
  std::ostringstream out;
  auto pct = [](std::uint64_t a, std::uint64_t b) {
    return b ? 100.0 * double(a) / double(b) : 100.0;
  };
  out << title << ": " << Instructions << " positions, " << OraclesAgree
      << " where the oracles agree, " << Agree << " agreed (" << pct(Agree, OraclesAgree)
      << " %); transfers " << TransfersAgree << "/" << Transfers << "; later extensions rejected "
      << LaterRejected << "/" << LaterExtension << " (" << pct(LaterRejected, LaterExtension)
      << " %)\n";
  for (const auto& [key, count] : Classes) {
    out << "  " << key << "  x" << count << "  e.g. " << Examples.at(key) << "\n";
  }
  return out.str();
}

bool DiffImage(const std::string& path, bool withObjdump, TDiffFigures& f, std::string& error) {
  TImageFileView view;
  if (!view.Load(path, error)) return false;
  const TZydis zydis;
  std::unordered_map<Address, TObjdumpLine> objdump;
  if (withObjdump) objdump = RunObjdump(path);
  for (const TImageSection& section : view.Headers().Sections) {
    if (!section.IsCode() && !(section.Characteristics & 0x20000000)) continue;
    std::vector<std::uint8_t> bytes(section.VirtualSize);
    bytes.resize(view.ReadUpTo(section.Start, bytes.data(), bytes.size()));
    for (std::size_t offset = 0; offset < bytes.size();) {
      const Address at = section.Start + static_cast<Address>(offset);
      const auto line = objdump.find(at);
      unsigned advance = 1;
      Compare(view, zydis, at, bytes.data() + offset,
              std::min<std::size_t>(15, bytes.size() - offset),
              line == objdump.end() ? nullptr : &line->second, withObjdump, f, advance);
      offset += advance;
    }
  }
  return true;
}

void DiffRandom(std::uint32_t seed, std::size_t count, TDiffFigures& f) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(count + 16);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  TBlockMemoryView view;
  constexpr Address Base = 0x10000000;
  view.Add(Base, bytes);
  const TZydis zydis;
  for (std::size_t offset = 0; offset < count; ++offset) {
    unsigned advance = 0;
    Compare(view, zydis, Base + static_cast<Address>(offset), bytes.data() + offset, 15, nullptr,
            false, f, advance);
  }
}

std::map<std::string, std::string> LoadExplanations(const std::string& path) {
  std::map<std::string, std::string> explained;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find_first_of(" \t");
    if (space == std::string::npos) continue;
    const auto reason = line.find_first_not_of(" \t", space);
    explained[line.substr(0, space)] = reason == std::string::npos ? "" : line.substr(reason);
  }
  return explained;
}

}  // namespace corvan::crash::testing
