#pragma once
// NTLM version 1 messages of HTTP authentication: the negotiate message
// (type 1), the parsing of the server's challenge (type 2) and the
// authenticate message (type 3). Texts are Base64 as they go into and come
// out of the "Authorization" headers. Portable.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan::http {

struct TNTLM_Msg2_Info {
  bool ServerResponseOk = false;  // a non-empty message was decoded
  std::array<std::uint8_t, 8> Challenge{};
  std::u16string TargetName;
  std::u16string ServerName;  // target information item 1
  std::u16string DomainName;  // target information item 2
};

// Always the same 32 bytes: no domain, no workstation.
std::string NtlmMessage1();

// Reads only the bytes the message has: fields that lie (partly) beyond
// its end are cut to what exists, or left empty and zero. Never fails.
TNTLM_Msg2_Info NtlmParseMessage2(std::string_view base64);

// The NT response to a challenge (24 bytes).
std::string NtlmNtResponse(std::string_view password, const std::array<std::uint8_t, 8>& challenge);

// Names are widened byte by byte (no code-page conversion). The LM response
// is 24 zero bytes: only the NT response is sent.
std::string NtlmMessage3(std::string_view domain, std::string_view host, std::string_view user,
                         std::string_view password, const std::array<std::uint8_t, 8>& challenge);

}  // namespace corvan::http
