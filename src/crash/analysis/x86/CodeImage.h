#pragma once
// The parts of a 32-bit PE image the code parser needs: section layout, the
// module's code range and its exports, read through a memory view; and the
// loading of an image file into a view at its preferred base (tools, tests).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "crash/analysis/x86/MemoryView.h"

namespace corvan::crash {

struct TAddressRange {
  Address First = 0;  // inclusive
  Address Limit = 0;  // exclusive
  bool Contains(Address a) const { return a >= First && a < Limit; }
  bool Empty() const { return Limit <= First; }
};

struct TImageSection {
  std::string Name;
  Address Start = 0;  // absolute
  std::uint32_t VirtualSize = 0;
  std::uint32_t Characteristics = 0;
  bool IsCode() const { return (Characteristics & 0x20) != 0; }
};

struct TImageHeaders {
  Address Base = 0;
  bool Is32Bit = true;  // optional-header magic not 0x20B
  Address EntryPoint = 0;
  std::uint32_t BaseOfCode = 0, SizeOfCode = 0;
  std::uint32_t BaseOfData = 0, SizeOfInitializedData = 0, SizeOfUninitializedData = 0;
  std::uint32_t SizeOfImage = 0;
  std::uint32_t ExportRva = 0, ExportSize = 0;
  std::vector<TImageSection> Sections;
};

// Reads the headers of the image at base; false when base holds none.
bool ReadImageHeaders(const TMemoryView& view, Address base, TImageHeaders& headers);

// The range the code parser treats as the module's own code: the first
// section when it is code (up to the end of the second when that is code
// too), else BaseOfCode..+SizeOfCode; for a 32-bit image widened to cover
// the data range as well.
TAddressRange ModuleCodeRange(const TImageHeaders& headers);

// Exported functions (address, name) of the image, sorted by address.
std::vector<std::pair<Address, std::string>> ImageExports(const TMemoryView& view,
                                                          const TImageHeaders& headers);

// Maps an image file's headers and sections into view at its preferred
// base. False (with a reason in error) when the file is not a PE image.
bool LoadImageFile(const std::string& path, TBlockMemoryView& view, TImageHeaders& headers,
                   std::string& error);

// A view over loaded image files that also answers export names.
class TImageFileView : public TBlockMemoryView {
 public:
  bool Load(const std::string& path, std::string& error);
  const TImageHeaders& Headers() const { return headers_; }
  const std::vector<std::pair<Address, std::string>>& Exports() const { return exports_; }
  std::string ExportNameAt(Address address) const override;

 private:
  TImageHeaders headers_;
  std::vector<std::pair<Address, std::string>> exports_;
};

}  // namespace corvan::crash
