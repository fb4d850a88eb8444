#pragma once
// PE images of modules loaded in this process, module lists and import
// redirection. Every read of module memory is a guarded read: a module
// that is damaged or unloaded meanwhile gives empty results, not a fault.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crash/analysis/PeImage.h"

namespace corvan::crash {

// Image bytes of a loaded module, read through SafeRead at base + RVA.
class LiveModuleBytes final : public ImageBytes {
 public:
  explicit LiveModuleBytes(const void* base) : base_(reinterpret_cast<std::uintptr_t>(base)) {}
  bool Read(std::uint64_t offset, void* out, std::size_t size) const override;

 private:
  std::uintptr_t base_;
};

// The "PE\0\0" headers of the module at base, or null when the two bytes
// at base are not readable or not "MZ", or the signature is missing.
const IMAGE_NT_HEADERS* ImageNtHeaders(const void* moduleBase);
// Address of a data directory (base + its RVA), or null.
const void* ImageDataDirectory(const void* moduleBase, std::uint32_t index);
const IMAGE_EXPORT_DIRECTORY* ImageExportDirectory(const void* moduleBase);

// The address of a named export, forwarders resolved. With checkFile, or
// when the export table in memory points beyond the image (redirected),
// the function RVA is taken from the module's file when its tables match.
// Falls back to GetProcAddress for 32-bit images; null when not found.
void* ExportAddress(HMODULE module, const char* name, bool checkFile = false);
void* ExportAddress(HMODULE module, std::uint32_t ordinal);
// The name of the export at address ("#" + ordinal without a name, empty
// when none); with unmangle, unmangled and prefixed by its unit.
std::string ExportNameAt(HMODULE module, const void* address, bool unmangle = false);

// The module containing address: base and full file path; false when the
// memory is not committed, has no allocation base or no module file name.
bool ModuleFromAddress(const void* address, HMODULE& module, std::string& path);

struct TModule {
  HMODULE base;
  std::string fileName;  // without path
};
using TDAModule = std::vector<TModule>;
TDAModule ModuleList();

// Writes newAddress into every import slot of the modules that holds
// oldAddress; returns the number of slots changed. A module whose import
// table is damaged is skipped (and, for our own module under a debugger,
// reported in a message box).
int PatchImports(const TDAModule& modules, const void* oldAddress, const void* newAddress);

// The fixed file version (most significant dword high), 0 when none.
std::uint64_t FileVersion(const std::string& path);

// The module that contains this library's code.
HMODULE OwnModule();

// The executable is of the console subsystem.
bool IsConsoleProgram();

}  // namespace corvan::crash
