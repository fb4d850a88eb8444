#pragma once
// The reporter's settings resource: a binary property stream
//   "TPF0", 10 "TZelExcept", 9 "zelExcept", records..., 0
// where each record is name length (1..255), name, value tag, value.
// Parsing never reads outside the given bytes: a record that does not fit
// ends the stream like an unknown tag, keeping the records before it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvan::crash {

// Stored as a byte in the shared property records: the values are fixed.
enum class SettingType : std::uint8_t { String = 0, Integer = 1, Boolean = 2 };

// One setting as the parser, the writer and the settings source file see it.
struct Setting {
  std::string name;
  SettingType type = SettingType::String;
  bool boolValue = false;
  std::int32_t intValue = 0;
  std::string strValue;

  static Setting Bool(std::string name, bool value);
  static Setting Int(std::string name, std::int32_t value);
  static Setting Str(std::string name, std::string value);
  bool operator==(const Setting&) const = default;
};

// Converts UTF-16 text (tag 18) to the ANSI code page. The default keeps
// code units below 256 and writes "?" for the others.
using WideToAnsiFunction = std::string (*)(std::u16string_view text);
std::string WideToLatin1(std::u16string_view text);

struct SettingsStreamContent {
  enum class End {
    Complete,    // the terminating zero name length was reached
    BadHeader,   // the first 25 bytes differ: no settings at all
    InvalidTag,  // a value tag outside 2, 3, 4, 6, 8, 9, 12, 18
    Truncated,   // a record (or the terminator) runs past the end
  };
  std::vector<Setting> settings;  // the records read before the end
  End end = End::Complete;
  std::uint8_t tag = 0;  // the offending tag (InvalidTag, or Truncated after the tag)

  // True when the user must be told that the resource is broken.
  bool Invalid() const { return end == End::InvalidTag || end == End::Truncated; }
};

SettingsStreamContent ParseSettingsStream(const std::uint8_t* data, std::size_t size,
                                          WideToAnsiFunction toAnsi = WideToLatin1);

// Writes settings with tags 4 (every integer), 8, 9 (booleans) and 12
// (every string, also empty ones).
std::vector<std::uint8_t> WriteSettingsStream(const std::vector<Setting>& settings);

// "Internal error: Invalid settings resource ($7)." for tag 7.
std::string InvalidSettingsResourceText(std::uint8_t tag);
inline constexpr const char* kSettingsCaption = "zelExcept";

}  // namespace corvan::crash
