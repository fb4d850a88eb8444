#pragma once
// The list formats stored inside string settings:
//   Plugins      "modules|processes|hardware"
//   AddFields    "name=value|name=value" (a value runs to the next "=",
//                less the name that precedes that "=")
//   AddAttachs   "source>sendAs>zip>field|..."
//   AssistantN   "name|title|form|form..."
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvan::crash {

std::vector<std::string> SplitText(std::string_view text, char separator);
std::string JoinText(const std::vector<std::string>& parts, char separator);

bool PluginListContains(std::string_view plugins, std::string_view name);
// The list with name switched on (appended) or off (every entry removed).
std::string PluginListWith(std::string_view plugins, std::string_view name, bool on);

using FieldPairs = std::vector<std::pair<std::string, std::string>>;
FieldPairs ParseFieldList(std::string_view text);
std::string FormatFieldList(const FieldPairs& fields);

struct AttachmentEntry {
  std::string source;  // file path to attach
  std::string sendAs;  // file name in the mail or upload
  std::string zip;     // zip archive to put it in ("" for none)
  std::string field;   // upload field name
  bool operator==(const AttachmentEntry&) const = default;
};
std::vector<AttachmentEntry> ParseAttachmentList(std::string_view text);
std::string FormatAttachmentList(const std::vector<AttachmentEntry>& entries);

struct AssistantDefinition {
  std::string name;
  std::string title;
  std::vector<std::string> forms;
};
AssistantDefinition ParseAssistantDefinition(std::string_view text);

}  // namespace corvan::crash
