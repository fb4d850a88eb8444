#include "crash/core/AttachmentList.h"

#include "crash/util/TextParts.h"

namespace corvan::crash {

void AttachmentList::SetOwner(AttachmentListOwner* owner) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  owner_ = owner;
}

int AttachmentList::Count() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return static_cast<int>(entries_.size());
}

bool AttachmentList::EntryAt(int index, AttachmentEntry& entry) const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (index < 0 || index >= static_cast<int>(entries_.size())) return false;
  entry = entries_[index];
  return true;
}

void AttachmentList::AddFile(std::string_view source, std::string_view sendAs,
                             std::string_view fieldName, std::string_view zipName) {
  if (source.empty()) return;
  AttachmentEntry e{std::string(source), std::string(sendAs), std::string(zipName),
                    std::string(fieldName)};
  if (e.sendAs.empty()) e.sendAs = FileNamePart(source);
  if (e.field.empty()) e.field = e.sendAs.substr(0, e.sendAs.find('.'));
  std::lock_guard<std::recursive_mutex> guard(lock_);
  entries_.push_back(std::move(e));
  Modified();
}

bool AttachmentList::RemoveFile(std::string_view source) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (EqualsIgnoreCase(it->source, source)) {
      entries_.erase(it);
      Modified();
      return true;
    }
  }
  return false;
}

void AttachmentList::RemoveAll() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (entries_.empty()) return;
  entries_.clear();
  Modified();
}

std::vector<AttachmentEntry> AttachmentList::Entries() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return entries_;
}

Ref<AttachmentList> AttachmentList::Copy() const {
  Ref<AttachmentList> copy = MakeRef<AttachmentList>();
  for (AttachmentEntry e : Entries()) {
    e.zip.clear();
    copy->entries_.push_back(std::move(e));
  }
  return copy;
}

void AttachmentList::Modified() {
  if (owner_) owner_->AttachmentsModified(*this);
}

}  // namespace corvan::crash
