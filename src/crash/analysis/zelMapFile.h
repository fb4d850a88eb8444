#pragma once
// Debug symbols of one module: which unit, function and source line a code
// address belongs to, and where a named function of a named unit lies.
//
// A map is loaded from the first source that works: the compact map
// embedded as resource "EXCEPT" of type "ZEL", the module's TD32 debug
// information (in the image or a ".tds" beside it), then the files beside
// the module (".map" text map, ".zel" compact map, ".jdbg"). A map is
// immutable once built; every lookup is a binary search.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crash/analysis/x86/MemoryView.h"

namespace corvan::crash {

// One unit's contribution to the code or data section.
struct TMfSegment {
  bool IsCode = false;
  Address SegStart = 0;  // absolute
  std::uint32_t SegLength = 0;
  std::string UnitName;   // without ".pas"/".dpr"; compared without case
  bool HasLines = false;  // minimal form: the unit has a line table
};

struct TMfPublic {
  bool IsCode = false;
  std::string SymbolName;
  Address SymbolAddress = 0;  // absolute
};

struct TMfLine {
  std::int32_t LineNo = 0;
  Address LineAddress = 0;  // absolute
};

// The symbols of one module. Segments sort code before data, then by start
// and length; publics and lines sort by address. Readers fill the tables,
// FinishMap sorts them; lookups rely on the order.
struct TMapFile {
  bool Loaded = false;
  std::vector<TMfSegment> Segments;
  std::vector<TMfPublic> Publics;
  std::vector<TMfLine> Lines;
  Address ProgramEntry = 0;
  bool CodeSymbolsOnly = true;
  std::string CacheKey;    // module path; sibling files replace its extension
  std::string ModuleFile;  // module path as given
  Address ModuleBase = 0;
  Address CodeStart = 0, CodeEnd = 0;  // [CodeStart, CodeEnd)
  Address DataStart = 0, DataEnd = 0;
  std::string MinDebugInfo;  // identification of a minimal-form map, else empty
  // The publics by name for PublicAddress, built by FinishMap: a hash of
  // the name without case and the public's position, ascending (equal
  // hashes in position order). Empty or stale (hand-made maps): the
  // lookup scans the publics instead.
  struct TNameIndex {
    std::uint32_t NameHash = 0;
    std::uint32_t Position = 0;
  };
  std::vector<TNameIndex> PublicsByName;
};

// The hash of PublicsByName: FNV-1a over the name's ASCII bytes in lower
// case.
std::uint32_t PublicNameHash(std::string_view name);

// Maps are shared: the cache keeps one, callers hold another reference as
// long as they use it. Never null where a function below returns one.
using TMapFileRef = std::shared_ptr<const TMapFile>;

// --- Lookups in one map (portable) ---

// The segment of the given kind with SegStart <= address < SegStart +
// SegLength; null when none.
const TMfSegment* SegmentAt(const TMapFile& map, bool isCode, Address address);

// The last public at or below address, when address lies below the next
// public (the last public: below CodeEnd when known); null otherwise.
const TMfPublic* PublicAt(const TMapFile& map, Address address);

// Address of the first public of the kind named name (case-insensitive
// unless caseSensitive) inside a segment of that kind of unit; for a unit
// without "." also tried as unit + ".cpp", ".h", ".c". 0 when not found.
Address PublicAddress(const TMapFile& map, bool isCode, const std::string& unit, bool caseSensitive,
                      const std::string& name);

// The source line of address, and in nextLineStart (may be null) where the
// next line starts. 0 when unknown; -1 when the map is of the minimal form
// and the unit has lines that only the full map can name.
std::int32_t LineAt(const TMapFile& map, Address address, Address* nextLineStart = nullptr);

// --- The process's modules (Windows) ---

// The map of the module that contains address (0: the module of this
// code). Cached per module file until the file's write time changes. When
// no module contains the address, or it has no usable symbols, an empty map
// with Loaded false. Never throws.
TMapFileRef MapFileForAddress(Address address);

// Everything one code address resolves to.
struct TCodeLocation {
  std::string ModuleName;  // file name without path
  std::string UnitName;
  std::int32_t Line = 0;  // 0 when unknown
  Address PublicAddress = 0;
  std::string PublicName;
};

// Module, unit, line and the public containing address; false when the
// module has no map or no public contains it. Address 0 means the caller's
// own return address minus 1.
bool LookupAddress(Address address, TCodeLocation& location);

// "unit.name" when a public starts exactly at address, else empty; a
// minimal-form placeholder name gets " (module file name)" appended.
std::string SymbolNameAt(Address address);

// Line of address with a one-range cache in the caller's variables:
// nothing is looked up while line is non-zero and address lies in
// [rangeStart, rangeEnd); else line (negative as 0), rangeStart = address
// and rangeEnd = the start of the next line.
void LineNumberAt(Address address, int& line, Address& rangeStart, Address& rangeEnd);

// Drops every cached map (process shutdown, tests).
void ClearMapFileCache();

// The MinDebugInfo setting of the module at moduleBase (its settings
// resource), empty when it has none: the identification of the full
// compact map that the module's minimal embedded map stands for. The
// settings live above this layer, so the reporter registers the source at
// start-up, once its settings are read; until then a minimal map is used
// as it is and reports its own identification.
using TMinDebugInfoSource = std::string (*)(Address moduleBase);
void SetMinDebugInfoSource(TMinDebugInfoSource source);

}  // namespace corvan::crash
