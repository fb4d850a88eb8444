#include "crash/analysis/x86/OpcodeTables.h"

#include <algorithm>

namespace corvan::crash {
namespace {

using namespace opflag;

struct Row {
  std::uint16_t Flags;
  std::string_view Name;
};

constexpr Row Bad{Invalid, ""};

// Operand shapes that recur across the maps.
constexpr std::uint16_t EbGb = WriteRm | Swap | RmByte | RegByte;  // 0x4211
constexpr std::uint16_t EvGv =
    WriteRm | Swap | OpSizeRm | OpSizeReg | RmDword | RegDword;                       // 0x42E4
constexpr std::uint16_t GbEb = WriteReg | RmByte | RegByte;                           // 0x2011
constexpr std::uint16_t GvEv = WriteReg | OpSizeRm | OpSizeReg | RmDword | RegDword;  // 0x20E4
constexpr std::uint16_t AlIb = WriteEax | ImmByte | ImplAl;                           // 0x8401
constexpr std::uint16_t EaxIv = WriteEax | ImmOpSize | OpSizeReg | ImplEax;           // 0x8C42
constexpr std::uint16_t ReadOnly = static_cast<std::uint16_t>(~WriteMask);
constexpr std::uint16_t Jcc8 = Relative | ImmByte;                     // 0x1400
constexpr std::uint16_t Jcc32 = Relative | ImmOpSize;                  // 0x1C00
constexpr std::uint16_t Vx = RmOword | RegXmm;                         // xmm, xmm/m128
constexpr std::uint16_t Pq = OpSizeRm | OpSizeReg | RmQword | RegMmx;  // mm, mm/m64 (66: xmm)

#define ALU(name)                                                                            \
  Row{EbGb, name}, Row{EvGv, name}, Row{GbEb, name}, Row{GvEv, name}, Row{AlIb, name}, Row { \
    EaxIv, name                                                                              \
  }

constexpr std::array<Row, 256> OneByteRows = {{
    // 0x00
    ALU("add"),
    {0, "push    %seg"},
    {0, "pop     %seg"},
    ALU("or"),
    {0, "push    %seg"},
    Bad,
    // 0x10
    ALU("adc"),
    {0, "push    %seg"},
    {0, "pop     %seg"},
    ALU("sbb"),
    {0, "push    %seg"},
    {0, "pop     %seg"},
    // 0x20
    ALU("and"),
    {0, ""},
    {WriteEax, "daa"},
    ALU("sub"),
    {0, ""},
    {WriteEax, "das"},
    // 0x30
    ALU("xor"),
    {0, ""},
    {WriteEax, "aaa"},
    {EbGb & ReadOnly, "cmp"},
    {EvGv & ReadOnly, "cmp"},
    {GbEb & ReadOnly, "cmp"},
    {GvEv & ReadOnly, "cmp"},
    {AlIb & ReadOnly, "cmp"},
    {EaxIv & ReadOnly, "cmp"},
    {0, ""},
    {WriteEax, "aas"},
// 0x40 inc, dec, push, pop r32
#define R8(flags, name)                                                                     \
  Row{flags, name}, Row{flags, name}, Row{flags, name}, Row{flags, name}, Row{flags, name}, \
      Row{flags, name}, Row{flags, name}, Row {                                             \
    flags, name                                                                             \
  }
    R8(WriteOpReg | OpSizeReg | OpDwordReg, "inc"),
    R8(WriteOpReg | OpSizeReg | OpDwordReg, "dec"),
    R8(OpSizeReg | OpDwordReg, "push"),
    R8(WriteOpReg | OpSizeReg | OpDwordReg, "pop"),
    // 0x60
    {0, "pushad/pusha"},
    {0, "popad/popa"},
    {RmQword | RegDword, "bound"},
    {WriteRm | Swap | RmWord | RegWord, "arpl"},
    {0, ""},
    {0, ""},
    {0, ""},
    {0, ""},
    {ImmOpSize, "push"},
    {WriteReg | ImmOpSize | OpSizeRm | OpSizeReg | RmDword | RegDword, "imul"},
    {ImmByte, "push"},
    {WriteReg | ImmByte | OpSizeRm | OpSizeReg | RmDword | RegDword, "imul"},
    {0, "insb"},
    {0, "insd/insw"},
    {0, "outsb"},
    {0, "outsd/outsw"},
    // 0x70
    R8(Jcc8, "j%cc"),
    R8(Jcc8, "j%cc"),
    // 0x80
    {ShowSize | ImmByte | RmByte, "add|or|adc|sbb|and|sub|xor|cmp"},
    {ShowSize | ImmOpSize | OpSizeRm | RmDword, "add|or|adc|sbb|and|sub|xor|cmp"},
    {ShowSize | ImmByte | RmByte, "add|or|adc|sbb|and|sub|xor|cmp"},
    {ShowSize | ImmByte | OpSizeRm | RmDword, "add|or|adc|sbb|and|sub|xor|cmp"},
    {EbGb & ReadOnly, "test"},
    {EvGv & ReadOnly, "test"},
    {WriteRegRm | Swap | RmByte | RegByte, "xchg"},
    {WriteRegRm | Swap | OpSizeRm | OpSizeReg | RmDword | RegDword, "xchg"},
    {EbGb, "mov"},
    {EvGv, "mov"},
    {GbEb, "mov"},
    {GvEv, "mov"},
    {WriteRm | Swap | OpSizeRm | RmDword | RegSegOrCtl, "mov"},
    {WriteReg | OpSizeReg | RmDword | RegDword, "lea"},
    {RmWord | RegSegOrCtl, "mov"},
    {WriteRm | ShowSize | OpSizeRm | RmDword, "pop"},
    // 0x90
    {0, "nop///pause"},
    {WriteEaxOpReg | OpSizeReg | EaxAndOpReg, "xchg"},
    {WriteEaxOpReg | OpSizeReg | EaxAndOpReg, "xchg"},
    {WriteEaxOpReg | OpSizeReg | EaxAndOpReg, "xchg"},
    {WriteEaxOpReg | OpSizeReg | EaxAndOpReg, "xchg"},
    {WriteEaxOpReg | OpSizeReg | EaxAndOpReg, "xchg"},
    {WriteEaxOpReg | OpSizeReg | EaxAndOpReg, "xchg"},
    {WriteEaxOpReg | OpSizeReg | EaxAndOpReg, "xchg"},
    {WriteEax, "cwde/cbw"},
    {0, "cdq/cwd"},
    {0, "call"},
    {0, "wait"},
    {0, "pushfd/pushf"},
    {0, "popfd/popf"},
    {0, "sahf"},
    {WriteEax, "lahf"},
    // 0xA0
    {WriteEax | ShowSize | ImplAl, "mov"},
    {WriteEax | ShowSize | OpSizeReg | ImplEax, "mov"},
    {Swap | ShowSize | ImplAl, "mov"},
    {Swap | ShowSize | OpSizeReg | ImplEax, "mov"},
    {0, "movsb"},
    {0, "movsd/movsw"},
    {0, "cmpsb"},
    {0, "cmpsd/cmpsw"},
    {ImmByte | ImplAl, "test"},
    {ImmOpSize | OpSizeReg | ImplEax, "test"},
    {0, "stosb"},
    {0, "stosd/stosw"},
    {WriteEax, "lodsb"},
    {WriteEax, "lodsd/lodsw"},
    {0, "scasb"},
    {0, "scasd/scasw"},
    // 0xB0
    R8(WriteOpReg | ImmByte | OpByteReg, "mov"),
    R8(WriteOpReg | ImmOpSize | OpSizeReg | OpDwordReg, "mov"),
    // 0xC0
    {WriteRm | ShowSize | ImmByte | RmByte, "rol|ror|rcl|rcr|shl|shr|sal|sar"},
    {WriteRm | ShowSize | ImmByte | OpSizeRm | RmDword, "rol|ror|rcl|rcr|shl|shr|sal|sar"},
    {ImmWord, "ret"},
    {0, "ret"},
    {WriteReg | OpSizeReg | RmDword | RegDword, "les"},
    {WriteReg | OpSizeReg | RmDword | RegDword, "lds"},
    {WriteRm | ShowSize | ImmByte | RmByte, "mov"},
    {WriteRm | ShowSize | ImmOpSize | OpSizeRm | RmDword, "mov"},
    {0, "enter"},
    {0, "leave"},
    {ImmWord, "retf"},
    {0, "retf"},
    {0, "int3"},
    {ImmByte, "int"},
    {0, "into"},
    {0, "iretd/iret"},
    // 0xD0
    {WriteRm | ShowSize | RmByte, "rol|ror|rcl|rcr|shl|shr|sal|sar"},
    {WriteRm | ShowSize | OpSizeRm | RmDword, "rol|ror|rcl|rcr|shl|shr|sal|sar"},
    {WriteRm | ShowSize | RmByte, "rol|ror|rcl|rcr|shl|shr|sal|sar"},
    {WriteRm | ShowSize | OpSizeRm | RmDword, "rol|ror|rcl|rcr|shl|shr|sal|sar"},
    {WriteEax | ImmByte, "aam"},
    {WriteEax | ImmByte, "aad"},
    {WriteEax, "salc"},
    {WriteEax, "xlat"},
    {RmGroup, "add|mul|com|comp|sub|subr|div|divr|add|mul|com|comp|sub|subr|div|divr"},
    {RmGroup,
     "ld||st|stp|ldenv|ldcw|nstenv|nstcw|ld|xch|nop|stp|chs-abs---tst-xam|"
     "ld1-ldl2t-ldl2e-ldpi-ldlg2-ldln2-ldz|2xm1-yl2x-ptan-patan-xtract-prem1-decstp-incstp|"
     "prem-yl2xp1-sqrt-sincos-rndint-scale-sin-cos"},
    {RmGroup, "iadd|imul|icom|icomp|isub|isubr|idiv|idivr|cmovb|cmove|cmovbe|cmovu||-ucompp||"},
    {RmGroup,
     "ild|isttp|ist|istp||ld||stp|cmovnb|cmovne|cmovnbe|cmovnu|"
     "neni-ndisi-nclex-ninit-setpm|ucomi|comi|"},
    {RmGroup, "add|mul|com|comp|sub|subr|div|divr|add|mul|com|comp|subr|sub|divr|div"},
    {RmGroup, "ld|isttp|st|stp|rstor||nsave|nstsw|free|xch|st|stp|ucom|ucomp||"},
    {RmGroup,
     "iadd|imul|icom|icomp|isub|isubr|idiv|idivr|addp|mulp|comp|compp|subrp|subp|divrp|divp"},
    {RmGroup, "ild|isttp|ist|istp|bld|ild|bstp|istp|freep|xch|stp|stp|nstsw  ax|ucomip|comip|"},
    // 0xE0
    {Jcc8, "loopne"},
    {Jcc8, "loope"},
    {Jcc8, "loop"},
    {Jcc8, "jecxz"},
    {WriteEax | ImmByte | ImplAl, "in"},
    {WriteEax | ImmByte | OpSizeReg | ImplEax, "in"},
    {Swap | ImmByte | ImplAl, "out"},
    {Swap | ImmByte | OpSizeReg | ImplEax, "out"},
    {Jcc32, "call"},
    {Jcc32, "jmp"},
    {0, "jmp"},
    {Jcc8, "jmp"},
    {WriteEax | AccAndDx, "in"},
    {WriteEax | OpSizeReg | AccAndDx, "in"},
    {Swap | AccAndDx, "out"},
    {Swap | OpSizeReg | AccAndDx, "out"},
    // 0xF0
    {0, ""},
    {0, "int1"},
    {0, ""},
    {0, ""},
    {0, "hlt"},
    {0, "cmc"},
    {RmGroup, "test||not|neg|mul|imul|div|idiv"},
    {RmGroup, "test||not|neg|mul|imul|div|idiv"},
    {0, "clc"},
    {0, "stc"},
    {0, "cli"},
    {0, "sti"},
    {0, "cld"},
    {0, "std"},
    {WriteRm | ShowSize | RmByte, "inc|dec"},
    {ShowSize | OpSizeRm | RmDword, "inc|dec|call|call|jmp|jmp|push"},
}};

constexpr std::array<Row, 256> TwoByteRows = {{
    // 0x00
    {ShowSize | RmWord, "sldt|str|lldt|ltr|verr|verw"},
    {RmDword, "sgdt|sidt|lgdt|lidt|smsw||lmsw|invlpg||monitor-mwait|||smsw||lmsw|"},
    {WriteReg | OpSizeReg | RmWord | RegDword, "lar"},
    {WriteReg | OpSizeReg | RmWord | RegDword, "lsl"},
    Bad,
    {0, "syscall"},
    {0, "clts"},
    {0, "sysret"},
    {0, "invd"},
    {0, "wbinvd"},
    Bad,
    {0, "ud2"},
    Bad,
    {RmByte, "prefetch|prefetchw"},
    {0, "femms"},
    {ImmByte | RmQword | RegMmx, ""},
    // 0x10
    {Vx, "movuPS//movPS/movPS"},
    {Swap | Vx, "movuPS//movPS/movPS"},
    {RmQword | RegXmm, "movhlPS:movlPS/movlPS/movddup/movsldup"},
    {Swap | RmQword | RegXmm, "movlPS"},
    {Vx, "unpcklPS"},
    {Vx, "unpckhPS"},
    {RmQword | RegXmm, "movlhPS:movhPS/movhPS//movshdup"},
    {Swap | RmQword | RegXmm, "movhPS"},
    {RmByte, "prefetchnta|prefetcht0|prefetcht1|prefetcht2|prefetcht3"},
    Bad,
    Bad,
    Bad,
    Bad,
    Bad,
    Bad,
    {ShowSize | OpSizeRm | RmDword, "nop"},
    // 0x20
    {WriteRm | Swap | RmDword | RegSegOrCtl, "mov"},
    {WriteRm | Swap | RmDword | RegSegOrCtl, "mov"},
    {RmDword | RegSegOrCtl, "mov"},
    {RmDword | RegSegOrCtl, "mov"},
    Bad,
    Bad,
    Bad,
    Bad,
    {Vx, "movaPS"},
    {Swap | Vx, "movaPS"},
    {RmQword | RegXmm, "cvtpi2ps/cvtpi2pd/cvtsi2sd/cvtsi2ss"},
    {Swap | Vx, "movntPS"},
    {RmQword | RegMmx, "cvttps2pi/cvttpd2pi/cvttsd2si/cvttss2si"},
    {RmQword | RegMmx, "cvtps2pi/cvtpd2pi/cvtsd2si/cvtss2si"},
    {Vx, "ucomisS"},
    {Vx, "comisS"},
    // 0x30
    {0, "wrmsr"},
    {WriteEax, "rdtsc"},
    {WriteEax, "rdmsr"},
    {WriteEax, "rdpmc"},
    {0, "sysenter"},
    {0, "sysexit"},
    Bad,
    Bad,
    Bad,
    Bad,
    Bad,
    Bad,
    Bad,
    Bad,
    Bad,
    Bad,
    // 0x40
    R8(GvEv, "cmov%cc"),
    R8(GvEv, "cmov%cc"),
    // 0x50
    {WriteReg | RmOword | RegDword, "movmskPS"},
    {Vx, "sqrtPS"},
    {Vx, "rsqrtPS"},
    {Vx, "rcpPS"},
    {Vx, "andPS"},
    {Vx, "andnPS"},
    {Vx, "orPS"},
    {Vx, "xorPS"},
    {Vx, "addPS"},
    {Vx, "mulPS"},
    {Vx, "cvtps2pd/cvtpd2ps/cvtsd2ss/cvtss2sd"},
    {Vx, "cvtdq2ps/cvtps2dq//cvttps2dq"},
    {Vx, "subPS"},
    {Vx, "minPS"},
    {Vx, "divPS"},
    {Vx, "maxPS"},
    // 0x60
    {Pq, "punpcklbw"},
    {Pq, "punpcklwd"},
    {Pq, "punpckldq"},
    {Pq, "packsswb"},
    {Pq, "pcmpgtb"},
    {Pq, "pcmpgtw"},
    {Pq, "pcmpgtd"},
    {Pq, "packuswb"},
    {Pq, "punpckhbw"},
    {Pq, "punpckhwd"},
    {Pq, "punpckhdq"},
    {Pq, "packssdw"},
    {Pq, "/punpcklqdq"},
    {Pq, "/punpckhqdq"},
    {OpSizeReg | RmDword | RegMmx, "movd"},
    {Pq, "movq/movdqa//movdqu"},
    // 0x70
    {ImmByte | Pq, "pshufw/pshufd/pshuflw/pshufhw"},
    {ImmByte | OpSizeRm | RmQword, "||||||||||psrlw||psraw||psllw|"},
    {ImmByte | OpSizeRm | RmQword, "||||||||||psrld||psrad||pslld|"},
    {ImmByte | OpSizeRm | RmQword, "||||||||||psrlq|psrldq|||psllq|pslldq"},
    {Pq, "pcmpeqb"},
    {Pq, "pcmpeqw"},
    {Pq, "pcmpeqd"},
    {0, "emms"},
    Bad,
    Bad,
    Bad,
    Bad,
    {Vx, "/haddpd/haddps"},
    {Vx, "/hsubpd/hsubps"},
    {Swap | OpSizeReg | RmDword | RegMmx, "movd/movd//movq"},
    {Swap | Pq, "movq/movdqa//movdqu"},
    // 0x80
    R8(Jcc32, "j%cc"),
    R8(Jcc32, "j%cc"),
    // 0x90
    R8(WriteRm | ShowSize | RmByte, "set%cc"),
    R8(WriteRm | ShowSize | RmByte, "set%cc"),
    // 0xA0
    {0, "push    %seg"},
    {0, "pop     %seg"},
    {0, "cpuid"},
    {EvGv & ReadOnly, "bt"},
    {WriteRm | Swap | ImmByte | OpSizeRm | OpSizeReg | RmDword | RegDword, "shld"},
    {EvGv, "shld"},
    Bad,
    Bad,
    {0, "push    %seg"},
    {0, "pop     %seg"},
    {0, "rsm"},
    {EvGv, "bts"},
    {WriteRm | Swap | ImmByte | OpSizeRm | OpSizeReg | RmDword | RegDword, "shrd"},
    {EvGv, "shrd"},
    {RmDword, "fxsave|fxrstor|ldmxcsr|stmxcsr||||clflush||||||lfence|mfence|sfence"},
    {GvEv, "imul"},
    // 0xB0
    {WriteEaxRm | Swap | RmByte | RegByte, "cmpxchg"},
    {WriteEaxRm | Swap | OpSizeRm | OpSizeReg | RmDword | RegDword, "cmpxchg"},
    {WriteReg | OpSizeReg | RmDword | RegDword, "lss"},
    {EvGv, "btr"},
    {WriteReg | OpSizeReg | RmDword | RegDword, "lfs"},
    {WriteReg | OpSizeReg | RmDword | RegDword, "lgs"},
    {WriteReg | ShowSize | OpSizeReg | RmByte | RegDword, "movzx"},
    {WriteReg | ShowSize | OpSizeReg | RmWord | RegDword, "movzx"},
    Bad,
    Bad,
    {ShowSize | ImmByte | OpSizeRm | RmDword, "||||bt|bts|btr|btc"},
    {EvGv, "btc"},
    {GvEv, "bsf"},
    {GvEv, "bsr"},
    {WriteReg | ShowSize | OpSizeReg | RmByte | RegDword, "movsx"},
    {WriteReg | ShowSize | OpSizeReg | RmWord | RegDword, "movsx"},
    // 0xC0
    {WriteRegRm | Swap | RmByte | RegByte, "xadd"},
    {WriteRegRm | Swap | OpSizeRm | OpSizeReg | RmDword | RegDword, "xadd"},
    {ImmByte | Vx, "cmpPS"},
    {Swap | RmDword | RegDword, "movnti"},
    {ImmByte | OpSizeReg | RmDword | RegMmx, "pinsrw"},
    {WriteReg | ImmByte | OpSizeRm | RmQword | RegDword, "pextrw"},
    {ImmByte | Vx, "shufPS"},
    {WriteEax | ShowSize | RmQword, "|cmpxchg8b"},
    R8(WriteOpReg | OpDwordReg, "bswap"),
    // 0xD0
    {Vx, "/addsubpd/addsubps"},
    {Pq, "psrlw"},
    {Pq, "psrld"},
    {Pq, "psrlq"},
    {Pq, "paddq"},
    {Pq, "pmullw"},
    {Swap | Pq, "/movq/movdq2q/movq2dq"},
    {WriteReg | OpSizeRm | RmQword | RegDword, "pmovmskb"},
    {Pq, "psubusb"},
    {Pq, "psubusw"},
    {Pq, "pminub"},
    {Pq, "pand"},
    {Pq, "paddusb"},
    {Pq, "paddusw"},
    {Pq, "pmaxub"},
    {Pq, "pandn"},
    // 0xE0
    {Pq, "pavgb"},
    {Pq, "psraw"},
    {Pq, "psrad"},
    {Pq, "pavgw"},
    {Pq, "pmulhuw"},
    {Pq, "pmulhw"},
    {Vx, "/cvttpd2dq/cvtpd2dq/cvtdq2pd"},
    {Swap | Pq, "movntq/movntdq"},
    {Pq, "psubsb"},
    {Pq, "psubsw"},
    {Pq, "pminsw"},
    {Pq, "por"},
    {Pq, "paddsb"},
    {Pq, "paddsw"},
    {Pq, "pmaxsw"},
    {Pq, "pxor"},
    // 0xF0
    {Vx, "//lddqu"},
    {Pq, "psllw"},
    {Pq, "pslld"},
    {Pq, "psllq"},
    {Pq, "pmuludq"},
    {Pq, "pmaddwd"},
    {Pq, "psadbw"},
    {Pq, "maskmovq/maskmovdqu"},
    {Pq, "psubb"},
    {Pq, "psubw"},
    {Pq, "psubd"},
    {Pq, "psubq"},
    {Pq, "paddb"},
    {Pq, "paddw"},
    {Pq, "paddd"},
    Bad,
}};
#undef ALU
#undef R8

template <std::size_t N>
constexpr std::array<std::uint16_t, N> FlagsOf(const std::array<Row, N>& rows) {
  std::array<std::uint16_t, N> flags{};
  for (std::size_t i = 0; i < N; ++i) flags[i] = rows[i].Flags;
  return flags;
}

// The mnemonic text: every distinct non-empty name of both maps, sorted.
constexpr std::size_t MaxNames = 512;
struct NameList {
  std::array<std::string_view, MaxNames> Names{};
  std::size_t Count = 0;
};

constexpr NameList CollectNames() {
  NameList list;
  for (const auto* rows : {&OneByteRows, &TwoByteRows}) {
    for (const Row& row : *rows) {
      if (row.Name.empty()) continue;
      bool seen = false;
      for (std::size_t i = 0; i < list.Count; ++i) seen = seen || list.Names[i] == row.Name;
      if (!seen) list.Names[list.Count++] = row.Name;
    }
  }
  std::sort(list.Names.begin(), list.Names.begin() + static_cast<std::ptrdiff_t>(list.Count));
  return list;
}
constexpr NameList SortedNames = CollectNames();
static_assert(SortedNames.Count < 256, "mnemonic indexes are bytes");

constexpr std::size_t TextLength() {
  std::size_t length = 0;
  for (std::size_t i = 0; i < SortedNames.Count; ++i) length += SortedNames.Names[i].size() + 1;
  return length;
}

// Entries separated by NUL, addressed by 1-based index.
constexpr std::array<char, TextLength()> MnemonicText = [] {
  std::array<char, TextLength()> text{};
  std::size_t at = 0;
  for (std::size_t i = 0; i < SortedNames.Count; ++i) {
    for (char c : SortedNames.Names[i]) text[at++] = c;
    text[at++] = '\0';
  }
  return text;
}();

constexpr std::array<std::uint16_t, 256> MnemonicOffsets = [] {
  std::array<std::uint16_t, 256> offsets{};
  std::size_t at = 0;
  for (std::size_t i = 0; i < SortedNames.Count; ++i) {
    offsets[i + 1] = static_cast<std::uint16_t>(at);
    at += SortedNames.Names[i].size() + 1;
  }
  return offsets;
}();

constexpr std::array<std::uint8_t, 256> IndexesOf(const std::array<Row, 256>& rows) {
  std::array<std::uint8_t, 256> indexes{};
  for (std::size_t op = 0; op < 256; ++op) {
    if (rows[op].Name.empty()) continue;
    for (std::size_t i = 0; i < SortedNames.Count; ++i) {
      if (SortedNames.Names[i] == rows[op].Name) indexes[op] = static_cast<std::uint8_t>(i + 1);
    }
  }
  return indexes;
}

constexpr std::array<std::uint32_t, 6> SuffixBits(std::initializer_list<unsigned> suffixes) {
  std::array<std::uint32_t, 6> bits{};
  for (unsigned s : suffixes) bits[(s - 8) / 32] |= 1u << ((s - 8) % 32);
  return bits;
}

struct SuffixName {
  std::uint8_t Suffix;
  std::string_view Name;
};
constexpr std::array<SuffixName, 24> ThreeDNowNames = {{
    {0x0C, "pi2fw"},    {0x0D, "pi2fd"},   {0x1C, "pf2iw"},   {0x1D, "pf2id"},   {0x8A, "pfnacc"},
    {0x8E, "pfpnacc"},  {0x90, "pfcmpge"}, {0x94, "pfmin"},   {0x96, "pfrcp"},   {0x97, "pfrsqrt"},
    {0x9A, "pfsub"},    {0x9E, "pfadd"},   {0xA0, "pfcmpgt"}, {0xA4, "pfmax"},   {0xA6, "pfrcpit1"},
    {0xA7, "pfrsqit1"}, {0xAA, "pfsubr"},  {0xAE, "pfacc"},   {0xB0, "pfcmpeq"}, {0xB4, "pfmul"},
    {0xB6, "pfrcpit2"}, {0xB7, "pmulhrw"}, {0xBB, "pswapd"},  {0xBF, "pavgusb"},
}};

}  // namespace

const std::array<std::uint16_t, 256> OneByteFlags = FlagsOf(OneByteRows);
const std::array<std::uint16_t, 256> TwoByteFlags = FlagsOf(TwoByteRows);

const std::array<GroupRow, 10> GroupFlags = {{
    {0xF6, 0x0510, 0xFFFF, 0x4110, 0x4110, 0x8110, 0x8110, 0x8110, 0x8110, 0x0510, 0xFFFF, 0x4110,
     0x4110, 0x8110, 0x8110, 0x8110, 0x8110},
    {0xF7, 0x0DA0, 0xFFFF, 0x41A0, 0x41A0, 0x81A0, 0x81A0, 0x81A0, 0x81A0, 0x0DA0, 0xFFFF, 0x41A0,
     0x41A0, 0x81A0, 0x81A0, 0x81A0, 0x81A0},
    {0xD8, 0x0120, 0x0120, 0x0120, 0x0120, 0x0120, 0x0120, 0x0120, 0x0120, 0x0036, 0x0036, 0x0030,
     0x0030, 0x0036, 0x0036, 0x0036, 0x0036},
    {0xD9, 0x0120, 0xFFFF, 0x0120, 0x0120, 0x0110, 0x0118, 0x0110, 0x0118, 0x0030, 0x0030, 0x0000,
     0x0030, 0x0000, 0x0000, 0x0000, 0x0000},
    {0xDA, 0x0120, 0x0120, 0x0120, 0x0120, 0x0120, 0x0120, 0x0120, 0x0120, 0x0036, 0x0036, 0x0036,
     0x0036, 0xFFFF, 0x0000, 0xFFFF, 0xFFFF},
    {0xDB, 0x0120, 0x0120, 0x0120, 0x0120, 0xFFFF, 0x0130, 0xFFFF, 0x0130, 0x0036, 0x0036, 0x0036,
     0x0036, 0x0000, 0x0036, 0x0036, 0xFFFF},
    {0xDC, 0x0128, 0x0128, 0x0128, 0x0128, 0x0128, 0x0128, 0x0128, 0x0128, 0x0236, 0x0236, 0x0030,
     0x0030, 0x0236, 0x0236, 0x0236, 0x0236},
    {0xDD, 0x0128, 0x0128, 0x0128, 0x0128, 0x0110, 0xFFFF, 0x0110, 0x0118, 0x0030, 0x0030, 0x0030,
     0x0030, 0x0030, 0x0030, 0xFFFF, 0xFFFF},
    {0xDE, 0x0118, 0x0118, 0x0118, 0x0118, 0x0118, 0x0118, 0x0118, 0x0118, 0x0236, 0x0236, 0x0030,
     0x0236, 0x0236, 0x0236, 0x0236, 0x0236},
    {0xDF, 0x0118, 0x0118, 0x0118, 0x0118, 0x0130, 0x0128, 0x0130, 0x0128, 0x0030, 0x0030, 0x0030,
     0x0030, 0x0000, 0x0036, 0x0036, 0xFFFF},
}};

const std::array<std::uint32_t, 6> ThreeDNowSuffixes =
    SuffixBits({0x0C, 0x0D, 0x1C, 0x1D, 0x8A, 0x8E, 0x90, 0x94, 0x96, 0x97, 0x9A, 0x9E,
                0xA0, 0xA4, 0xA6, 0xA7, 0xAA, 0xAE, 0xB0, 0xB4, 0xB6, 0xB7, 0xBB, 0xBF});

bool IsThreeDNowSuffix(std::uint8_t suffix) {
  if (suffix < 8 || suffix > 191) return false;
  const unsigned bit = suffix - 8u;
  return (ThreeDNowSuffixes[bit / 32] >> (bit % 32)) & 1u;
}

const std::array<std::uint8_t, 256> OneByteMnemonic = IndexesOf(OneByteRows);
const std::array<std::uint8_t, 256> TwoByteMnemonic = IndexesOf(TwoByteRows);

unsigned MnemonicCount() { return static_cast<unsigned>(SortedNames.Count); }

std::string_view MnemonicEntry(unsigned index) {
  if (index == 0 || index > SortedNames.Count) return {};
  return std::string_view(MnemonicText.data() + MnemonicOffsets[index]);
}

const std::array<std::string_view, 16> ConditionNames = {
    "o", "no", "b", "nb", "z", "nz", "be", "a", "s", "ns", "p", "np", "l", "ge", "le", "g"};

const std::array<std::array<std::string_view, 8>, 4> RegisterNames = {{
    {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"},
    {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"},
    {"es", "cs", "ss", "ds", "fs", "gs", "", ""},
    {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"},
}};

std::string_view ThreeDNowName(std::uint8_t suffix) {
  for (const SuffixName& entry : ThreeDNowNames) {
    if (entry.Suffix == suffix) return entry.Name;
  }
  return {};
}

}  // namespace corvan::crash
