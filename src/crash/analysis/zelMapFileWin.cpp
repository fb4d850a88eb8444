// The maps of the modules of this process: found by address, loaded from
// the module's resource or the files beside it, cached per module file.
#include <windows.h>

#include <map>

#include "crash/analysis/CompactMap.h"
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/TextMap.h"
#include "crash/analysis/x86/DisAsmText.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

struct TCachedMap {
  DWORD DosDateTime = 0;
  TMapFileRef Map;
};

// Process-wide, unlocked: lookups run on the thread that builds a report
// (serialised by the crash handler) and at start-up.
std::map<std::string, TCachedMap>& Cache() {
  static auto* cache = new std::map<std::string, TCachedMap>;  // outlives static destructors
  return *cache;
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
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (256 << 20);
  if (ok) {
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    ok = bytes.empty() ||
         (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
          read == bytes.size());
  }
  CloseHandle(file);
  return ok;
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The compact map embedded in the module, or an empty span.
std::span<const std::uint8_t> EmbeddedMap(HMODULE module) {
  HRSRC resource = FindResourceA(module, "EXCEPT", "ZEL");
  if (!resource) return {};
  HGLOBAL loaded = LoadResource(module, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = SizeofResource(module, resource);
  if (!data || !size) return {};
  return {static_cast<const std::uint8_t*>(data), size};
}

// Loads the symbols of the module at base from the first source that works.
TMapFileRef CreateMapFile(HMODULE module, const std::string& path) {
  auto map = std::make_shared<TMapFile>();
  map->CacheKey = map->ModuleFile = path;
  const LiveModuleBytes bytes(module);
  const PeImage image(bytes, ImageLayout::Mapped);
  if (image.Valid()) {
    SetModuleRanges(*map, image, bytes,
                    static_cast<Address>(reinterpret_cast<std::uintptr_t>(module)));
  }
  const TMapFile ranges = *map;
  const std::span<const std::uint8_t> embedded =
      image.Valid() ? EmbeddedMap(module) : std::span<const std::uint8_t>{};
  TCompactMapHeader header;
  const bool minimal =
      ReadCompactMapHeader(embedded, header) && (header.Flags & kCompactMapFlagMinimal);
  bool loaded = false;
  if (!minimal) loaded = ReadCompactMap(embedded, *map);
  // TD32 debug information is a Borland format that the GNU toolchain does
  // not write; our programs carry the compact map instead.
  const std::string stem = WithoutExtension(path);
  std::string file;
  if (!loaded && !minimal && ReadWholeFile(stem + ".map", file)) {
    loaded = ReadTextMap(file, *map);
    if (!loaded) *map = ranges;
  }
  if (!loaded && ReadWholeFile(stem + ".zel", file)) {
    // A minimal embedded map names its full map by identification.
    const bool matches =
        !minimal || CompactMapIdentification(Bytes(file)) == CompactMapIdentification(embedded);
    if (matches) loaded = ReadCompactMap(Bytes(file), *map);
  }
  if (!loaded && minimal) {
    loaded = ReadCompactMap(embedded, *map);
    if (loaded) map->MinDebugInfo = CompactMapIdentification(embedded);
  }
  if (!loaded) *map = ranges;
  FinishMap(*map);
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
    auto& cache = Cache();
    auto found = cache.find(key);
    if (found != cache.end() && found->second.DosDateTime == stamp) return found->second.Map;
    if (found != cache.end()) cache.erase(found);
    TMapFileRef map = CreateMapFile(module, path);
    if (map->Loaded) cache[key] = {stamp, map};
    return map;
  } catch (...) {
    return EmptyMap();
  }
}

void ClearMapFileCache() { Cache().clear(); }

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
