// The maps of the modules of this process: found by address, loaded from
// the module's resource or the files beside it, cached per module file.
#include <windows.h>

#include <map>

#include "crash/analysis/CompactMap.h"
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/JdbgFile.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/Td32.h"
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

// Whole days of the file's last-write time; false when it does not exist.
bool FileDays(const std::string& path, std::uint64_t& days) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  const std::uint64_t ticks =
      std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
  days = ticks / (10000000ull * 60 * 60 * 24);
  return true;
}

// TD32 information of the module: the data its file names in its debug
// directory (then nothing else is tried), else a ".tds" beside it that is
// not older than the ".map" by whole days.
bool ReadTd32Information(HMODULE module, const PeImage& image, const std::string& path,
                         TMapFile& map) {
  std::string file;
  if (image.Valid() && image.Directory(6) && ReadWholeFile(path, file)) {
    const std::span<const std::uint8_t> data = Td32DataInImage(Bytes(file));
    if (!data.empty()) return ReadTd32(data, map);
  }
  (void)module;
  const std::string stem = WithoutExtension(path);
  const std::string tds = EqualsIgnoreCase(path.substr(stem.size()), ".tds") ? path : stem + ".tds";
  std::uint64_t tdsDays = 0, mapDays = 0;
  if (!FileDays(tds, tdsDays)) return false;
  if (FileDays(stem + ".map", mapDays) && tdsDays < mapDays) return false;
  if (!ReadWholeFile(tds, file)) return false;
  if (IsTd32(Bytes(file))) return ReadTd32(Bytes(file), map);
  return ReadTd32(Td32DataInImage(Bytes(file)), map);  // a ".tds" that is an image
}

// The module's MinDebugInfo setting, from the source the settings layer
// registered; empty without one.
TMinDebugInfoSource& MinDebugInfoSource() {
  static TMinDebugInfoSource source = nullptr;
  return source;
}

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
  const TMapFile ranges = *map;
  const std::span<const std::uint8_t> embedded =
      image.Valid() ? EmbeddedMap(module) : std::span<const std::uint8_t>{};
  TCompactMapHeader header;
  const bool minimal =
      ReadCompactMapHeader(embedded, header) && (header.Flags & kCompactMapFlagMinimal);
  const std::string stem = WithoutExtension(path);
  std::string file;
  bool loaded = false;
  // Every reader leaves the map as it was when it fails, so the next one
  // starts from the ranges alone.
  auto attempt = [&](auto&& read) {
    if (loaded) return;
    loaded = read();
    if (!loaded) *map = ranges;
  };
  if (minimal) {
    // The full map beside the module, when it is the one the minimal map
    // stands for; else the minimal map, whose names only the full map has.
    const TMinDebugInfoSource source = MinDebugInfoSource();
    const std::string wanted =
        source ? source(static_cast<Address>(reinterpret_cast<std::uintptr_t>(module)))
               : std::string();
    attempt([&] {
      return !wanted.empty() && ReadWholeFile(stem + ".zel", file) &&
             CompactMapIdentification(Bytes(file)) == wanted && ReadCompactMap(Bytes(file), *map);
    });
    attempt([&] {
      if (!ReadCompactMap(embedded, *map)) return false;
      map->MinDebugInfo = wanted.empty() ? CompactMapIdentification(embedded) : wanted;
      return true;
    });
  } else {
    attempt([&] { return ReadCompactMap(embedded, *map); });
    if (singleCodeSection) attempt([&] { return ReadTd32Information(module, image, path, *map); });
    attempt([&] { return ReadWholeFile(stem + ".map", file) && ReadTextMap(file, *map); });
    attempt(
        [&] { return ReadWholeFile(stem + ".zel", file) && ReadCompactMap(Bytes(file), *map); });
    attempt([&] { return ReadWholeFile(stem + ".jdbg", file) && ReadJdbg(Bytes(file), *map); });
  }
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
