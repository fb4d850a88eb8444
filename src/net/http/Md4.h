#pragma once
// MD4 message digest (RFC 1320), for the NTLM password hash. Portable.
#include <array>
#include <cstdint>
#include <string_view>

namespace corvan::http {

using TMd4Digest = std::array<std::uint8_t, 16>;

TMd4Digest Md4(std::string_view data);

}  // namespace corvan::http
