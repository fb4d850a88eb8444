#include "crash/analysis/SystemHelpers.h"

#include <sddl.h>

#include <vector>

#include "common/WinHandles.h"

namespace corvan::crash {

std::string ComputerName() {
  char buffer[260];
  DWORD size = sizeof buffer;
  return GetComputerNameA(buffer, &size) ? std::string(buffer, size) : std::string();
}

std::string RegReadText(HKEY root, const std::string& path, const std::string& valueName) {
  HKEY key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::string result;
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    // Twice the size: a value may grow between the two calls.
    std::vector<char> buffer(size * 2 + 2, '\0');
    DWORD got = static_cast<DWORD>(buffer.size());
    if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &got) == ERROR_SUCCESS) {
      if (type == REG_SZ) {
        result.assign(buffer.data(), strnlen(buffer.data(), got));
      } else {
        result.assign(buffer.data(), got);
      }
    }
  }
  RegCloseKey(key);
  return result;
}

bool RegWriteText(HKEY root, const std::string& path, const std::string& valueName,
                  const std::string& text) {
  HKEY key;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const bool ok =
      RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

bool RegDeleteValueText(HKEY root, const std::string& path, const std::string& valueName) {
  HKEY key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
  const bool ok = RegDeleteValueA(key, valueName.c_str()) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

std::int64_t UtcSeconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000000);
}

namespace {

// One class of a process token's information as its raw structure; empty
// when it cannot be read.
std::string TokenInformationOf(HANDLE process, TOKEN_INFORMATION_CLASS what) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
  ScopedHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, what, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (!size || !GetTokenInformation(token, what, buffer.data(), size, &size)) return {};
  return buffer;
}

PSID SidOf(std::string& tokenUser) {
  return reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid;
}

}  // namespace

std::string TokenUserOf(HANDLE process) { return TokenInformationOf(process, TokenUser); }

UserOnlySecurityAttributes::UserOnlySecurityAttributes() {
  std::string user = TokenUserOf(GetCurrentProcess());
  char* sid = nullptr;
  if (user.empty() || !ConvertSidToStringSidA(SidOf(user), &sid)) return;
  // Owned by the user, not by the token's default owner (the Administrators
  // group for an elevated administrator and under Wine).
  const std::string sddl = std::string("O:") + sid + "D:P(A;;GA;;;" + sid + ")";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return;
  }
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor;
  attributes_.bInheritHandle = FALSE;
}

UserOnlySecurityAttributes::~UserOnlySecurityAttributes() {
  if (attributes_.lpSecurityDescriptor) LocalFree(attributes_.lpSecurityDescriptor);
}

bool OwnedByCurrentUser(HANDLE object) {
  std::string user = TokenUserOf(GetCurrentProcess());
  // The owner the system gives the objects this process makes: the user,
  // or for an elevated administrator (and under Wine) the Administrators.
  std::string defaultOwner = TokenInformationOf(GetCurrentProcess(), TokenOwner);
  DWORD size = 0;
  GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
  std::string descriptor(size, '\0');
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (user.empty() || !size ||
      !GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, descriptor.data(), size,
                               &size) ||
      !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || !owner)
    return false;
  // Only this account (or, elevated, the administrators, who own the
  // machine anyway) can have made an object owned so.
  return EqualSid(owner, SidOf(user)) ||
         (!defaultOwner.empty() &&
          EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(defaultOwner.data())->Owner));
}

HANDLE CreateOwnMutex(const std::string& name, bool* shared) {
  if (shared) *shared = false;
  UserOnlySecurityAttributes attributes;
  if (attributes.get()) {
    HANDLE mutex = CreateMutexA(attributes.get(), FALSE, name.c_str());
    if (mutex && (GetLastError() != ERROR_ALREADY_EXISTS || OwnedByCurrentUser(mutex))) {
      if (shared) *shared = true;
      return mutex;
    }
    if (mutex) CloseHandle(mutex);
  }
  return CreateMutexA(nullptr, FALSE, nullptr);
}

HANDLE CreateOwnMapping(const std::string& name, DWORD size, bool& created, bool* shared) {
  if (shared) *shared = false;
  UserOnlySecurityAttributes attributes;
  if (attributes.get()) {
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, attributes.get(), PAGE_READWRITE, 0,
                                        size, name.c_str());
    created = mapping && GetLastError() != ERROR_ALREADY_EXISTS;
    if (mapping && (created || OwnedByCurrentUser(mapping))) {
      if (shared) *shared = true;
      return mapping;
    }
    if (mapping) CloseHandle(mapping);
  }
  created = true;
  return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, nullptr);
}

HANDLE OpenOwnMapping(const std::string& name) {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  if (mapping && !OwnedByCurrentUser(mapping)) {
    CloseHandle(mapping);
    return nullptr;
  }
  return mapping;
}

std::string ModulePath(HMODULE module) {
  wchar_t buffer[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameW(module, buffer, static_cast<DWORD>(std::size(buffer)));
  if (n == 0 || n >= std::size(buffer)) return {};
  return AnsiFromWide(std::wstring(buffer, n));
}

std::wstring WideFromAnsi(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string AnsiFromWide(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::vector<FolderItem> ListFolder(const std::string& folder) {
  std::vector<FolderItem> items;
  WIN32_FIND_DATAA found;
  ScopedFind search(FindFirstFileA((folder + "\\*").c_str(), &found));
  if (!search) return items;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    items.push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                     (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                     (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
                     (std::uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32) |
                         found.ftLastWriteTime.dwLowDateTime});
  } while (FindNextFileA(search.get(), &found));
  return items;
}

bool RemoveFolderItem(const std::string& folder, const FolderItem& item) {
  const std::string path = folder + "\\" + item.name;
  return (item.folder ? RemoveDirectoryA(path.c_str()) : DeleteFileA(path.c_str())) != 0;
}

}  // namespace corvan::crash
