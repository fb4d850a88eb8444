#include "crash/core/SettingsLists.h"

#include <algorithm>

#include "crash/util/TextParts.h"

namespace corvan::crash {

std::vector<std::string> SplitText(std::string_view text, char separator) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  std::size_t at = 0;
  for (;;) {
    const auto next = text.find(separator, at);
    parts.emplace_back(text.substr(at, next == std::string_view::npos ? text.npos : next - at));
    if (next == std::string_view::npos) return parts;
    at = next + 1;
  }
}

std::string JoinText(const std::vector<std::string>& parts, char separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

bool PluginListContains(std::string_view plugins, std::string_view name) {
  const auto entries = SplitText(plugins, '|');
  return std::any_of(entries.begin(), entries.end(),
                     [&](const std::string& e) { return EqualsIgnoreCase(e, name); });
}

std::string PluginListWith(std::string_view plugins, std::string_view name, bool on) {
  if (PluginListContains(plugins, name) == on) return std::string(plugins);
  if (on)
    return plugins.empty() ? std::string(name) : std::string(plugins) + "|" + std::string(name);
  auto entries = SplitText(plugins, '|');
  std::erase_if(entries, [&](const std::string& e) { return EqualsIgnoreCase(e, name); });
  return JoinText(entries, '|');
}

FieldPairs ParseFieldList(std::string_view text) {
  FieldPairs fields;
  const auto pieces = SplitText(text, '=');
  if (pieces.size() < 2) return fields;
  std::string name = pieces[0];
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::string value = pieces[i];
    std::string nextName;
    if (i + 1 < pieces.size()) {
      const auto bar = value.rfind('|');
      if (bar != std::string::npos) {
        nextName = value.substr(bar + 1);
        value.erase(bar);
      }
    }
    if (!name.empty()) fields.emplace_back(std::move(name), std::move(value));
    name = std::move(nextName);
  }
  return fields;
}

std::string FormatFieldList(const FieldPairs& fields) {
  std::vector<std::string> parts;
  for (const auto& [name, value] : fields) parts.push_back(name + "=" + value);
  return JoinText(parts, '|');
}

std::vector<AttachmentEntry> ParseAttachmentList(std::string_view text) {
  std::vector<AttachmentEntry> entries;
  for (const std::string& item : SplitText(text, '|')) {
    auto parts = SplitText(item, '>');
    parts.resize(std::max<std::size_t>(parts.size(), 4));
    if (parts[0].empty()) continue;
    entries.push_back({parts[0], parts[1], parts[2], parts[3]});
  }
  return entries;
}

std::string FormatAttachmentList(const std::vector<AttachmentEntry>& entries) {
  std::vector<std::string> items;
  for (const auto& e : entries)
    items.push_back(JoinText({e.source, e.sendAs, e.zip, e.field}, '>'));
  return JoinText(items, '|');
}

AssistantDefinition ParseAssistantDefinition(std::string_view text) {
  AssistantDefinition def;
  auto parts = SplitText(text, '|');
  if (!parts.empty()) def.name = parts[0];
  if (parts.size() > 1) def.title = parts[1];
  if (parts.size() > 2) def.forms.assign(parts.begin() + 2, parts.end());
  return def;
}

}  // namespace corvan::crash
