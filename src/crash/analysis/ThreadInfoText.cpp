#include "crash/analysis/ThreadInfoText.h"

#include "crash/util/TextParts.h"

namespace corvan::crash {

std::string ThreadHeaderText(std::uint32_t threadId, const ThreadInfoEntry* entry, bool showAll,
                             bool locked) {
  const std::string plain = "thread " + HexText(threadId);
  if (!locked || !entry) return plain;
  const std::string& name = entry->name;
  if (!showAll && (name == "-" || name == "AntiFreezeThread" || name == "HandleExceptionThread")) {
    return {};
  }
  if (!name.empty() && name != "-") return name + " (" + HexText(threadId) + ")";
  return entry->description.empty() ? plain : plain + " (" + entry->description + ")";
}

}  // namespace corvan::crash
