#pragma once
// Left-aligned text columns of the module and process lists.
#include <string>
#include <string_view>

namespace corvan::crash {

// Appends value padded with blanks to width (never cut).
inline void AppendColumn(std::string& text, std::string_view value, std::size_t width) {
  text += value;
  if (value.size() < width) text.append(width - value.size(), ' ');
}

}  // namespace corvan::crash
