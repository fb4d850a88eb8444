#include "crash/core/ReportPlugins.h"

#include <algorithm>
#include <mutex>

#include "crash/core/SettingsLists.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

struct Registry {
  std::mutex lock;
  std::vector<ReportPlugin> entries;
};

Registry& Plugins() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterReportPlugin(std::string name, std::string description, PluginTextFn text,
                          bool ownSection) {
  Registry& registry = Plugins();
  std::lock_guard guard(registry.lock);
  registry.entries.push_back({std::move(name), std::move(description), text, ownSection});
}

void UnregisterReportPlugin(std::string_view name) {
  Registry& registry = Plugins();
  std::lock_guard guard(registry.lock);
  auto& entries = registry.entries;
  const auto it =
      std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.name == name; });
  if (it != entries.end()) entries.erase(it);
}

void ClearReportPlugins() {
  Registry& registry = Plugins();
  std::lock_guard guard(registry.lock);
  registry.entries.clear();
}

std::vector<ReportPlugin> EnabledReportPlugins(std::string_view pluginsSetting) {
  Registry& registry = Plugins();
  std::lock_guard guard(registry.lock);
  std::vector<ReportPlugin> enabled;
  for (const std::string& name : SplitText(pluginsSetting, '|')) {
    const auto it = std::find_if(registry.entries.begin(), registry.entries.end(),
                                 [&](const auto& e) { return EqualsIgnoreCase(e.name, name); });
    if (it != registry.entries.end()) enabled.push_back(*it);
  }
  return enabled;
}

}  // namespace corvan::crash
