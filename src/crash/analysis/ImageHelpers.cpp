#include "crash/analysis/ImageHelpers.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/WinHandles.h"
#include "crash/analysis/SafeRead.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/util/TextParts.h"
#include "crash/analysis/Unmangle.h"

namespace corvan::crash {
namespace {

constexpr int kMaxForwarderDepth = 8;

// A module's file mapped read-only for the length of a lookup.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    const std::wstring wide = WideFromAnsi(path);
    file_.reset(CreateFileW(wide.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
    if (!file_) return;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_.get(), &size) || size.QuadPart == 0 || size.HighPart != 0) return;
    mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping_) return;
    view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
    if (view_) size_ = static_cast<std::size_t>(size.QuadPart);
  }

  std::span<const std::uint8_t> Bytes() const {
    return {static_cast<const std::uint8_t*>(view_.get()), size_};
  }

 private:
  // Released in reverse: view, mapping, file.
  ScopedFile file_;
  ScopedHandle mapping_;
  ScopedView view_;
  std::size_t size_ = 0;
};

// The export's RVA from the module's file, when its tables are the ones
// in memory.
std::optional<std::uint32_t> ExportRvaFromFile(HMODULE module, const PeImage& memory,
                                               const char* name) {
  const std::string path = ModulePath(module);
  if (path.empty()) return std::nullopt;
  MappedFile file(path);
  if (file.Bytes().empty()) return std::nullopt;
  BufferImageBytes bytes(file.Bytes());
  const PeImage image(bytes, ImageLayout::File);
  const auto fileDir = image.ExportDirectory();
  const auto memDir = memory.ExportDirectory();
  if (!fileDir || !memDir || fileDir->namesRva != memDir->namesRva ||
      fileDir->functionsRva != memDir->functionsRva) {
    return std::nullopt;
  }
  return image.ExportRva(name);
}

void* Resolve(HMODULE module, const PeImage& image, std::uint32_t rva, int depth);

void* ResolveForwarder(const std::string& text, int depth) {
  const auto dot = text.find('.');
  if (dot == std::string::npos || depth >= kMaxForwarderDepth) return nullptr;
  const HMODULE target = GetModuleHandleA(text.substr(0, dot).c_str());
  if (!target) return nullptr;
  const std::string function = text.substr(dot + 1);
  LiveModuleBytes bytes(target);
  const PeImage image(bytes, ImageLayout::Mapped);
  if (!image.Valid()) return nullptr;
  std::optional<std::uint32_t> rva;
  if (!function.empty() && function[0] == '#') {
    rva = image.ExportRva(
        static_cast<std::uint32_t>(std::strtoul(function.c_str() + 1, nullptr, 10)));
  } else {
    rva = image.ExportRva(function);
  }
  if (!rva)
    return image.Is64() ? nullptr
                        : reinterpret_cast<void*>(GetProcAddress(target, function.c_str()));
  return Resolve(target, image, *rva, depth + 1);
}

void* Resolve(HMODULE module, const PeImage& image, std::uint32_t rva, int depth) {
  if (image.IsForwarder(rva)) return ResolveForwarder(image.ReadName(rva), depth);
  return reinterpret_cast<std::uint8_t*>(module) + rva;
}

}  // namespace

bool LiveModuleBytes::Read(std::uint64_t offset, void* out, std::size_t size) const {
  if (offset > UINTPTR_MAX - base_) return false;
  return SafeRead(reinterpret_cast<const void*>(base_ + static_cast<std::uintptr_t>(offset)), out,
                  size);
}

const IMAGE_NT_HEADERS* ImageNtHeaders(const void* moduleBase) {
  if (!moduleBase) return nullptr;
  LiveModuleBytes bytes(moduleBase);
  char mz[2];
  LONG ntOffset;
  char signature[4];
  if (!bytes.Read(0, mz, 2) || mz[0] != 'M' || mz[1] != 'Z' || !bytes.Read(0x3C, &ntOffset, 4) ||
      ntOffset < 0 || !bytes.Read(static_cast<std::uint32_t>(ntOffset), signature, 4) ||
      std::memcmp(signature, "PE\0\0", 4) != 0) {
    return nullptr;
  }
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(static_cast<const std::uint8_t*>(moduleBase) +
                                                   ntOffset);
}

const void* ImageDataDirectory(const void* moduleBase, std::uint32_t index) {
  if (!ImageNtHeaders(moduleBase)) return nullptr;
  LiveModuleBytes bytes(moduleBase);
  const PeImage image(bytes, ImageLayout::Mapped);
  const auto dir = image.Directory(index);
  return dir ? static_cast<const std::uint8_t*>(moduleBase) + dir->rva : nullptr;
}

const IMAGE_EXPORT_DIRECTORY* ImageExportDirectory(const void* moduleBase) {
  return static_cast<const IMAGE_EXPORT_DIRECTORY*>(ImageDataDirectory(moduleBase, 0));
}

void* ExportAddress(HMODULE module, const char* name, bool checkFile) {
  if (!module || !name || !ImageNtHeaders(module)) return nullptr;
  LiveModuleBytes bytes(module);
  const PeImage image(bytes, ImageLayout::Mapped);
  auto rva = image.ExportRva(name);
  if (rva && (checkFile || *rva >= image.ImageSize())) {
    if (const auto fromFile = ExportRvaFromFile(module, image, name)) rva = fromFile;
  }
  void* address = rva ? Resolve(module, image, *rva, 0) : nullptr;
  if (!address && !image.Is64()) address = reinterpret_cast<void*>(GetProcAddress(module, name));
  return address;
}

void* ExportAddress(HMODULE module, std::uint32_t ordinal) {
  if (!module || !ImageNtHeaders(module)) return nullptr;
  LiveModuleBytes bytes(module);
  const PeImage image(bytes, ImageLayout::Mapped);
  const auto rva = image.ExportRva(ordinal);
  void* address = rva ? Resolve(module, image, *rva, 0) : nullptr;
  if (!address && !image.Is64()) {
    address = reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal)));
  }
  return address;
}

std::string ExportNameAt(HMODULE module, const void* address, bool unmangle) {
  const auto base = reinterpret_cast<std::uintptr_t>(module);
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (!module || at < base || at - base > 0xFFFFFFFFu || !ImageNtHeaders(module)) return {};
  LiveModuleBytes bytes(module);
  const PeImage image(bytes, ImageLayout::Mapped);
  std::string name = image.ExportNameAt(static_cast<std::uint32_t>(at - base));
  if (unmangle && !name.empty() && name[0] != '#') {
    std::string unit;
    if (UnmangleName(name, unit) && !unit.empty()) name = unit + "." + name;
  }
  return name;
}

bool ModuleFromAddress(const void* address, HMODULE& module, std::string& path) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT ||
      !info.AllocationBase) {
    return false;
  }
  std::string name = ModulePath(static_cast<HMODULE>(info.AllocationBase));
  if (name.empty()) return false;
  module = static_cast<HMODULE>(info.AllocationBase);
  path = std::move(name);
  return true;
}

TDAModule ModuleList() {
  TDAModule modules;
  modules.reserve(10);
  const std::uint8_t* at = nullptr;
  void* previousBase = nullptr;
  MEMORY_BASIC_INFORMATION info;
  while (VirtualQuery(at, &info, sizeof info) == sizeof info) {
    if (info.State == MEM_COMMIT && info.AllocationBase == info.BaseAddress &&
        info.AllocationBase != previousBase) {
      std::string path = ModulePath(static_cast<HMODULE>(info.AllocationBase));
      if (!path.empty())
        modules.push_back({static_cast<HMODULE>(info.AllocationBase), FileNamePart(path)});
    }
    previousBase = info.AllocationBase;
    const std::uint8_t* next = static_cast<const std::uint8_t*>(info.BaseAddress) + info.RegionSize;
    if (next <= at) break;  // wrapped around the top of the address space
    at = next;
  }
  return modules;
}

int PatchImports(const TDAModule& modules, const void* oldAddress, const void* newAddress) {
  int patched = 0;
  for (const TModule& m : modules) {
    if (!ImageNtHeaders(m.base)) continue;
    LiveModuleBytes bytes(m.base);
    const PeImage image(bytes, ImageLayout::Mapped);
    const PeImports imports = image.Imports();
    if (!imports.valid && m.base == OwnModule() && IsDebuggerPresent()) {
      MessageBoxA(
          nullptr,
          "The import table is invalid.\r\n\r\nThis way zelExcept can't install the thread hooks.",
          m.fileName.c_str(), MB_OK);
    }
    // The slots of the descriptors before a damaged one are still good.
    for (const PeImportModule& module : imports.modules) {
      auto* slot =
          reinterpret_cast<const void**>(reinterpret_cast<std::uint8_t*>(m.base) + module.iatRva);
      for (;; ++slot) {
        const void* value;
        if (!SafeRead(slot, &value, sizeof value) || !value) break;
        if (value != oldAddress) continue;
        DWORD previous;
        if (!VirtualProtect(slot, sizeof *slot, PAGE_EXECUTE_READWRITE, &previous)) continue;
        *slot = newAddress;
        VirtualProtect(slot, sizeof *slot, previous, &previous);
        ++patched;
      }
    }
  }
  return patched;
}

std::uint64_t FileVersion(const std::string& path) {
  // version.dll is no known system library: loaded from the system folder
  // at run time, never imported (the loader would look beside the program).
  const auto infoSize =
      SystemFunction<decltype(&GetFileVersionInfoSizeA)>("version.dll", "GetFileVersionInfoSizeA");
  const auto info =
      SystemFunction<decltype(&GetFileVersionInfoA)>("version.dll", "GetFileVersionInfoA");
  const auto query = SystemFunction<decltype(&VerQueryValueA)>("version.dll", "VerQueryValueA");
  if (!infoSize || !info || !query) return 0;
  DWORD ignored = 0;
  const DWORD size = infoSize(path.c_str(), &ignored);
  if (!size) return 0;
  std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[size]);
  if (!info(path.c_str(), 0, size, data.get())) return 0;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!query(data.get(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
      length < sizeof *fixed) {
    return 0;
  }
  return static_cast<std::uint64_t>(fixed->dwFileVersionMS) << 32 | fixed->dwFileVersionLS;
}

HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}

bool IsConsoleProgram() {
  const IMAGE_NT_HEADERS* nt = ImageNtHeaders(GetModuleHandleA(nullptr));
  return nt && nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

}  // namespace corvan::crash
