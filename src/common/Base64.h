#pragma once
// Base64 with the standard alphabet and "=" padding, no line breaks (RFC
// 4648, section 4): HTTP authentication, SMTP authentication and mail
// attachments. Portable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan {

// The encoded length of size bytes: 4 characters per started 3 bytes.
constexpr std::size_t Base64Length(std::size_t size) { return (size + 2) / 3 * 4; }

// Appends the encoding of data to out.
void AppendBase64(std::string& out, const std::uint8_t* data, std::size_t size);

inline std::string Base64Encode(std::string_view bytes) {
  std::string out;
  AppendBase64(out, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return out;
}

// Decodes as far as the text is Base64: blanks and line ends are skipped,
// the first "=" or any other character ends the data. A trailing group of
// one character carries no whole byte and is dropped. Never fails.
std::string Base64Decode(std::string_view text);

}  // namespace corvan
