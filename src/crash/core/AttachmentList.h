#pragma once
// Thread-safe list of files to attach to a sent bug report.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "crash/core/RefCounted.h"
#include "crash/core/SettingsLists.h"

namespace corvan::crash {

class AttachmentList;

class AttachmentListOwner {
 public:
  virtual void AttachmentsModified(const AttachmentList& list) = 0;

 protected:
  ~AttachmentListOwner() = default;
};

class AttachmentList : public RefCounted {
 public:
  explicit AttachmentList(AttachmentListOwner* owner = nullptr) : owner_(owner) {
    entries_.reserve(16);
  }

  // The owner is not owned: it detaches itself (null) before it dies.
  void SetOwner(AttachmentListOwner* owner);
  void DetachOwner() { SetOwner(nullptr); }
  int Count() const;
  bool EntryAt(int index, AttachmentEntry& entry) const;
  // Ignored for an empty source. An empty sendAs becomes the file name of
  // source, an empty fieldName sendAs cut before its first ".".
  void AddFile(std::string_view source, std::string_view sendAs = {},
               std::string_view fieldName = {}, std::string_view zipName = {});
  bool RemoveFile(std::string_view source);  // first case-insensitive match
  void RemoveAll();
  std::vector<AttachmentEntry> Entries() const;
  // Same sources, send-as and field names; the copy zips nothing.
  Ref<AttachmentList> Copy() const;

 private:
  void Modified();

  mutable std::recursive_mutex lock_;
  std::vector<AttachmentEntry> entries_;
  AttachmentListOwner* owner_;
};

}  // namespace corvan::crash
