#pragma once
// Reading an integer typed by the user. Portable: no Windows headers.
#include <optional>
#include <string_view>

namespace corvan::ui {

// Decimal integer with an optional sign, surrounded by optional blanks.
// Empty text, any other character, and values outside the range of int
// give no value, so a caller can never mistake junk for a number.
std::optional<int> ParseInteger(std::string_view text);

}  // namespace corvan::ui
