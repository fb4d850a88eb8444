#include "common/Base64.h"

namespace corvan {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

void AppendBase64(std::string& out, const std::uint8_t* data, std::size_t size) {
  const std::size_t start = out.size();
  out.resize(start + Base64Length(size));
  char* to = out.data() + start;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = std::uint32_t{data[i]} << 16 | data[i + 1] << 8 | data[i + 2];
    *to++ = kAlphabet[v >> 18];
    *to++ = kAlphabet[v >> 12 & 63];
    *to++ = kAlphabet[v >> 6 & 63];
    *to++ = kAlphabet[v & 63];
  }
  if (i < size) {
    const bool two = i + 1 < size;
    const std::uint32_t v = std::uint32_t{data[i]} << 16 | (two ? data[i + 1] << 8 : 0);
    *to++ = kAlphabet[v >> 18];
    *to++ = kAlphabet[v >> 12 & 63];
    *to++ = two ? kAlphabet[v >> 6 & 63] : '=';
    *to++ = '=';
  }
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned accumulator = 0;
  int bits = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    const int sextet = SextetOf(c);
    if (sextet < 0) break;  // "=" or anything else ends the data
    accumulator = (accumulator << 6) | static_cast<unsigned>(sextet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((accumulator >> bits) & 0xFF);
    }
  }
  return out;
}

}  // namespace corvan
