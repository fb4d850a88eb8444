#pragma once
// The built-in defaults of the crash reporter: the value of every key that
// a module's settings resource does not store.
#include <cstdint>
#include <span>
#include <string_view>

#include "crash/core/SettingsStream.h"

namespace corvan::crash {

struct DefaultSetting {
  const char* name;
  SettingType type;
  std::int32_t value;  // integers and booleans (0 or 1)
  const char* text;    // strings ("" for empty)
};

std::span<const DefaultSetting> DefaultSettingsTable();
// Exact, case-sensitive name match; nullptr for a key outside the table.
const DefaultSetting* FindDefaultSetting(std::string_view name);

// Keys that live outside the table but are still valid in a settings
// source: "Assistant1", "Assistant2", ... and "MinDebugInfo" (strings).
bool IsExtraSettingKey(std::string_view name);

}  // namespace corvan::crash
