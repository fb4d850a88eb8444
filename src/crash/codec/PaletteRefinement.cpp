#include "crash/codec/PaletteRefinement.h"

#include <algorithm>
#include <array>

namespace corvan::crash {
namespace {

using EntryFlags = std::array<bool, kPaletteEntries>;

// Sum over a cell's pixels of the squared distance to entry e:
// sum(x^2) - 2 e . sum(x) + n |e|^2, exact in 64 bits.
std::int64_t CellError(const ColourCell& c, const std::uint8_t* e) {
  const std::int64_t r = e[0], g = e[1], b = e[2];
  return c.squares - 2 * (r * c.red + g * c.green + b * c.blue) +
         c.weight * (r * r + g * g + b * b);
}

EntryFlags UsedEntries(const MappedPalette& mapped, const std::vector<ColourCell>& cells) {
  EntryFlags used{};
  for (const ColourCell& cell : cells) {
    used[mapped.entryOfCell[static_cast<std::size_t>(cell.key)]] = true;
  }
  return used;
}

// Entries that no pixel maps to take the colour of entry 0; as later equals
// of entry 0 they then never win a nearest-entry search.
void RepeatEntryZeroInUnused(Palette& palette, const EntryFlags& used) {
  for (std::size_t k = 1; k < used.size(); ++k) {
    if (!used[k]) std::copy_n(palette.begin(), 3, palette.begin() + k * 3);
  }
}

}  // namespace

MappedPalette MapCells(const Palette& palette, const std::vector<ColourCell>& cells) {
  MappedPalette result;
  result.palette = palette;
  result.entryOfCell.assign(kColourCells, 0);
  PaletteMapper mapper(result.palette);
  for (const ColourCell& cell : cells) {
    // The mean of a cell's pixels lies in the cell: the mapper, asked first
    // for it, searches for exactly that colour.
    const std::uint32_t mean = cell.MeanColour();
    const std::uint8_t entry =
        mapper.IndexOf(static_cast<std::uint8_t>(mean >> 16), static_cast<std::uint8_t>(mean >> 8),
                       static_cast<std::uint8_t>(mean));
    result.entryOfCell[static_cast<std::size_t>(cell.key)] = entry;
    result.squaredError += CellError(cell, &result.palette[entry * 3u]);
  }
  return result;
}

MappedPalette RefinePalette(const MappedPalette& mapped, const std::vector<ColourCell>& cells) {
  std::array<ColourCell, kPaletteEntries> members{};  // all pixels of each entry
  for (const ColourCell& cell : cells) {
    ColourCell& m = members[mapped.entryOfCell[static_cast<std::size_t>(cell.key)]];
    m.weight += cell.weight, m.red += cell.red, m.green += cell.green, m.blue += cell.blue;
  }
  Palette moved = mapped.palette;
  for (std::size_t k = 0; k < members.size(); ++k) {
    if (members[k].weight == 0) continue;
    const std::uint32_t mean = members[k].MeanColour();
    moved[k * 3 + 0] = static_cast<std::uint8_t>(mean >> 16);
    moved[k * 3 + 1] = static_cast<std::uint8_t>(mean >> 8);
    moved[k * 3 + 2] = static_cast<std::uint8_t>(mean);
  }
  RepeatEntryZeroInUnused(moved, UsedEntries(mapped, cells));

  MappedPalette refined = MapCells(moved, cells);
  MappedPalette result = refined.squaredError < mapped.squaredError ? std::move(refined) : mapped;
  RepeatEntryZeroInUnused(result.palette, UsedEntries(result, cells));
  return result;
}

}  // namespace corvan::crash
