#include "crash/core/ReporterSettings.h"

#include "crash/util/TextParts.h"
#include "crash/core/DefaultSettings.h"

namespace corvan::crash {
namespace {

Setting FromDefault(std::string_view name) {
  Setting s;
  s.name = std::string(name);
  if (const DefaultSetting* d = FindDefaultSetting(name)) {
    s.type = d->type;
    s.boolValue = d->value != 0;
    s.intValue = d->value;
    s.strValue = d->text;
  }
  return s;  // a key found nowhere: false, 0, empty
}

}  // namespace

class ReporterSettings::Variables final : public VariableValues {
 public:
  explicit Variables(const ReporterSettings& s) : s_(s) {}
  std::string AppName() const override {
    return FileNamePart(s_.env_.ModuleFileName(s_.env_.ExecutableModule()));
  }
  std::string ModName() const override { return FileNamePart(s_.env_.ModuleFileName(s_.module_)); }
  std::string AppVersion() const override {
    const ModuleId exe = s_.env_.ExecutableModule();
    if (s_.module_ == exe) return s_.VersionOf(exe, s_.version_);
    const ReporterSettings* main = s_.records_.MainSettings();
    return s_.VersionOf(exe, main && main->module_ == exe ? main->version_ : std::string());
  }
  std::string ModVersion() const override { return s_.VersionOf(s_.module_, s_.version_); }
  LocalTime Now() const override { return s_.env_.Now(); }
  std::string UserAppData() const override { return Folder(kUserAppDataFolder); }
  std::string CommonAppData() const override { return Folder(kCommonAppDataFolder); }

 private:
  std::string Folder(int csidl) const {
    std::string path = s_.env_.ShellFolder(csidl);
    if (path.empty()) path = FolderPart(s_.env_.ModuleFileName(s_.env_.ExecutableModule()));
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
  }
  const ReporterSettings& s_;
};

ReporterSettings::ReporterSettings(ModuleId module, SettingsRecords& records,
                                   const SettingsEnvironment& env, bool load)
    : module_(module), records_(records), env_(env) {
  if (load) record_ = records_.Reference(module_);
  if (const std::int32_t offset = GetInt("VersionVar")) {
    version_ = env_.ReadVersionString(module_, offset);
  }
}

ReporterSettings::~ReporterSettings() {
  if (fields_) fields_->DetachOwner();
  if (attachments_) attachments_->DetachOwner();
  if (records_.MainSettings() == this) records_.SetMainSettings(nullptr);
  records_.Dereference(record_);
}

std::optional<Setting> ReporterSettings::LookupModuleChain(std::string_view name) const {
  if (auto own = records_.Get(record_, name)) return own;
  const ReporterSettings* main = records_.MainSettings();
  if (!main || main == this || main->module_ == module_) return FromDefault(name);
  return main->Lookup(name);
}

std::optional<Setting> ReporterSettings::Lookup(std::string_view name) const {
  return LookupModuleChain(name);
}

bool ReporterSettings::Set(const Setting& value) { return records_.Set(record_, value); }

bool ReporterSettings::GetBool(std::string_view name) const {
  const auto s = Lookup(name);
  return s && s->boolValue;
}

std::int32_t ReporterSettings::GetInt(std::string_view name) const {
  const auto s = Lookup(name);
  return s ? s->intValue : 0;
}

std::string ReporterSettings::GetRawStr(std::string_view name) const {
  auto s = Lookup(name);
  return s ? std::move(s->strValue) : std::string();
}

std::string ReporterSettings::GetStr(std::string_view name) const {
  return Expand(GetRawStr(name));
}

std::string ReporterSettings::Expand(std::string_view text, const ReportTexts* report) const {
  return ExpandVariables(text, Variables(*this), report);
}

bool ReporterSettings::SetBool(std::string_view name, bool value) {
  return Set(Setting::Bool(std::string(name), value));
}

bool ReporterSettings::SetInt(std::string_view name, std::int32_t value) {
  return Set(Setting::Int(std::string(name), value));
}

bool ReporterSettings::SetStr(std::string_view name, std::string_view value) {
  return Set(Setting::Str(std::string(name), std::string(value)));
}

void ReporterSettings::ReloadSettings() { records_.Refresh(record_); }

std::string ReporterSettings::VersionOf(ModuleId module, const std::string& settingsVersion) const {
  if (!settingsVersion.empty()) return settingsVersion;
  std::string version = env_.FileVersionText(env_.ModuleFileName(module));
  return version.empty() ? "?" : version;
}

Ref<ReportFields> ReporterSettings::AdditionalFields() {
  std::lock_guard<std::mutex> guard(listsLock_);
  if (!fields_) {
    fields_ = MakeRef<ReportFields>(true);
    for (const auto& [name, value] : ParseFieldList(GetRawStr("AddFields"))) {
      fields_->SetValue(name, value);
    }
    // Mirrors itself into AddFields from now on, not while loading.
    fields_->SetOwner(this);
  }
  return fields_;
}

Ref<AttachmentList> ReporterSettings::AdditionalAttachments() {
  std::lock_guard<std::mutex> guard(listsLock_);
  if (!attachments_) {
    attachments_ = MakeRef<AttachmentList>();
    for (const AttachmentEntry& e : ParseAttachmentList(GetRawStr("AddAttachs"))) {
      attachments_->AddFile(e.source, e.sendAs, e.field, e.zip);
    }
    attachments_->SetOwner(this);
  }
  return attachments_;
}

void ReporterSettings::FieldsModified(const ReportFields& fields) {
  SetStr("AddFields", FormatFieldList(fields.Items()));
}

void ReporterSettings::AttachmentsModified(const AttachmentList& list) {
  SetStr("AddAttachs", FormatAttachmentList(list.Entries()));
}

bool ReporterSettings::IsPluginEnabled(std::string_view name) const {
  return PluginListContains(GetRawStr("Plugins"), name);
}

void ReporterSettings::EnablePlugin(std::string_view name, bool on) {
  const std::string plugins = GetRawStr("Plugins");
  if (PluginListContains(plugins, name) == on) return;
  SetStr("Plugins", PluginListWith(plugins, name, on));
}

bool ReporterSettings::ScreenshotsPossible() const { return GetInt("ScrShotDepth") != 0; }

std::optional<AssistantDefinition> ReporterSettings::FindAssistant(std::string_view name) const {
  for (int i = 1;; ++i) {
    const std::string text = GetStr("Assistant" + std::to_string(i));
    if (text.empty()) return std::nullopt;
    AssistantDefinition def = ParseAssistantDefinition(text);
    if (!EqualsIgnoreCase(def.name, name)) continue;
    if (!ScreenshotsPossible()) std::erase(def.forms, std::string("ScrShotForm"));
    return def;
  }
}

void ReporterSettings::StoreFormValues(const FormCacheView& assistant) {
  Ref<ReportFields> cache;
  {
    std::lock_guard<std::mutex> guard(listsLock_);
    if (!formCache_) formCache_ = MakeRef<ReportFields>(true);
    cache = formCache_;
  }
  for (int form = 0; form < assistant.FormCount(); ++form) {
    if (!assistant.FormCompleted(form)) continue;
    for (const auto& item : assistant.Items(form)) {
      // An emptied edit removes the cached value.
      cache->SetValue(item.name, item.isCheckBox ? (item.checked ? "+" : "-") : item.text);
    }
  }
}

void ReporterSettings::RestoreFormValues(FormCacheView& assistant) {
  Ref<ReportFields> cache;
  {
    std::lock_guard<std::mutex> guard(listsLock_);
    cache = formCache_;
  }
  if (!cache) return;
  for (int form = 0; form < assistant.FormCount(); ++form) {
    int found = 0, missing = 0;
    for (auto item : assistant.Items(form)) {
      std::string value;
      if (!cache->ValueOf(item.name, value)) {
        ++missing;
        continue;
      }
      ++found;
      if (item.isCheckBox) {
        item.checked = value == "+";
      } else {
        item.text = value;
      }
      assistant.SetItem(form, item);
    }
    if (found > 0 && missing == 0 && assistant.ContinueEnabled(form)) assistant.FocusContinue(form);
  }
}

}  // namespace corvan::crash
