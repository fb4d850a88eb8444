#pragma once
// The settings of one module: typed access by name with the lookup chain
//   this module's record -> (main module) default table
//                        -> (other modules) the main settings object,
// variable expansion in string values, the additional fields and
// attachments, plugins, assistant definitions and the form cache.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "crash/core/AttachmentList.h"
#include "crash/core/ReportFields.h"
#include "crash/core/SettingsLists.h"
#include "crash/core/SettingsRecords.h"
#include "crash/core/SettingsVariables.h"
#include "crash/util/InterfaceId.h"
#include "crash/util/RefCounted.h"

namespace corvan::crash {

// What settings need to know about the process besides their records.
class SettingsEnvironment {
 public:
  virtual ModuleId ExecutableModule() const = 0;
  virtual std::string ModuleFileName(ModuleId module) const = 0;  // full path
  // The text at module base + offset (the VersionVar setting); empty when
  // it cannot be read.
  virtual std::string ReadVersionString(ModuleId module, std::int32_t offset) const = 0;
  // "1.2.3.4"; empty when the file has no version information.
  virtual std::string FileVersionText(const std::string& path) const = 0;
  virtual LocalTime Now() const = 0;
  // The shell's folder (26 user application data, 35 common application
  // data); may be empty.
  virtual std::string ShellFolder(int csidl) const = 0;

 protected:
  ~SettingsEnvironment() = default;
};

inline constexpr int kUserAppDataFolder = 26;
inline constexpr int kCommonAppDataFolder = 35;

// One item of an assistant form, as far as the form cache is concerned.
class FormCacheView {
 public:
  struct Item {
    std::string name;
    bool isCheckBox = false;
    std::string text;      // edit items
    bool checked = false;  // check boxes
  };
  virtual int FormCount() const = 0;
  virtual bool FormCompleted(int form) const = 0;  // modal result 1
  virtual std::vector<Item> Items(int form) const = 0;
  virtual void SetItem(int form, const Item& item) = 0;
  virtual bool ContinueEnabled(int form) const = 0;
  virtual void FocusContinue(int form) = 0;

 protected:
  ~FormCacheView() = default;
};

class ReporterSettings : public RefCounted,
                         protected ReportFieldsOwner,
                         protected AttachmentListOwner {
 public:
  // Its three interfaces: every getter and setter of a module's or a
  // report's settings; those plus the module-only keys and ReloadSettings;
  // typed access by name and the form cache.
  static constexpr InterfaceId kGeneralSettingsIid{
      0x27DBC590, 0x890F, 0x463E, {0x8D, 0x05, 0x32, 0xE3, 0x35, 0x84, 0x11, 0x9F}};
  static constexpr InterfaceId kModuleSettingsIid{
      0xE2196B25, 0xD73A, 0x4F69, {0xB7, 0x9B, 0xD6, 0x55, 0x39, 0x76, 0x3B, 0x31}};
  static constexpr InterfaceId kTypedSettingsIid{
      0x8C612485, 0xCD17, 0x4C66, {0x8C, 0x62, 0xD6, 0xD9, 0x4D, 0x54, 0xEA, 0x50}};

  // With load, references the module's record (none without a resource).
  ReporterSettings(ModuleId module, SettingsRecords& records, const SettingsEnvironment& env,
                   bool load);

  ModuleId Module() const { return module_; }
  // The module has a settings resource and its record was referenced.
  bool Valid() const { return record_ != nullptr; }
  const std::string& VersionString() const { return version_; }

  bool GetBool(std::string_view name) const;
  std::int32_t GetInt(std::string_view name) const;
  std::int32_t GetEnum(std::string_view name) const { return GetInt(name); }
  // Expanded, with "%exceptMsg%" and "%bugReport%" left in place.
  std::string GetStr(std::string_view name) const;
  std::string GetRawStr(std::string_view name) const;

  bool SetBool(std::string_view name, bool value);
  bool SetInt(std::string_view name, std::int32_t value);
  bool SetStr(std::string_view name, std::string_view value);
  void ReloadSettings();

  std::string Expand(std::string_view text, const ReportTexts* report = nullptr) const;

  Ref<ReportFields> AdditionalFields();
  Ref<AttachmentList> AdditionalAttachments();
  bool IsPluginEnabled(std::string_view name) const;
  void EnablePlugin(std::string_view name, bool on);

  std::optional<AssistantDefinition> FindAssistant(std::string_view name) const;
  void StoreFormValues(const FormCacheView& assistant);
  void RestoreFormValues(FormCacheView& assistant);

 protected:
  ~ReporterSettings() override;

  // The lookup chain; a report puts its own properties in front.
  virtual std::optional<Setting> Lookup(std::string_view name) const;
  virtual bool Set(const Setting& value);
  // Whether assistants may offer the screenshot form.
  virtual bool ScreenshotsPossible() const;

  std::optional<Setting> LookupModuleChain(std::string_view name) const;
  SettingsRecords& Records() const { return records_; }
  const SettingsEnvironment& Environment() const { return env_; }

  void FieldsModified(const ReportFields& fields) override;
  void AttachmentsModified(const AttachmentList& list) override;

 private:
  class Variables;
  std::string VersionOf(ModuleId module, const std::string& settingsVersion) const;

  ModuleId module_;
  SettingsRecords& records_;
  const SettingsEnvironment& env_;
  ModuleSettingsRecord* record_ = nullptr;
  std::string version_;
  std::mutex listsLock_;
  Ref<ReportFields> fields_;
  Ref<AttachmentList> attachments_;
  Ref<ReportFields> formCache_;
};

}  // namespace corvan::crash
