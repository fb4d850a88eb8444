#pragma once
// Base64 with the standard alphabet and "=" padding (RFC 4648, section 4):
// SMTP authentication, mail attachments and HTTP Basic credentials.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan::crash {

// The encoded length of size bytes: 4 characters per started 3 bytes.
constexpr std::size_t Base64Length(std::size_t size) { return (size + 2) / 3 * 4; }

// Appends the encoding of data to out.
void AppendBase64(std::string& out, const std::uint8_t* data, std::size_t size);

inline std::string Base64(std::string_view text) {
  std::string out;
  AppendBase64(out, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return out;
}

}  // namespace corvan::crash
