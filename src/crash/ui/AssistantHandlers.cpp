#include "crash/ui/AssistantHandlers.h"

namespace corvan::crash {
namespace {

inline void CloseKey(HKEY key) { RegCloseKey(key); }
using ScopedKey = UniqueHandle<HKEY, CloseKey>;

std::string ReadValue(HKEY key, const char* name) {
  char buffer[1024];
  DWORD size = sizeof buffer - 1, type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  buffer[size] = '\0';
  return buffer;  // up to the first NUL
}

}  // namespace

void HandleContactForm(TNVForm& form, FormAction action, TNVItem* item, void* owner) {
  TNVItem* name = form.Find("NameEdit", ItemKind::Edit);
  TNVItem* email = form.Find("EmailEdit", ItemKind::Edit);
  TNVItem* remember = form.Find("MemCheck", ItemKind::CheckBox);
  if (!name || !email || !remember) return;
  if (action == FormAction::Created) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kContactKey, 0, KEY_READ, &raw) != ERROR_SUCCESS) return;
    const ScopedKey key(raw);
    const std::string storedName = ReadValue(key.get(), "RememberName");
    const std::string storedEmail = ReadValue(key.get(), "RememberEmail");
    if (storedName.empty() && storedEmail.empty()) return;
    name->SetText(storedName);
    email->SetText(storedEmail);  // its item event checks the address
    remember->SetChecked(true);
    if (form.ContinueEnabled()) form.SetActiveControl("ContinueBtn");
  } else if (action == FormAction::Closing && form.Result() == kContinue) {
    HKEY raw = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kContactKey, 0, nullptr, 0, KEY_WRITE, nullptr, &raw,
                        nullptr) == ERROR_SUCCESS) {
      const ScopedKey key(raw);
      if (remember->Data().checked) {
        for (auto [value, edit] :
             {std::pair{"RememberName", name}, std::pair{"RememberEmail", email}}) {
          const std::string text = edit->Data().text;
          RegSetValueExA(key.get(), value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1));
        }
      } else {
        RegDeleteValueA(key.get(), "RememberName");
        RegDeleteValueA(key.get(), "RememberEmail");
      }
    }
    if (owner && !name->Data().text.empty()) {
      static_cast<AssistantOwner*>(owner)->SetMailFrom(name->Data().text + " <" +
                                                       email->Data().text + ">");
    }
  } else if (action == FormAction::ItemEvent && item == email) {
    email->SetValid(IsValidMailAddress(email->Text()));
  }
}

}  // namespace corvan::crash
