#include "crash/deliver/AttachmentPreparation.h"

#include "crash/util/TextParts.h"

namespace corvan::crash {

std::vector<PreparedFile> PrepareAttachments(const std::vector<AttachmentEntry>& entries,
                                             AttachmentFolder& folder) {
  std::vector<PreparedFile> prepared;
  std::vector<std::string> packed;  // zip names done
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const AttachmentEntry& entry = entries[i];
    const std::string path = folder.Absolute(entry.source);
    if (!folder.Exists(path)) continue;
    if (entry.zip.empty()) {
      prepared.push_back({path, entry.sendAs, entry.field});
      continue;
    }
    bool seen = false;
    for (const std::string& name : packed) seen = seen || EqualsIgnoreCase(name, entry.zip);
    if (seen) continue;
    packed.push_back(entry.zip);
    // The group: this entry and every later one with its zip name.
    std::vector<std::string> paths, names;
    std::vector<PreparedFile> members;
    for (std::size_t j = i; j < entries.size(); ++j) {
      if (!EqualsIgnoreCase(entries[j].zip, entry.zip)) continue;
      const std::string member = j == i ? path : folder.Absolute(entries[j].source);
      paths.push_back(member);
      names.push_back(entries[j].sendAs);
      if (folder.Exists(member)) members.push_back({member, entries[j].sendAs, entries[j].field});
    }
    if (members.empty()) continue;
    const std::string archive = folder.ArchivePath(entry.zip);
    if (folder.Zip(archive, paths, names)) {
      prepared.push_back({archive, entry.zip, entry.zip});
    } else {
      prepared.insert(prepared.end(), members.begin(), members.end());
    }
  }
  return prepared;
}

}  // namespace corvan::crash
