#pragma once
// The process-wide registry of bug report plugins: named text producers
// whose output becomes a report section of its own or one header field.
// The setting "Plugins" chooses which of them run, and in what order.
#include <string>
#include <string_view>
#include <vector>

namespace corvan::crash {

// Returns the plugin's text (lines joined by CR LF). May throw; the report
// then says so in the plugin's place.
using PluginTextFn = std::string (*)();

struct ReportPlugin {
  std::string name;
  std::string description;
  PluginTextFn text = nullptr;
  bool ownSection = false;
};

// Appends an entry; an entry of the same name is not replaced.
void RegisterReportPlugin(std::string name, std::string description, PluginTextFn text,
                          bool ownSection);
// Removes the first entry of exactly this name; the others keep their order.
void UnregisterReportPlugin(std::string_view name);
void ClearReportPlugins();

// For each name of the "|"-separated plugins setting, in its order, the
// first registered entry of that name (compared without regard to case);
// names without an entry are skipped.
std::vector<ReportPlugin> EnabledReportPlugins(std::string_view pluginsSetting);

}  // namespace corvan::crash
