// Arbitrary text as an NTLM challenge header value: the parser must read
// only the bytes it decoded and never fail, and the authenticate message
// built from what it found must have its fixed layout.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/Base64.h"
#include "net/http/NtlmMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::http;
  using corvan::Base64Decode, corvan::Base64Encode;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Half the runs take the input as the decoded message itself, so that
  // the message layout is explored directly.
  const bool raw = size > 0 && (data[0] & 1);
  const TNTLM_Msg2_Info info = NtlmParseMessage2(raw ? Base64Encode(text.substr(1)) : text);
  if (info.TargetName.size() > size || info.ServerName.size() > size ||
      info.DomainName.size() > size) {
    std::abort();
  }
  const std::string message = Base64Decode(NtlmMessage3("", "HOST", "user", "pw", info.Challenge));
  if (message.size() != 64 + 8 + 8 + 48) std::abort();
  return 0;
}
