#pragma once
// The readable source of a module's settings, from which the build writes
// the binary settings resource. One setting per line:
//
//   # comment (only at the start of a line)
//   Enabled = true
//   FreezeTimeout = 60000
//   TitleBar = "%appname%"
//
// A value is true or false (boolean), a decimal number (integer), or a
// quoted string with the escapes \" \\ \r \n \t and \xHH.
#include <string>
#include <string_view>
#include <vector>

#include "crash/core/SettingsStream.h"

namespace corvan::crash {

struct SettingsSourceError {
  int line;  // 1-based
  std::string message;
};

struct SettingsSource {
  std::vector<Setting> settings;  // in the order of the file
  std::vector<SettingsSourceError> errors;
};

SettingsSource ParseSettingsSource(std::string_view text);

// Checks settings against the default table: every key must be a table key
// of the same type or one of the extra string keys, and no key may repeat.
// A choice among named values (MiniDumpKind) must be one of them.
// Catches a misspelt name or a value of the wrong kind at build time,
// where the reporter itself would silently read the default instead.
std::vector<std::string> CheckSettingsAgainstDefaults(const std::vector<Setting>& settings);

}  // namespace corvan::crash
