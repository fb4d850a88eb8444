#include "crash/analysis/zelListProcesses.h"

#include <algorithm>

#include "crash/analysis/ListColumns.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

std::string HexDigits(std::uint32_t value) { return HexText(value).substr(1); }

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

std::string PriorityClassText(std::int32_t priorityClass) {
  switch (priorityClass) {
    case 0:
    case -1:
      return {};
    case 32:
      return "normal";
    case 64:
      return "idle";
    case 128:
      return "high";
    case 256:
      return "realtime";
    case 0x4000:
      return "below normal";
    case 0x8000:
      return "above normal";
    default:
      return HexText(static_cast<std::uint32_t>(priorityClass));
  }
}

std::string ProcessImagePath(std::string_view path, std::string_view systemDirectory) {
  constexpr std::string_view kSystemRoot = "\\SystemRoot\\System32\\";
  constexpr std::string_view kNtPrefix = "\\??\\";
  if (StartsWithIgnoreCase(path, kSystemRoot)) {
    return std::string(systemDirectory) + "\\" + std::string(path.substr(kSystemRoot.size()));
  }
  if (path.substr(0, kNtPrefix.size()) == kNtPrefix) path.remove_prefix(kNtPrefix.size());
  return std::string(path);
}

void SetProcessPath(ProcessEntry& entry, std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos) {
    entry.fileName = std::string(path);
    entry.directory.clear();
  } else {
    entry.fileName = std::string(path.substr(slash + 1));
    entry.directory = std::string(path.substr(0, slash));
  }
}

std::string ProcessListText(const std::vector<ProcessEntry>& processes) {
  std::size_t idWidth = 0, nameWidth = 0, sessionWidth = 0, priorityWidth = 0;
  bool sessions = false;
  for (const ProcessEntry& p : processes) {
    idWidth = std::max(idWidth, HexDigits(p.processId).size());
    nameWidth = std::max(nameWidth, p.fileName.size());
    sessionWidth = std::max(sessionWidth, std::to_string(p.sessionId).size());
    priorityWidth = std::max(priorityWidth, PriorityClassText(p.priorityClass).size());
    sessions = sessions || p.sessionId != 0;
  }
  std::string text;
  for (const ProcessEntry& p : processes) {
    if (!text.empty()) text += "\r\n";
    const std::string id = HexDigits(p.processId);
    text.append(idWidth - id.size(), '0');
    text += id + " ";
    AppendColumn(text, p.fileName, nameWidth + 1);
    if (sessions) AppendColumn(text, std::to_string(p.sessionId), sessionWidth + 1);
    AppendColumn(text, PriorityClassText(p.priorityClass), priorityWidth + 1);
    text += p.directory;
  }
  return text;
}

}  // namespace corvan::crash
