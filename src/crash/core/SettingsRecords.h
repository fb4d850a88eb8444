#pragma once
// The parsed settings of every module of the process, kept in one list
// that all modules carrying the reporter share. Records and their
// properties are plain structures on an allocator every module can free
// into (the process heap on Windows), because code of one module may
// create a record that code of another module reads and frees.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "crash/core/SettingsStream.h"

namespace corvan::crash {

class ReporterSettings;
using ModuleId = void*;  // the module's base address (its HMODULE)

struct SettingsProperty {
  char* name;         // owned, NUL-terminated
  std::uint8_t type;  // SettingType
  std::uint8_t boolValue;
  std::int32_t intValue;
  char* strValue;  // owned; null for the empty string
};

struct ModuleSettingsRecord {
  std::int32_t refCount;
  ModuleId module;
  std::int32_t capacity;
  std::int32_t count;
  SettingsProperty* properties;
  ModuleSettingsRecord* next;
};

struct RecordAllocator {
  void* (*allocate)(std::size_t size);  // null when out of memory
  void (*release)(void* block);
};

// The shared list plus the operations on it. A process supplies the
// primitives: the shared buffer holding the list head and its lock, the
// allocator, and the module resources.
class SettingsRecords {
 public:
  // Null when the module has no settings resource or the shared buffer is
  // not available; otherwise the module's record, parsed on first use.
  ModuleSettingsRecord* Reference(ModuleId module);
  void Dereference(ModuleSettingsRecord* record);
  // Frees the properties and parses the resource again.
  void Refresh(ModuleSettingsRecord* record);

  // Copies a property out under the lock (a setter on another thread may
  // free the string at any time); nullopt when the record lacks it.
  std::optional<Setting> Get(const ModuleSettingsRecord* record, std::string_view name);
  // Adds the property with the value's type when absent; fails when the
  // present property has another type or memory runs out.
  bool Set(ModuleSettingsRecord* record, const Setting& value);

  // The process-wide main settings object (none before start-up).
  virtual ReporterSettings* MainSettings() = 0;
  virtual void SetMainSettings(ReporterSettings* settings) = 0;

  // True when the module carries a settings resource.
  bool HasResource(ModuleId module);

 protected:
  ~SettingsRecords() = default;

  virtual bool AcquireBuffer() = 0;  // false when the shared buffer is unavailable
  virtual void ReleaseBuffer() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual ModuleSettingsRecord** Head() = 0;
  virtual const RecordAllocator& Allocator() = 0;
  // The resource bytes, valid while the module is loaded.
  virtual bool FindSettingsResource(ModuleId module, const std::uint8_t*& data,
                                    std::size_t& size) = 0;
  virtual void ShowInvalidResource(std::uint8_t tag) = 0;
  virtual WideToAnsiFunction WideToAnsi() { return WideToLatin1; }

 private:
  class Guard;
  SettingsStreamContent Parse(ModuleSettingsRecord& record);
  void FreeProperties(ModuleSettingsRecord& record);
  SettingsProperty* Find(const ModuleSettingsRecord& record, std::string_view name);
  SettingsProperty* Add(ModuleSettingsRecord& record, std::string_view name, SettingType type);
  bool StoreString(char*& slot, std::string_view text);
};

}  // namespace corvan::crash
