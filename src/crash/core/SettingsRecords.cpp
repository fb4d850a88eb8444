#include "crash/core/SettingsRecords.h"

#include <cstring>

#include "crash/core/SettingsPassword.h"

namespace corvan::crash {
namespace {

constexpr std::int32_t kInitialCapacity = 131;
constexpr std::int32_t kGrowth = 20;

// The protocol keys whose passwords are stored enciphered.
struct PasswordKeys {
  const char* password;
  const char* account;
  const char* server;
};
constexpr PasswordKeys kPasswords[] = {{"SmtpPassword", "SmtpAccount", "SmtpServer"},
                                       {"HttpPassword", "HttpAccount", "HttpServer"}};

std::string_view Text(const char* s) { return s ? std::string_view(s) : std::string_view(); }

}  // namespace

class SettingsRecords::Guard {
 public:
  explicit Guard(SettingsRecords& r) : r_(r) { r_.Lock(); }
  ~Guard() { r_.Unlock(); }

 private:
  SettingsRecords& r_;
};

bool SettingsRecords::HasResource(ModuleId module) {
  const std::uint8_t* data;
  std::size_t size;
  return FindSettingsResource(module, data, size);
}

ModuleSettingsRecord* SettingsRecords::Reference(ModuleId module) {
  if (!HasResource(module) || !AcquireBuffer()) return nullptr;
  std::optional<std::uint8_t> invalidTag;
  ModuleSettingsRecord* found = nullptr;
  {
    Guard guard(*this);
    for (ModuleSettingsRecord* r = *Head(); r; r = r->next) {
      if (r->module == module) {
        found = r;
        ++r->refCount;
        break;
      }
    }
    if (!found) {
      found =
          static_cast<ModuleSettingsRecord*>(Allocator().allocate(sizeof(ModuleSettingsRecord)));
      if (found) {
        *found = ModuleSettingsRecord{1, module, 0, 0, nullptr, *Head()};
        const SettingsStreamContent content = Parse(*found);
        if (content.Invalid()) invalidTag = content.tag;
        *Head() = found;
      }
    }
  }
  if (!found) ReleaseBuffer();
  // Told outside the lock: the message box waits for the user.
  if (invalidTag) ShowInvalidResource(*invalidTag);
  return found;
}

void SettingsRecords::Dereference(ModuleSettingsRecord* record) {
  if (!record) return;
  {
    Guard guard(*this);
    if (record->refCount > 1) {
      --record->refCount;
    } else {
      for (ModuleSettingsRecord** link = Head(); *link; link = &(*link)->next) {
        if (*link == record) {
          *link = record->next;
          break;
        }
      }
      FreeProperties(*record);
      Allocator().release(record);
    }
  }
  ReleaseBuffer();
}

void SettingsRecords::Refresh(ModuleSettingsRecord* record) {
  if (!record) return;
  std::optional<std::uint8_t> invalidTag;
  {
    Guard guard(*this);
    FreeProperties(*record);
    const SettingsStreamContent content = Parse(*record);
    if (content.Invalid()) invalidTag = content.tag;
  }
  if (invalidTag) ShowInvalidResource(*invalidTag);
}

SettingsStreamContent SettingsRecords::Parse(ModuleSettingsRecord& record) {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  SettingsStreamContent content;
  if (FindSettingsResource(record.module, data, size)) {
    content = ParseSettingsStream(data, size, WideToAnsi());
  }
  const auto wanted = static_cast<std::int32_t>(content.settings.size());
  const std::int32_t capacity = wanted > kInitialCapacity ? wanted : kInitialCapacity;
  record.properties = static_cast<SettingsProperty*>(
      Allocator().allocate(sizeof(SettingsProperty) * static_cast<std::size_t>(capacity)));
  record.capacity = record.properties ? capacity : 0;
  record.count = 0;
  // Appended in stream order: with a repeated name the first one answers.
  for (const Setting& s : content.settings) {
    SettingsProperty* p = Add(record, s.name, s.type);
    if (!p) break;
    p->type = static_cast<std::uint8_t>(s.type);
    p->boolValue = s.boolValue;
    p->intValue = s.intValue;
    StoreString(p->strValue, s.strValue);
  }
  for (const PasswordKeys& keys : kPasswords) {
    SettingsProperty* p = Find(record, keys.password);
    if (!p || !p->strValue) continue;
    const SettingsProperty* account = Find(record, keys.account);
    const SettingsProperty* server = Find(record, keys.server);
    if (auto clear = DecipherPassword(p->strValue, account ? Text(account->strValue) : "",
                                      server ? Text(server->strValue) : "")) {
      StoreString(p->strValue, *clear);
    }
  }
  return content;
}

void SettingsRecords::FreeProperties(ModuleSettingsRecord& record) {
  for (std::int32_t i = 0; i < record.count; ++i) {
    Allocator().release(record.properties[i].name);
    Allocator().release(record.properties[i].strValue);
  }
  Allocator().release(record.properties);
  record.properties = nullptr;
  record.capacity = record.count = 0;
}

SettingsProperty* SettingsRecords::Find(const ModuleSettingsRecord& record, std::string_view name) {
  for (std::int32_t i = 0; i < record.count; ++i) {
    if (Text(record.properties[i].name) == name) return &record.properties[i];
  }
  return nullptr;
}

SettingsProperty* SettingsRecords::Add(ModuleSettingsRecord& record, std::string_view name,
                                       SettingType type) {
  if (record.count == record.capacity) {
    const std::int32_t capacity = record.capacity + kGrowth;
    auto* grown = static_cast<SettingsProperty*>(
        Allocator().allocate(sizeof(SettingsProperty) * static_cast<std::size_t>(capacity)));
    if (!grown) return nullptr;
    if (record.count) {
      std::memcpy(grown, record.properties, sizeof(SettingsProperty) * record.count);
    }
    Allocator().release(record.properties);
    record.properties = grown;
    record.capacity = capacity;
  }
  SettingsProperty& p = record.properties[record.count];
  p = SettingsProperty{nullptr, static_cast<std::uint8_t>(type), 0, 0, nullptr};
  if (!StoreString(p.name, name) || !p.name) return nullptr;
  ++record.count;
  return &p;
}

bool SettingsRecords::StoreString(char*& slot, std::string_view text) {
  char* copy = nullptr;
  if (!text.empty()) {
    copy = static_cast<char*>(Allocator().allocate(text.size() + 1));
    if (!copy) return false;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
  }
  Allocator().release(slot);
  slot = copy;
  return true;
}

std::optional<Setting> SettingsRecords::Get(const ModuleSettingsRecord* record,
                                            std::string_view name) {
  if (!record) return std::nullopt;
  Guard guard(*this);
  const SettingsProperty* p = Find(*record, name);
  if (!p) return std::nullopt;
  Setting s;
  s.name = std::string(name);
  s.type = static_cast<SettingType>(p->type);
  s.boolValue = p->boolValue != 0;
  s.intValue = p->intValue;
  s.strValue = std::string(Text(p->strValue));
  return s;
}

bool SettingsRecords::Set(ModuleSettingsRecord* record, const Setting& value) {
  if (!record) return false;
  Guard guard(*this);
  SettingsProperty* p = Find(*record, value.name);
  if (!p) p = Add(*record, value.name, value.type);
  if (!p || p->type != static_cast<std::uint8_t>(value.type)) return false;
  switch (value.type) {
    case SettingType::Boolean:
      p->boolValue = value.boolValue;
      return true;
    case SettingType::Integer:
      p->intValue = value.intValue;
      return true;
    case SettingType::String:
      return StoreString(p->strValue, value.strValue);
  }
  return false;
}

}  // namespace corvan::crash
