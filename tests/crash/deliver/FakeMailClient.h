#pragma once
// Our recording MAPI provider (fake_mapi_provider.dll, built in the
// delivery tests' folder) as the prefix's mail client for the lifetime of the object; the
// previous mail client is put back afterwards. The provider appends what
// MAPISendMail received to the file named by CORVAN_FAKE_MAPI_LOG.
#include <windows.h>

#include <string>

#include "common/WinHandles.h"

namespace corvan::crash::test {

inline constexpr char kClients[] = "Software\\Clients\\Mail";
inline constexpr char kFakeClient[] = "CorvanFakeMapi";

inline std::string ExeFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

// Where the mail client doubles are built, as Wine sees it (drive Z:).
inline std::string DoublesFolder() {
  std::string folder = "Z:" CORVAN_TEST_DOUBLES_DIR "/";
  for (char& c : folder)
    if (c == '/') c = '\\';
  return folder;
}

// Registers the recording provider for the test and puts the prefix's
// previous mail client back afterwards.
class FakeMailClient {
 public:
  FakeMailClient() {
    HKEY opened = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kClients, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                    nullptr);
    clients_.reset(opened);
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    hadDefault_ = RegQueryValueExA(clients_.get(), nullptr, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS;
    previous_ = value;
    SetString(clients_.get(), nullptr, kFakeClient);
    HKEY client = nullptr;
    RegCreateKeyExA(clients_.get(), kFakeClient, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &client,
                    nullptr);
    ScopedRegistryKey owned(client);
    SetString(client, "DLLPath", DoublesFolder() + "fake_mapi_provider.dll");
  }
  FakeMailClient(const FakeMailClient&) = delete;
  FakeMailClient& operator=(const FakeMailClient&) = delete;
  ~FakeMailClient() {
    RegDeleteKeyA(clients_.get(), kFakeClient);
    if (hadDefault_) {
      SetString(clients_.get(), nullptr, previous_);
    } else {
      RegDeleteValueA(clients_.get(), nullptr);
    }
  }

 private:
  static void SetString(HKEY key, const char* name, const std::string& value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  }

  ScopedRegistryKey clients_;
  bool hadDefault_ = false;
  std::string previous_;
};

}  // namespace corvan::crash::test
