#pragma once
// Filling a TMapFile: the steps every reader shares (adding publics with
// their names cleaned up, sorting and merging segments, finishing a map)
// and the module ranges taken from the image headers.
#include <string>
#include <string_view>

#include "crash/analysis/PeImage.h"
#include "crash/analysis/zelMapFile.h"

namespace corvan::crash {

// Adds a public unless its name is compiler-generated ("@$x?$..."). The
// name is unmangled (Pascal-style "@Unit@Name" and C++ "_Z..."); a name
// equal to its segment's unit becomes "initialization"; a unit qualification
// other than the segment's is kept in front ("Unit.Name"). Data publics are
// dropped when CodeSymbolsOnly. Segments must be sorted already.
void AddPublic(TMapFile& map, std::string name, Address address, bool isCode);

// A C++ name ("_Z...") demangled; the name itself when it does not demangle.
std::string DemangleCpp(const std::string& name);

// A unit name as segments keep it: without a ".pas" or ".dpr" extension.
std::string UnitWithoutExtension(std::string_view unit);

// Sorts segments: code before data, then by start, then by length.
void SortSegments(TMapFile& map);

// Sorts, then closes the gaps between neighbours of the same kind: a
// segment of length 0, or with the same start as its successor, gives way
// to it; otherwise it is stretched to the successor's start (strict: only
// when they touch or overlap) and neighbours of one unit become one.
void MergeSegments(TMapFile& map, bool strict);

// Sorts publics and lines by address (readers may deliver any order; the
// lookups bisect) and marks the map loaded when it holds any symbol.
void FinishMap(TMapFile& map);

// Fills ModuleBase and the code and data ranges from the module headers.
// codeLength (may be null) receives the code length used for segment
// numbering: the distance between the first two sections when both hold
// code, else the code range's length.
void SetModuleRanges(TMapFile& map, const PeImage& image, const ImageBytes& bytes, Address base,
                     std::uint32_t* codeLength = nullptr);

}  // namespace corvan::crash
