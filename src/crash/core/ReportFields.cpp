#include "crash/core/ReportFields.h"

#include <algorithm>

#include "crash/util/TextParts.h"

namespace corvan::crash {

class ReportFields::Access {
 public:
  explicit Access(const ReportFields& list) : list_(list), guard_(list.lock_) {
    if (list_.owner_) list_.owner_->BeginFieldsUpdate();
  }
  ~Access() {
    if (list_.owner_) list_.owner_->EndFieldsUpdate();
  }

 private:
  const ReportFields& list_;
  std::lock_guard<std::recursive_mutex> guard_;
};

std::string TrimFieldValue(std::string_view value) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);
  return std::string(value);
}

ReportFields::ReportFields(bool acceptData, ReportFieldsOwner* owner)
    : acceptData_(acceptData), owner_(owner) {
  items_.reserve(16);
}

void ReportFields::AcceptData(bool accept) {
  Access a(*this);
  acceptData_ = accept;
}

void ReportFields::SetInsertIndex(int index) {
  Access a(*this);
  insertIndex_ = std::max(index, 0);
}

int ReportFields::InsertIndex() const {
  Access a(*this);
  return insertIndex_;
}

void ReportFields::SetOwner(ReportFieldsOwner* owner) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  owner_ = owner;
}

int ReportFields::Count() const {
  Access a(*this);
  return static_cast<int>(items_.size());
}

std::string ReportFields::NameAt(int index) const {
  Access a(*this);
  return index >= 0 && index < static_cast<int>(items_.size()) ? items_[index].first : "";
}

std::string ReportFields::ValueAt(int index) const {
  Access a(*this);
  return index >= 0 && index < static_cast<int>(items_.size()) ? items_[index].second : "";
}

void ReportFields::Rename(int index, std::string_view name) {
  Access a(*this);
  if (index < 0 || index >= static_cast<int>(items_.size()) || items_[index].first == name) return;
  items_[index].first = std::string(name);
  Modified();
}

int ReportFields::IndexOf(std::string_view name) const {
  Access a(*this);
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (EqualsIgnoreCase(items_[i].first, name)) return static_cast<int>(i);
  }
  return -1;
}

bool ReportFields::ValueOf(std::string_view name, std::string& value) const {
  Access a(*this);
  const int i = IndexOf(name);
  if (i < 0) return false;
  value = items_[i].second;
  return true;
}

void ReportFields::SetValue(std::string_view name, std::string_view rawValue) {
  Access a(*this);
  if (!acceptData_) return;
  const std::string value = TrimFieldValue(rawValue);
  const int i = IndexOf(name);
  if (value.empty()) {
    if (i < 0) return;
    RemoveLocked(i);
  } else if (i >= 0) {
    auto& item = items_[i];
    if (item.first == name && item.second == value) return;
    item = {std::string(name), value};
  } else if (insertIndex_ > 0 && insertIndex_ <= static_cast<int>(items_.size())) {
    items_.insert(items_.begin() + insertIndex_, {std::string(name), value});
    ++insertIndex_;
  } else {
    items_.emplace_back(std::string(name), value);
  }
  Modified();
}

void ReportFields::InsertAt(int index, std::string_view name, std::string_view rawValue) {
  Access a(*this);
  const std::string value = TrimFieldValue(rawValue);
  if (!acceptData_ || value.empty()) return;
  index = std::clamp(index, 0, static_cast<int>(items_.size()));
  const int existing = IndexOf(name);
  if (existing >= 0) {
    if (existing == index && items_[existing].first == name && items_[existing].second == value) {
      return;
    }
    RemoveLocked(existing);
    if (existing < index) --index;
  }
  items_.insert(items_.begin() + index, {std::string(name), value});
  if (index <= insertIndex_ && insertIndex_ > 0) ++insertIndex_;
  Modified();
}

void ReportFields::Remove(int index) {
  Access a(*this);
  if (index < 0 || index >= static_cast<int>(items_.size())) return;
  RemoveLocked(index);
  Modified();
}

void ReportFields::Remove(std::string_view name) {
  Access a(*this);
  Remove(IndexOf(name));
}

void ReportFields::RemoveLocked(int index) {
  items_.erase(items_.begin() + index);
  if (index < insertIndex_) --insertIndex_;
}

FieldPairs ReportFields::Items() const {
  Access a(*this);
  return items_;
}

Ref<ReportFields> ReportFields::Copy() const {
  Ref<ReportFields> copy = MakeRef<ReportFields>(true);
  copy->items_ = Items();
  return copy;
}

void ReportFields::Modified() {
  if (owner_) owner_->FieldsModified(*this);
}

}  // namespace corvan::crash
