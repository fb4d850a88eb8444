#pragma once
// The settings records of this process, shared by every module that
// carries the reporter through the block "zelExceptSettingsBuf$<pid>",
// and the choice of settings for a module or a code address.
#include <windows.h>

#include <string>

#include "crash/core/ReporterSettings.h"

namespace corvan::crash {

// This module's view of the shared records (one per module).
SettingsRecords& ProcessSettingsRecords();
// The real process: module names, versions, clock and shell folders.
const SettingsEnvironment& ProcessSettingsEnvironment();

Ref<ReporterSettings> CreateSettings(HMODULE module, bool load = true);

// Settings for module: its own unless it defers to others (NoSettings),
// then the best module found by SearchSettings.
Ref<ReporterSettings> SettingsForModule(HMODULE module);
// Settings for the module containing address (the place of an exception).
Ref<ReporterSettings> SettingsForAddress(const void* address);
// This module, "zelExceptIde_.bpl", then every module of the address
// space with a settings resource: the first valid one without NoSettings.
Ref<ReporterSettings> SearchSettings();

// Replaces the message boxes of the settings code (invalid resource,
// unavailable shared buffer), for tests; null restores them.
using SettingsMessageSink = void (*)(const std::string& text);
void SetSettingsMessageSink(SettingsMessageSink sink);

}  // namespace corvan::crash
