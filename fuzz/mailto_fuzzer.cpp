// The mailto link carries the report's subject and text: the escaped text
// holds only printable ASCII and decodes back to the bytes given, and the
// command line never passes what CreateProcess takes.
// Input: command, recipients, subject and body, separated by NUL bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "crash/deliver/BugReportDelivery.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  std::abort();
}

std::string Unescaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) std::abort();
    out += static_cast<char>(HexValue(text[i + 1]) << 4 | HexValue(text[i + 2]));
    i += 2;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::crash;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> parts;
  std::size_t at = 0;
  while (parts.size() < 3) {
    const std::size_t nul = input.find('\0', at);
    if (nul == std::string_view::npos) break;
    parts.push_back(input.substr(at, nul - at));
    at = nul + 1;
  }
  parts.push_back(input.substr(at));
  while (parts.size() < 4) parts.insert(parts.begin(), std::string_view());

  const std::string escaped = EscapeMailtoText(parts[3]);
  for (const char c : escaped) {
    if (c <= 0x20 || c >= 0x7F) std::abort();
  }
  if (Unescaped(escaped) != parts[3]) std::abort();
  const std::string line = MailtoCommandLine(parts[0], std::string(parts[1]), parts[2], parts[3]);
  if (line.size() > 32766) std::abort();
  return 0;
}
