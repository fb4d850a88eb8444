#pragma once
// The plain-text bug report and the small texts it is made of. Pure string
// work on values the Windows layer collected, so every format rule can be
// checked against golden texts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crash/core/SettingsLists.h"
#include "crash/core/SettingsVariables.h"

namespace corvan::crash {

// The report: one padded "name: value" line per header field, then per
// section an empty line, its title and its content lines. Lines end in
// CR LF; there is no line break after the last one.
std::string RenderReport(const FieldPairs& header, const FieldPairs& sections);

// Control characters other than CR and LF removed, trimmed, "Unknown" when
// empty; then trailing "." and "!" replaced by exactly one ".".
std::string NormaliseExceptionMessage(std::string_view message);
// CR LF pairs, CR and LF as one blank each, runs of blanks collapsed.
std::string SingleLine(std::string_view text);

// "2026-12-09, 11:43:00, 5ms": the "date/time" of a report.
std::string ReportDateTimeText(const LocalTime& time);
// "2026-12-09 11:43": the date of the executable's file.
std::string FileDateTimeText(const LocalTime& time);

struct CpuRegisters {
  std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0, eip = 0, esp = 0, ebp = 0;
};
std::string CpuRegistersText(const CpuRegisters& registers);

inline constexpr std::size_t kStackDumpBytes = 20 * 16;
// At most 20 lines of 16 bytes from start; bytes holds the readable part
// (size bytes, up to the end of the stack's region).
std::string StackDumpText(std::uint32_t start, const std::uint8_t* bytes, std::size_t size);

// "$0123abcd, $..., $...".
std::string CallstackCrcText(std::uint32_t crc1, std::uint32_t crc2, std::uint32_t crc3);
// The CRC-32 table step over the four bytes of value (least significant
// first), without initial or final inversion: how checksum 3 takes in the
// checksum 2 of every further thread.
std::uint32_t CallstackCrcStep(std::uint32_t crc, std::uint32_t value);

// The texts the reporter gives processor exceptions (the message of the
// exception object made for them).
struct FaultFacts {
  std::uint32_t code = 0;
  std::uint32_t address = 0;      // where it happened
  std::string moduleName;         // file name of the module there; empty: none
  bool write = false;             // access violation: a write
  std::uint32_t dataAddress = 0;  // access violation: the address accessed
};
std::string FaultMessage(const FaultFacts& fault);

// Whether a class list ("EFoo, EBar") names the class or an ancestor.
// classChain holds the class first, then its ancestors.
bool ClassListMatches(std::string_view classList, const std::vector<std::string>& classChain);

}  // namespace corvan::crash
