#pragma once
// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks), for
// the credentials of HTTP authentication. Portable.
#include <string>
#include <string_view>

namespace corvan::http {

std::string Base64Encode(std::string_view bytes);

// Decodes as far as the text is Base64: blanks and line ends are skipped,
// the first "=" or any other character ends the data. A trailing group of
// one character carries no whole byte and is dropped. Never fails.
std::string Base64Decode(std::string_view text);

}  // namespace corvan::http
