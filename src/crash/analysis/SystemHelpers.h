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

// Security attributes with a null DACL (every user may open the object);
// not inheritable. Owns its descriptor.
class OpenSecurityAttributes {
 public:
  OpenSecurityAttributes();
  SECURITY_ATTRIBUTES* get() { return valid_ ? &attributes_ : nullptr; }

 private:
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool valid_ = false;
};

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
