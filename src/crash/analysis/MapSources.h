#pragma once
// The order in which a module's symbols are looked for, over an interface
// to the module and the files beside it, so that the order can be tested
// without a module: the embedded compact map; TD32 data (inside the image,
// else a ".tds" not older than the ".map" by whole days); then ".map",
// ".zel" and ".jdbg" beside the module. A minimal embedded map tries only
// the full ".zel" it stands for, then itself.
#include <cstdint>
#include <span>
#include <string>

#include "crash/analysis/zelMapFile.h"

namespace corvan::crash {

class TMapSources {
 public:
  // The compact map embedded in the module; empty when none.
  virtual std::span<const std::uint8_t> EmbeddedMap() const = 0;
  // The image names TD32 data in its debug directory: its bytes in data.
  virtual bool ImageTd32(std::string& data) const = 0;
  // The whole file beside the module with this extension (".map", ".zel",
  // ".jdbg", ".tds"; the module itself when it has that extension); false
  // when it does not exist or cannot be read in full.
  virtual bool ReadSibling(const std::string& extension, std::string& bytes) const = 0;
  // Whole days of that file's last-write time; false when it does not exist.
  virtual bool SiblingDays(const std::string& extension, std::uint64_t& days) const = 0;
  // The module's MinDebugInfo setting; empty when none is known.
  virtual std::string MinDebugInfoSetting() const = 0;

 protected:
  ~TMapSources() = default;
};

// Fills map (its ranges set, nothing else) from the first source that
// works; TD32 only for a module with a single code section. The map is
// left with its ranges alone when nothing works.
void LoadMapFromSources(const TMapSources& sources, bool singleCodeSection, TMapFile& map);

}  // namespace corvan::crash
