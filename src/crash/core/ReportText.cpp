#include "crash/core/ReportText.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "crash/core/ReportFields.h"
#include "crash/util/Crc32.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

bool IsBlank(char c) { return c == ' '; }
bool IsControlOrBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) out += "\r\n";
    out += lines[i];
  }
  return out;
}

std::string Digits(int value, int width) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
  return buffer;
}

}  // namespace

std::string SingleLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      c = ' ';
    }
    if (IsBlank(c) && !out.empty() && IsBlank(out.back())) continue;
    out += c;
  }
  return out;
}

std::string RenderReport(const FieldPairs& header, const FieldPairs& sections) {
  std::size_t width = 0;
  for (const auto& [name, value] : header) width = std::max(width, name.size());
  std::vector<std::string> lines;
  for (const auto& [name, value] : header) {
    std::string line = name;
    line.resize(width + 1, ' ');
    lines.push_back(line + ": " + SingleLine(value));
  }
  for (const auto& [title, content] : sections) {
    lines.emplace_back();
    lines.push_back(title.find(':') == std::string::npos ? title + ":" : title);
    std::size_t start = 0;
    for (;;) {
      std::size_t end = content.find_first_of("\r\n", start);
      if (end == std::string::npos) end = content.size();
      std::string_view line(content.data() + start, end - start);
      while (!line.empty() && IsControlOrBlank(line.back())) line.remove_suffix(1);
      lines.emplace_back(line.empty() ? std::string_view(".") : line);
      if (end == content.size()) break;
      start = end + (content.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
  }
  return JoinLines(lines);
}

std::string NormaliseExceptionMessage(std::string_view message) {
  std::string text;
  for (char c : message) {
    if (static_cast<unsigned char>(c) < ' ' && c != '\r' && c != '\n') continue;
    text += c;
  }
  text = TrimFieldValue(text);
  if (text.empty()) text = "Unknown";
  while (!text.empty() && (text.back() == '.' || text.back() == '!')) text.pop_back();
  return text + ".";
}

std::string ReportDateTimeText(const LocalTime& t) {
  return Digits(t.year, 4) + "-" + Digits(t.month, 2) + "-" + Digits(t.day, 2) + ", " +
         Digits(t.hour, 2) + ":" + Digits(t.minute, 2) + ":" + Digits(t.second, 2) + ", " +
         std::to_string(t.millisecond) + "ms";
}

std::string FileDateTimeText(const LocalTime& t) {
  return Digits(t.year, 4) + "-" + Digits(t.month, 2) + "-" + Digits(t.day, 2) + " " +
         Digits(t.hour, 2) + ":" + Digits(t.minute, 2);
}

std::string CpuRegistersText(const CpuRegisters& r) {
  const std::pair<const char*, std::uint32_t> lines[] = {
      {"eax", r.eax}, {"ebx", r.ebx}, {"ecx", r.ecx}, {"edx", r.edx}, {"esi", r.esi},
      {"edi", r.edi}, {"eip", r.eip}, {"esp", r.esp}, {"ebp", r.ebp}};
  std::vector<std::string> out;
  for (const auto& [name, value] : lines)
    out.push_back(std::string(name) + " = " + AddressText(value));
  return JoinLines(out);
}

std::string StackDumpText(std::uint32_t start, const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  size = std::min(size, kStackDumpBytes);
  std::vector<std::string> out;
  for (std::size_t lineStart = 0; lineStart < size; lineStart += 16) {
    std::string line = AddressText(start + static_cast<std::uint32_t>(lineStart)) + "  ";
    std::string chars;
    for (std::size_t i = 0; i < 16; ++i) {
      const std::size_t at = lineStart + i;
      if (i == 8) line += at < size ? "- " : "  ";
      if (at < size) {
        const std::uint8_t b = bytes[at];
        line += kHex[b >> 4];
        line += kHex[b & 15];
        line += ' ';
        chars += (b >= 33 && b <= 126) ? static_cast<char>(b) : '.';
      } else {
        line += "   ";
      }
    }
    out.push_back(line + " " + chars);
  }
  return JoinLines(out);
}

std::string CallstackCrcText(std::uint32_t crc1, std::uint32_t crc2, std::uint32_t crc3) {
  return "$" + AddressText(crc1) + ", $" + AddressText(crc2) + ", $" + AddressText(crc3);
}

std::uint32_t CallstackCrcStep(std::uint32_t crc, std::uint32_t value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return Crc32Update(crc, bytes, sizeof bytes);
}

std::string FaultMessage(const FaultFacts& fault) {
  switch (fault.code) {
    case 0xC0000005:
      if (fault.moduleName.empty()) return "Access Violation";
      return "Access violation at address " + HexText(fault.address) + " in module '" +
             fault.moduleName + "'. " + (fault.write ? "Write" : "Read") + " of address " +
             HexText(fault.dataAddress);
    case 0xC000008C:
      return "Range check error";
    case 0xC000008D:
    case 0xC0000093:
      return "Floating point underflow";
    case 0xC000008E:
      return "Floating point division by zero";
    case 0xC000008F:
    case 0xC0000090:
    case 0xC0000092:
      return "Invalid floating point operation";
    case 0xC0000091:
      return "Floating point overflow";
    case 0xC0000094:
      return "Division by zero";
    case 0xC0000095:
      return "Integer overflow";
    case 0xC0000096:
      return "Privileged instruction";
    case 0xC00000FD:
      return "Stack overflow";
    case 0xC000013A:
      return "Control-C hit";
    default: {
      char code[16];
      std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(fault.code));
      return std::string("External exception ") + code;
    }
  }
}

bool ClassListMatches(std::string_view classList, const std::vector<std::string>& classChain) {
  for (const std::string& entry : SplitText(classList, ',')) {
    const std::string name = TrimFieldValue(entry);
    if (name.empty()) continue;
    if (std::find(classChain.begin(), classChain.end(), name) != classChain.end()) return true;
  }
  return false;
}

}  // namespace corvan::crash
