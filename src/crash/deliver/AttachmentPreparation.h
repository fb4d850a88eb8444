#pragma once
// Turns the attachment list of a bug report into the files to send: files
// that do not exist are skipped, entries sharing a zip name are packed into
// one archive named by it. An archive that cannot be written does not lose
// its files: they are sent unpacked instead.
#include <string>
#include <vector>

#include "crash/core/SettingsLists.h"
#include "crash/deliver/MailJob.h"

namespace corvan::crash {

class AttachmentFolder {
 public:
  // The path made absolute (against the executable's folder).
  virtual std::string Absolute(const std::string& path) = 0;
  virtual bool Exists(const std::string& path) = 0;
  // The archive's path in the reporter's temporary folder.
  virtual std::string ArchivePath(const std::string& zipName) = 0;
  // Packs the files, each under its name; false when no archive was made.
  virtual bool Zip(const std::string& archive, const std::vector<std::string>& paths,
                   const std::vector<std::string>& names) = 0;

 protected:
  ~AttachmentFolder() = default;
};

std::vector<PreparedFile> PrepareAttachments(const std::vector<AttachmentEntry>& entries,
                                             AttachmentFolder& folder);

}  // namespace corvan::crash
