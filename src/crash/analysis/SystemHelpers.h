#pragma once
// Small system services of the crash reporter: computer name, registry
// texts, UTC seconds, open security attributes, module paths, code pages.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

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

// A function of a system library, loaded when not yet loaded (and then
// kept for the process); null when the library or the function is missing.
void* SystemFunctionAddress(const char* library, const char* name);
template <class F>
F SystemFunction(const char* library, const char* name) {
  return reinterpret_cast<F>(SystemFunctionAddress(library, name));
}

// What a folder holds, "." and ".." left out, in the order the system
// lists it; empty when the folder is missing.
struct FolderItem {
  std::string name;
  bool folder = false;
  std::uint64_t bytes = 0;
  std::uint64_t written = 0;  // FILETIME
};
std::vector<FolderItem> ListFolder(const std::string& folder);

std::wstring WideFromAnsi(const std::string& text);
std::string AnsiFromWide(const std::wstring& text);

}  // namespace corvan::crash
