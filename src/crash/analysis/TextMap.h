#pragma once
// The linker's detailed text map (".map" beside a module), in the column
// layout of the detailed map: a section table, the detailed map of
// segments (one line per unit), the publics by value, the line numbers of
// each unit and the entry point. Segment 1 is the code section; segment
// numbers from 1 up to below the data segment are code.
#include <string>
#include <string_view>
#include <vector>

#include "crash/analysis/zelMapFile.h"

namespace corvan::crash {

// Adds what text holds to map (CodeStart must be set). Lines that do not
// fit the columns are skipped. False when nothing usable was found.
bool ReadTextMap(std::string_view text, TMapFile& map);

// What WriteTextMap needs; addresses are offsets from the code start.
struct TTextMapSource {
  std::uint32_t CodeLength = 0;
  std::uint32_t DataStart = 0, DataLength = 0;  // data section, relative to its own start
  struct Unit {
    std::string Name;  // a file name; written after "M="
    std::uint32_t Start = 0, Length = 0;
    std::vector<TMfLine> Lines;  // LineAddress relative to the code start, ascending
  };
  std::vector<Unit> Units;  // ascending by Start
  struct Symbol {
    std::string Name;  // without spaces (a linkage name)
    std::uint32_t Offset = 0;
  };
  std::vector<Symbol> Publics;  // ascending by Offset
  std::uint32_t EntryPoint = 0;
  bool HasEntryPoint = false;
};

// The text map of source, lines ending in CR LF.
std::string WriteTextMap(const TTextMapSource& source);

}  // namespace corvan::crash
