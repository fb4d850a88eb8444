#pragma once
// Improves the palette of Wu's box cut with one step of Lloyd's algorithm.
// Each box entry is the mean of a whole box, but pixels go to their nearest
// entry, which is not always the entry of their box. Moving every entry to
// the mean of the pixels that map to it, then mapping again, removes most of
// that mismatch. Works on the colour cells, not on the pixels, so its cost
// does not grow with the picture.
#include <cstdint>
#include <vector>

#include "crash/codec/WuQuantizer.h"

namespace corvan::crash {

// A palette, the entry each colour cell maps to (as PaletteMapper finds it
// for the cell's mean colour) and the squared error of that mapping, summed
// over all pixels and channels.
struct MappedPalette {
  Palette palette{};
  std::vector<std::uint8_t> entryOfCell;  // by cell key; set for the cells that hold pixels
  std::int64_t squaredError = 0;
};

// Maps the cells that hold pixels to palette.
MappedPalette MapCells(const Palette& palette, const std::vector<ColourCell>& cells);

// Moves each entry of mapped to the mean colour (rounded) of the pixels that
// map to it and maps the cells again. The moved palette is kept only when
// its squared error is lower, so refining never makes a picture worse. In
// the result, entries that no pixel maps to repeat entry 0.
MappedPalette RefinePalette(const MappedPalette& mapped, const std::vector<ColourCell>& cells);

}  // namespace corvan::crash
