#include "net/socket/NetAddress.h"

#include <cctype>

#include "net/socket/NetSocketTypes.h"

namespace corvan::net {
namespace {

constexpr std::size_t kMaxPortOrProtoLength = 32;
constexpr int kMaxPortOrProtoNumber = 65535;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

// Reads the decimal number that starts after optional leading spaces and
// ends at the first non-digit. Returns -1 when it exceeds the limit, so
// a too large value is never wrapped into a valid-looking one.
int ReadLeadingNumber(std::string_view text, int limit) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  long value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > limit) return -1;
  }
  return static_cast<int>(value);
}

}  // namespace

std::string TrimText(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string LowerText(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool NetSocketIsDottedIP(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    if (i >= text.size() || !IsDigit(text[i])) return false;
    int value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
      value = value * 10 + (text[i] - '0');
      if (value > 255) return false;
    }
  }
  for (; i < text.size(); ++i) {
    if (text[i] != ' ') return false;
  }
  return true;
}

std::string FormatDottedIP(std::uint32_t address) {
  return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
         std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

namespace {

// A number (when the text starts with a digit) or a trimmed name; texts
// that are empty, too long or name a number above 65535 raise invalid.
TNumberOrName ParseNumberOrName(std::string_view text, const char* invalid) {
  if (text.empty() || text.size() >= kMaxPortOrProtoLength) throw ESocketException(invalid);
  TNumberOrName result;
  if (IsDigit(text[0])) {
    result.isNumber = true;
    result.number = ReadLeadingNumber(text, kMaxPortOrProtoNumber);
    if (result.number < 0) throw ESocketException(invalid);
  } else {
    result.name = TrimText(text);
  }
  return result;
}

}  // namespace

TNumberOrName ParsePortText(std::string_view port, std::string_view proto) {
  TNumberOrName result = ParseNumberOrName(port, "NetSocketResolvePort: Invalid Port.");
  if (proto.empty() || proto.size() >= kMaxPortOrProtoLength) {
    throw ESocketException("NetSocketResolvePort: Invalid Proto.");
  }
  return result;
}

TNumberOrName ParseProtoText(std::string_view proto) {
  TNumberOrName result = ParseNumberOrName(proto, "NetSocketResolveProto: Invalid Protocol.");
  if (result.isNumber) return result;
  result.name = LowerText(result.name);
  static constexpr struct {
    const char* name;
    int number;
  } kWellKnown[] = {{"tcp", 6}, {"udp", 17}, {"raw", 255}};
  for (const auto& known : kWellKnown) {
    if (result.name == known.name) {
      result.isNumber = true;
      result.number = known.number;
    }
  }
  return result;
}

int SocketTypeForProtocol(int protocolNumber) {
  switch (protocolNumber) {
    case 6:
      return 1;
    case 17:
      return 2;
    default:
      return 3;
  }
}

}  // namespace corvan::net
