#include "crash/util/Base64.h"

namespace corvan::crash {

void AppendBase64(std::string& out, const std::uint8_t* data, std::size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
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

}  // namespace corvan::crash
