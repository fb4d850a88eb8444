#pragma once
// Thread-safe ordered list of name/value pairs: bug report header fields,
// report sections, the form cache and upload fields.
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "crash/core/SettingsLists.h"
#include "crash/util/InterfaceId.h"
#include "crash/util/RefCounted.h"

namespace corvan::crash {

class ReportFields;

// The object a list belongs to: told about every change, and (for a
// report) asked to bracket every access in its update counting.
class ReportFieldsOwner {
 public:
  static constexpr InterfaceId kIid{
      0xD9EED670, 0xC965, 0x403D, {0x92, 0xE0, 0xBF, 0x11, 0xD8, 0x54, 0x91, 0x1D}};

  virtual void FieldsModified(const ReportFields& fields) = 0;
  virtual void BeginFieldsUpdate() {}
  virtual void EndFieldsUpdate() {}

 protected:
  ~ReportFieldsOwner() = default;
};

class ReportFields : public RefCounted {
 public:
  static constexpr InterfaceId kIid{
      0xAF0EA7A7, 0x2B36, 0x46FD, {0xBF, 0x2E, 0x24, 0x5A, 0xBA, 0x27, 0x40, 0xE2}};

  explicit ReportFields(bool acceptData = false, ReportFieldsOwner* owner = nullptr);

  // Until switched on, SetValue, Append and InsertAt change nothing.
  void AcceptData(bool accept);
  // Where SetValue puts new names (0: at the end); kept in front of the
  // items inserted after it.
  void SetInsertIndex(int index);
  int InsertIndex() const;
  // The owner is not owned: it detaches itself (null) before it dies.
  void SetOwner(ReportFieldsOwner* owner);
  void DetachOwner() { SetOwner(nullptr); }

  int Count() const;
  std::string NameAt(int index) const;   // empty when out of range
  std::string ValueAt(int index) const;  // empty when out of range
  void Rename(int index, std::string_view name);
  int IndexOf(std::string_view name) const;  // case-insensitive; -1 when absent
  // Leaves value unchanged and returns false when name is absent.
  bool ValueOf(std::string_view name, std::string& value) const;

  void SetValue(std::string_view name, std::string_view value);
  void Append(std::string_view name, std::string_view value) { SetValue(name, value); }
  void InsertAt(int index, std::string_view name, std::string_view value);
  void Remove(int index);
  void Remove(std::string_view name);

  FieldPairs Items() const;
  Ref<ReportFields> Copy() const;

 private:
  class Access;  // lock plus the owner's update bracket
  void RemoveLocked(int index);
  void Modified();

  mutable std::recursive_mutex lock_;
  FieldPairs items_;
  bool acceptData_;
  int insertIndex_ = 0;
  ReportFieldsOwner* owner_;
};

// Trims leading and trailing blanks and control characters.
std::string TrimFieldValue(std::string_view value);

}  // namespace corvan::crash
