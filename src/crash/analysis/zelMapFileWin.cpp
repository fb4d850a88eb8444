// The maps of the modules of this process: found by address, loaded from
// the module's resource or the files beside it, cached per module file.
#include <windows.h>

#include <chrono>
#include <map>
#include <mutex>

#include "common/WinHandles.h"

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/MapSources.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/Td32.h"
#include "crash/analysis/x86/DisAsmText.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

struct TCachedMap {
  DWORD DosDateTime = 0;
  TMapFileRef Map;
};

// Process-wide: reports, the send assistant and zelTraceProcess look up at
// once. The lock is held only around the map itself; a holder may be a
// thread that a tracer has suspended, so a waiter goes on without the
// cache after a while.
std::map<std::string, TCachedMap>& Cache() {
  static auto* cache = new std::map<std::string, TCachedMap>;  // outlives static destructors
  return *cache;
}

constexpr auto kCacheWait = std::chrono::seconds(2);
std::timed_mutex& CacheLock() {
  static auto* lock = new std::timed_mutex;  // outlives static destructors, as the cache
  return *lock;
}

bool FileDosDateTime(const std::string& path, DWORD& value) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  WORD date = 0, time = 0;
  if (!FileTimeToDosDateTime(&data.ftLastWriteTime, &date, &time)) return false;
  value = static_cast<DWORD>(date) << 16 | time;
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  const ScopedFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart >= (256 << 20)) return false;
  bytes.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  return bytes.empty() ||
         (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
          read == bytes.size());
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The MinDebugInfo setting of a module, from the source the settings layer
// registered; empty without one.
TMinDebugInfoSource& MinDebugInfoSource() {
  static TMinDebugInfoSource source = nullptr;
  return source;
}

// A loaded module and the files beside it.
class TModuleSources final : public TMapSources {
 public:
  TModuleSources(HMODULE module, const std::string& path, const PeImage& image)
      : module_(module), path_(path), stem_(WithoutExtension(path)), image_(image) {}

  std::span<const std::uint8_t> EmbeddedMap() const override {
    if (!image_.Valid()) return {};
    HRSRC resource = FindResourceA(module_, "EXCEPT", "ZEL");
    if (!resource) return {};
    HGLOBAL loaded = LoadResource(module_, resource);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(module_, resource);
    if (!data || !size) return {};
    return {static_cast<const std::uint8_t*>(data), size};
  }

  // The debug directory's raw data lies in the file, not always in memory.
  bool ImageTd32(std::string& data) const override {
    std::string file;
    if (!image_.Valid() || !image_.Directory(6) || !ReadWholeFile(path_, file)) return false;
    const std::span<const std::uint8_t> found = Td32DataInImage(Bytes(file));
    if (found.empty()) return false;
    data.assign(reinterpret_cast<const char*>(found.data()), found.size());
    return true;
  }

  bool ReadSibling(const std::string& extension, std::string& bytes) const override {
    return ReadWholeFile(Sibling(extension), bytes);
  }

  bool SiblingDays(const std::string& extension, std::uint64_t& days) const override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(Sibling(extension).c_str(), GetFileExInfoStandard, &data))
      return false;
    const std::uint64_t ticks = std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 |
                                data.ftLastWriteTime.dwLowDateTime;
    days = ticks / (10000000ull * 60 * 60 * 24);
    return true;
  }

  std::string MinDebugInfoSetting() const override {
    const TMinDebugInfoSource source = MinDebugInfoSource();
    return source ? source(static_cast<Address>(reinterpret_cast<std::uintptr_t>(module_)))
                  : std::string();
  }

 private:
  std::string Sibling(const std::string& extension) const {
    return EqualsIgnoreCase(path_.substr(stem_.size()), extension) ? path_ : stem_ + extension;
  }

  HMODULE module_;
  std::string path_, stem_;
  const PeImage& image_;
};

// Loads the symbols of the module at base from the first source that works.
TMapFileRef CreateMapFile(HMODULE module, const std::string& path) {
  auto map = std::make_shared<TMapFile>();
  map->CacheKey = map->ModuleFile = path;
  const LiveModuleBytes bytes(module);
  const PeImage image(bytes, ImageLayout::Mapped);
  std::uint32_t codeLength = 0;
  if (image.Valid()) {
    SetModuleRanges(*map, image, bytes,
                    static_cast<Address>(reinterpret_cast<std::uintptr_t>(module)), &codeLength);
  }
  // TD32 data numbers one code section only (data segment 2).
  const bool singleCodeSection = !image.Valid() || codeLength == map->CodeEnd - map->CodeStart;
  LoadMapFromSources(TModuleSources(module, path, image), singleCodeSection, *map);
  return map;
}

TMapFileRef EmptyMap() { return std::make_shared<TMapFile>(); }

const TMfPublic* PublicStartingAt(const TMapFile& map, Address address) {
  const TMfPublic* pub = PublicAt(map, address);
  return pub && pub->SymbolAddress == address ? pub : nullptr;
}

}  // namespace

TMapFileRef MapFileForAddress(Address address) {
  try {
    if (address == 0)
      address = static_cast<Address>(reinterpret_cast<std::uintptr_t>(&MapFileForAddress));
    HMODULE module = nullptr;
    std::string path;
    if (!ModuleFromAddress(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                           module, path)) {
      return EmptyMap();
    }
    DWORD stamp = 0;
    FileDosDateTime(path, stamp);
    const std::string key = LowerCase(path);
    {
      std::unique_lock lock(CacheLock(), kCacheWait);
      if (lock) {
        auto found = Cache().find(key);
        if (found != Cache().end() && found->second.DosDateTime == stamp) return found->second.Map;
      }
    }
    TMapFileRef map = CreateMapFile(module, path);
    if (map->Loaded) {
      std::unique_lock lock(CacheLock(), kCacheWait);
      if (lock) Cache()[key] = {stamp, map};
    }
    return map;
  } catch (...) {
    return EmptyMap();
  }
}

void ClearMapFileCache() {
  std::unique_lock lock(CacheLock(), kCacheWait);
  if (lock) Cache().clear();
}

void SetMinDebugInfoSource(TMinDebugInfoSource source) {
  MinDebugInfoSource() = source;
  ClearMapFileCache();  // maps read before may have missed their full map
}

bool LookupAddress(Address address, TCodeLocation& location) {
  location = {};
  if (address == 0) {
    address =
        static_cast<Address>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0))) - 1;
  }
  const TMapFileRef map = MapFileForAddress(address);
  if (!map->Loaded) return false;
  location.ModuleName = FileNamePart(map->ModuleFile);
  if (const TMfSegment* seg = SegmentAt(*map, true, address)) location.UnitName = seg->UnitName;
  const TMfPublic* pub = PublicAt(*map, address);
  location.Line = std::max(LineAt(*map, address), 0);
  if (!pub) return false;
  location.PublicAddress = pub->SymbolAddress;
  location.PublicName = pub->SymbolName;
  return true;
}

std::string SymbolNameAt(Address address) {
  const TMapFileRef map = MapFileForAddress(address);
  const TMfPublic* pub = map->Loaded ? PublicStartingAt(*map, address) : nullptr;
  if (!pub) return {};
  const TMfSegment* seg = SegmentAt(*map, pub->IsCode, address);
  std::string text = (seg ? seg->UnitName + "." : std::string()) + pub->SymbolName;
  if (text.find('%') != std::string::npos) text += " (" + FileNamePart(map->ModuleFile) + ")";
  return text;
}

void LineNumberAt(Address address, int& line, Address& rangeStart, Address& rangeEnd) {
  if (line != 0 && address >= rangeStart && address < rangeEnd) return;
  const TMapFileRef map = MapFileForAddress(address);
  Address next = address + 1;
  line = map->Loaded ? std::max(LineAt(*map, address, &next), 0) : 0;
  rangeStart = address;
  rangeEnd = next > address ? next : address + 1;
}

// The listing names functions and numbers lines from the maps whenever
// this unit is linked in.
[[maybe_unused]] const bool kListingWired = [] {
  ListingSymbols().SymbolNameAt = SymbolNameAt;
  ListingSymbols().LineNumberAt = LineNumberAt;
  return true;
}();

}  // namespace corvan::crash
