#pragma once
// Stored SMTP and HTTP passwords: enciphered with a key made of the same
// protocol's account and server, written as hexadecimal text. It keeps a
// password out of a plain look at the executable, nothing more.
#include <optional>
#include <string>
#include <string_view>

namespace corvan::crash {

std::string EncipherPassword(std::string_view clear, std::string_view account,
                             std::string_view server);
// nullopt when the stored text is not in the enciphered form.
std::optional<std::string> DecipherPassword(std::string_view stored, std::string_view account,
                                            std::string_view server);

}  // namespace corvan::crash
