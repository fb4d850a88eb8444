#include "crash/ui/AssistantHandlers.h"

#include <shellapi.h>

#include <memory>

namespace corvan::crash {
namespace {

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

// What the screenshot form remembers while an edit is possible.
struct EditingRecord {
  FILETIME written{};
  ScopedHandle editor;  // the editor's process; empty when none runs
};

bool LastWriteTime(const std::string& path, FILETIME& time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  time = data.ftLastWriteTime;
  return true;
}

EditingRecord* RecordOf(const TNVForm& form) {
  return reinterpret_cast<EditingRecord*>(form.UserData());
}

void ShowScreenshot(TNVItem* image, AssistantOwner& owner) {
  if (image) image->SetBitmap(owner.Screenshot());
}

}  // namespace

HANDLE StartImageEditor(const std::string& path) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = "edit";
  info.lpFile = path.c_str();
  info.nShow = SW_SHOWMAXIMIZED;
  if (!ShellExecuteExA(&info)) return nullptr;
  return info.hProcess;
}

void __stdcall HandleScreenshotForm(TNVForm& form, FormAction action, TNVItem* item,
                                    void* ownerObject) {
  if (!ownerObject) return;
  auto& owner = *static_cast<AssistantOwner*>(ownerObject);
  TNVItem* image = form.Find("ScrShotImg", ItemKind::Image);
  TNVItem* attach = form.Find("AttachCheck", ItemKind::CheckBox);
  const std::string folder = owner.TemporaryFolder();
  const std::string file = folder.empty() ? std::string() : folder + "screenShot.bmp";
  EditingRecord* record = RecordOf(form);
  switch (action) {
    case FormAction::Created:
      ShowScreenshot(image, owner);
      if (attach) attach->SetChecked(owner.SendScreenshot());
      break;
    case FormAction::ItemEvent:
      if (item && item->Kind() == ItemKind::Image && item->Bitmap() && !file.empty()) {
        if (!record) {
          const Ref<INVBitmap> shot = owner.Screenshot();
          if (!shot || !shot->WriteBmp(file)) return;
          auto created = std::make_unique<EditingRecord>();
          LastWriteTime(file, created->written);
          record = created.release();
          form.SetUserData(reinterpret_cast<std::uintptr_t>(record));
        }
        if (record->editor && WaitForSingleObject(record->editor.get(), 0) == WAIT_OBJECT_0) {
          record->editor.reset();  // that editor has ended
        }
        if (!record->editor) {
          record->editor = ScopedHandle(StartImageEditor(file));
          if (!record->editor) Beep(60, 60);
        }
      } else if (!item && record) {
        FILETIME now;
        if (!LastWriteTime(file, now) || CompareFileTime(&now, &record->written) == 0) return;
        if (Ref<INVBitmap> edited = LoadBmpFile(file)) {
          record->written = now;
          owner.SetScreenshot(edited);
          ShowScreenshot(image, owner);
        }
      }
      break;
    case FormAction::Closing:
      if (record) {
        // The editor keeps running; only our handle goes.
        delete record;
        form.SetUserData(0);
        if (!file.empty()) DeleteFileA(file.c_str());
      }
      if (attach) owner.SetSendScreenshot(attach->Data().checked);
      break;
    default:
      break;
  }
}

void __stdcall HandleContactForm(TNVForm& form, FormAction action, TNVItem* item, void* owner) {
  TNVItem* name = form.Find("NameEdit", ItemKind::Edit);
  TNVItem* email = form.Find("EmailEdit", ItemKind::Edit);
  TNVItem* remember = form.Find("MemCheck", ItemKind::CheckBox);
  if (!name || !email || !remember) return;
  if (action == FormAction::Created) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kContactKey, 0, KEY_READ, &raw) != ERROR_SUCCESS) return;
    const ScopedRegistryKey key(raw);
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
      const ScopedRegistryKey key(raw);
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
