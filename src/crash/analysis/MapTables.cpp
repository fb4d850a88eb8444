#include "crash/analysis/MapTables.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "crash/analysis/Unmangle.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr std::uint32_t kCodeFlag = 0x20;

bool SegmentLess(const TMfSegment& a, const TMfSegment& b) {
  if (a.IsCode != b.IsCode) return a.IsCode;
  if (a.SegStart != b.SegStart) return a.SegStart < b.SegStart;
  return a.SegLength < b.SegLength;
}

// "@$xp$..." and the like: type information the compiler made up.
bool IsCompilerGenerated(const std::string& name) {
  return name.size() >= 6 && name.compare(0, 3, "@$x") == 0 && name[4] == '$';
}

std::uint32_t ReadU32(const ImageBytes& bytes, std::uint64_t offset) {
  std::uint32_t value = 0;
  return bytes.Read(offset, &value, sizeof value) ? value : 0;
}

}  // namespace

std::string DemangleCpp(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !text) return name;
  std::string result(text);
  std::free(text);
  return result;
}

void AddPublic(TMapFile& map, std::string name, Address address, bool isCode) {
  if (name.empty() || IsCompilerGenerated(name)) return;
  if (isCode == false && map.CodeSymbolsOnly) return;
  std::string qualification;
  if (name.size() > 2 && name[0] == '_' && name[1] == 'Z') {
    name = DemangleCpp(name);
  } else {
    UnmangleName(name, qualification);
  }
  if (const TMfSegment* segment = SegmentAt(map, isCode, address)) {
    if (EqualsIgnoreCase(name, segment->UnitName)) {
      name = "initialization";
    }
    if (!qualification.empty() && !EqualsIgnoreCase(qualification, segment->UnitName)) {
      name = qualification + "." + name;
    }
  } else if (!qualification.empty()) {
    name = qualification + "." + name;
  }
  if (map.Publics.size() == map.Publics.capacity()) {
    map.Publics.reserve(std::max<std::size_t>(16, map.Publics.size() + map.Publics.size() / 2));
  }
  map.Publics.push_back({isCode, std::move(name), address});
}

std::string UnitWithoutExtension(std::string_view unit) {
  for (const char* ext : {".pas", ".dpr"}) {
    if (unit.size() > 4 && EqualsIgnoreCase(unit.substr(unit.size() - 4), ext))
      return std::string(unit.substr(0, unit.size() - 4));
  }
  return std::string(unit);
}

void SortSegments(TMapFile& map) {
  std::stable_sort(map.Segments.begin(), map.Segments.end(), SegmentLess);
}

void MergeSegments(TMapFile& map, bool strict) {
  SortSegments(map);
  std::vector<TMfSegment>& s = map.Segments;
  std::vector<TMfSegment> merged;
  merged.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    TMfSegment current = s[i];
    // Merge forward while the successor is of the same kind.
    while (i + 1 < s.size() && s[i + 1].IsCode == current.IsCode) {
      const TMfSegment& next = s[i + 1];
      if (current.SegLength == 0 || current.SegStart == next.SegStart) {
        current = next;
        ++i;
        continue;
      }
      const Address end = current.SegStart + current.SegLength;
      if (!strict || end >= next.SegStart) current.SegLength = next.SegStart - current.SegStart;
      if (!EqualsIgnoreCase(current.UnitName, next.UnitName) ||
          current.SegStart + current.SegLength != next.SegStart) {
        break;
      }
      current.SegLength += next.SegLength;
      current.HasLines = current.HasLines || next.HasLines;
      ++i;
    }
    merged.push_back(std::move(current));
  }
  s = std::move(merged);
}

void FinishMap(TMapFile& map) {
  SortSegments(map);
  std::stable_sort(
      map.Publics.begin(), map.Publics.end(),
      [](const TMfPublic& a, const TMfPublic& b) { return a.SymbolAddress < b.SymbolAddress; });
  std::stable_sort(map.Lines.begin(), map.Lines.end(), [](const TMfLine& a, const TMfLine& b) {
    return a.LineAddress < b.LineAddress;
  });
  map.PublicsByName.resize(map.Publics.size());
  for (std::size_t i = 0; i < map.Publics.size(); ++i) {
    map.PublicsByName[i] = {PublicNameHash(map.Publics[i].SymbolName),
                            static_cast<std::uint32_t>(i)};
  }
  std::sort(map.PublicsByName.begin(), map.PublicsByName.end(),
            [](const TMapFile::TNameIndex& a, const TMapFile::TNameIndex& b) {
              return a.NameHash != b.NameHash ? a.NameHash < b.NameHash : a.Position < b.Position;
            });
  map.Loaded = map.Loaded || !map.Segments.empty() || !map.Publics.empty() || !map.Lines.empty();
}

void SetModuleRanges(TMapFile& map, const PeImage& image, const ImageBytes& bytes, Address base,
                     std::uint32_t* codeLength) {
  map.ModuleBase = base;
  const std::vector<PeSection>& sections = image.Sections();
  std::uint32_t length = 0;
  if (!sections.empty() && (sections[0].characteristics & kCodeFlag)) {
    map.CodeStart = base + sections[0].virtualAddress;
    map.CodeEnd = map.CodeStart + sections[0].virtualSize;
    length = sections[0].virtualSize;
    if (sections.size() > 1 && (sections[1].characteristics & kCodeFlag)) {
      map.CodeEnd = base + sections[1].virtualAddress + sections[1].virtualSize;
      length = sections[1].virtualAddress - sections[0].virtualAddress;
    }
  } else {
    map.CodeStart = base + image.CodeBase();
    map.CodeEnd = map.CodeStart + image.CodeSize();
    length = image.CodeSize();
  }
  // SizeOfUninitializedData sits 12 bytes into the optional header.
  const std::uint32_t uninitialized =
      ReadU32(bytes, std::uint64_t(image.NtHeadersOffset()) + 24 + 12);
  map.DataStart = base + image.DataBase();
  map.DataEnd = map.DataStart + image.InitializedDataSize() + uninitialized;
  if (codeLength) *codeLength = length;
}

}  // namespace corvan::crash
