#pragma once
// Thread-safe list of files to attach to a sent bug report.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "crash/core/SettingsLists.h"
#include "crash/util/InterfaceId.h"
#include "crash/util/RefCounted.h"

namespace corvan::crash {

class AttachmentList;

class AttachmentListOwner {
 public:
  static constexpr InterfaceId kIid{
      0x1E8B96CB, 0x8314, 0x4C9E, {0xA3, 0x27, 0x7C, 0xDA, 0x83, 0xA5, 0x59, 0x82}};

  virtual void AttachmentsModified(const AttachmentList& list) = 0;

 protected:
  ~AttachmentListOwner() = default;
};

class AttachmentList : public RefCounted {
 public:
  static constexpr InterfaceId kIid{
      0x7DE1DA9C, 0x28D7, 0x4527, {0x95, 0x4F, 0xF9, 0x51, 0xB8, 0x8B, 0xEE, 0x41}};

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
