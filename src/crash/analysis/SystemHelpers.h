#pragma once
// Small system services of the crash reporter: computer name, registry
// texts, UTC seconds, open security attributes, module paths, code pages.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/SystemLibrary.h"

namespace corvan::crash {

std::string ComputerName();

// The value as text (string values) or as its raw bytes (other types);
// empty when the key or value is missing.
std::string RegReadText(HKEY root, const std::string& path, const std::string& valueName);
bool RegWriteText(HKEY root, const std::string& path, const std::string& valueName,
                  const std::string& text);
bool RegDeleteValueText(HKEY root, const std::string& path, const std::string& valueName);

// Whole seconds since 1601 (UTC).
std::int64_t UtcSeconds();

// Security attributes whose DACL lets the current user only open the
// object (no other account, not even an administrator's program of another
// user); not inheritable. Owns its descriptor; get() is null when it could
// not be built, and callers then make no named object at all.
class UserOnlySecurityAttributes {
 public:
  UserOnlySecurityAttributes();
  ~UserOnlySecurityAttributes();
  UserOnlySecurityAttributes(const UserOnlySecurityAttributes&) = delete;
  UserOnlySecurityAttributes& operator=(const UserOnlySecurityAttributes&) = delete;
  SECURITY_ATTRIBUTES* get() { return attributes_.lpSecurityDescriptor ? &attributes_ : nullptr; }

 private:
  SECURITY_ATTRIBUTES attributes_{};
};

// A process's token user (a TOKEN_USER with its SID) as bytes; empty when
// unreadable.
std::string TokenUserOf(HANDLE process);
// Whether the current user owns the kernel object.
bool OwnedByCurrentUser(HANDLE object);

// Named objects the modules of one process share (an unprefixed name of a
// program lies in its session's namespace), open to the current user only. A name that already
// exists and belongs to another account (squatted to steer or hang the process) is refused: the
// caller gets a private, unnamed object instead and `shared` (when given) says so. Null when no
// object could be made.
HANDLE CreateOwnMutex(const std::string& name, bool* shared = nullptr);
// created: this call made the mapping (it did not exist before).
HANDLE CreateOwnMapping(const std::string& name, DWORD size, bool& created, bool* shared = nullptr);
// An existing mapping of the current user; null when absent or foreign.
HANDLE OpenOwnMapping(const std::string& name);
// How long a named mutex is waited for before going on without it.
inline constexpr DWORD kNamedMutexWaitMs = 10000;

// The file path of a module; null stands for the executable.
std::string ModulePath(HMODULE module = nullptr);

// A function of a loaded module as its type; null when missing.
template <class F>
F ModuleFunction(HMODULE module, const char* name) {
  return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                : nullptr;
}

// SystemFunction: common/SystemLibrary.h (from the system folder only).
using corvan::SystemFunction;

// What a folder holds, "." and ".." left out, in the order the system
// lists it; empty when the folder is missing.
struct FolderItem {
  std::string name;
  bool folder = false;
  bool link = false;  // a reparse point (junction, symbolic link): never follow it
  std::uint64_t bytes = 0;
  std::uint64_t written = 0;  // FILETIME
};
std::vector<FolderItem> ListFolder(const std::string& folder);
// Removes one listed item without following it: a file, an empty folder,
// or a link itself (a junction or folder link as a folder, a file link as
// a file), so that a link placed in our folders never leads a removal
// into a foreign tree. Attributes stay as they are: a read-only file the
// program did not make is not made deletable. False when it stays.
bool RemoveFolderItem(const std::string& folder, const FolderItem& item);

std::wstring WideFromAnsi(const std::string& text);
std::string AnsiFromWide(const std::wstring& text);

}  // namespace corvan::crash
