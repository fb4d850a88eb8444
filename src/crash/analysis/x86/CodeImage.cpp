#include "crash/analysis/x86/CodeImage.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace corvan::crash {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

constexpr std::uint32_t MaxSections = 96;
constexpr std::uint32_t SectionHeaderSize = 40;

// Parses the headers from their bytes (read from memory or from a file).
// headerBytes holds at least the file header, optional header and section
// table; returns false when they are not a PE image's.
bool ParseHeaders(const std::vector<std::uint8_t>& bytes, Address base, TImageHeaders& h) {
  if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  const std::uint32_t pe = Le32(&bytes[0x3C]);
  if (pe > bytes.size() || bytes.size() - pe < 24 + 96) return false;
  if (Le32(&bytes[pe]) != 0x00004550) return false;
  const std::uint8_t* file = &bytes[pe + 4];
  const std::uint16_t sectionCount = Le16(file + 2);
  const std::uint16_t optionalSize = Le16(file + 16);
  const std::uint8_t* opt = file + 20;
  const std::size_t optOffset = pe + 24;
  if (optionalSize < 96 || sectionCount > MaxSections) return false;
  const std::size_t sectionTable = optOffset + optionalSize;
  if (sectionTable + std::size_t{sectionCount} * SectionHeaderSize > bytes.size()) return false;

  h = TImageHeaders{};
  h.Base = base;
  h.Is32Bit = Le16(opt) != 0x20B;
  h.SizeOfCode = Le32(opt + 4);
  h.SizeOfInitializedData = Le32(opt + 8);
  h.SizeOfUninitializedData = Le32(opt + 12);
  h.EntryPoint = Le32(opt + 16) ? base + Le32(opt + 16) : 0;
  h.BaseOfCode = Le32(opt + 20);
  h.BaseOfData = h.Is32Bit ? Le32(opt + 24) : 0;
  h.SizeOfImage = Le32(opt + 56);
  if (h.Is32Bit && optionalSize >= 96 + 8 && Le32(opt + 92) >= 1) {
    h.ExportRva = Le32(opt + 96);
    h.ExportSize = Le32(opt + 100);
  }
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::uint8_t* s = &bytes[sectionTable + std::size_t{i} * SectionHeaderSize];
    TImageSection section;
    section.Name.assign(reinterpret_cast<const char*>(s),
                        strnlen(reinterpret_cast<const char*>(s), 8));
    section.VirtualSize = Le32(s + 8);
    section.Start = base + Le32(s + 12);
    section.Characteristics = Le32(s + 36);
    h.Sections.push_back(std::move(section));
  }
  return true;
}

std::size_t HeaderSpan(const std::vector<std::uint8_t>& first) {
  if (first.size() < 0x40) return 0;
  return Le32(&first[0x3C]) + 24 + 0x100 + MaxSections * SectionHeaderSize;
}

}  // namespace

bool ReadImageHeaders(const TMemoryView& view, Address base, TImageHeaders& headers) {
  std::vector<std::uint8_t> bytes(0x40);
  if (!view.Read(base, bytes.data(), bytes.size())) return false;
  const std::size_t span = std::min<std::size_t>(HeaderSpan(bytes), 0x10000);
  bytes.resize(span);
  bytes.resize(view.ReadUpTo(base, bytes.data(), span));
  return ParseHeaders(bytes, base, headers);
}

TAddressRange ModuleCodeRange(const TImageHeaders& h) {
  TAddressRange range;
  if (!h.Sections.empty() && h.Sections[0].IsCode()) {
    range.First = h.Sections[0].Start;
    range.Limit = range.First + h.Sections[0].VirtualSize;
    if (h.Sections.size() > 1 && h.Sections[1].IsCode()) {
      range.Limit = h.Sections[1].Start + h.Sections[1].VirtualSize;
    }
  } else {
    range.First = h.Base + h.BaseOfCode;
    range.Limit = range.First + h.SizeOfCode;
  }
  if (h.Is32Bit && h.BaseOfData) {
    const Address dataFirst = h.Base + h.BaseOfData;
    const Address dataLimit = dataFirst + h.SizeOfInitializedData + h.SizeOfUninitializedData;
    if (dataLimit > dataFirst) {
      range.First = std::min(range.First, dataFirst);
      range.Limit = std::max(range.Limit, dataLimit);
    }
  }
  return range;
}

std::vector<std::pair<Address, std::string>> ImageExports(const TMemoryView& view,
                                                          const TImageHeaders& h) {
  std::vector<std::pair<Address, std::string>> exports;
  if (!h.ExportRva || h.ExportSize < 40) return exports;
  std::uint8_t dir[40];
  if (!view.Read(h.Base + h.ExportRva, dir, sizeof dir)) return exports;
  const std::uint32_t functionCount = Le32(dir + 20), nameCount = Le32(dir + 24);
  const Address functions = h.Base + Le32(dir + 28), names = h.Base + Le32(dir + 32),
                ordinals = h.Base + Le32(dir + 36);
  constexpr std::uint32_t MaxExports = 65536;
  for (std::uint32_t i = 0; i < std::min(nameCount, MaxExports); ++i) {
    std::uint32_t nameRva = 0, functionRva = 0;
    std::uint16_t ordinal = 0;
    if (!view.ReadDword(names + 4 * i, nameRva) || !view.Read(ordinals + 2 * i, &ordinal, 2)) break;
    if (ordinal >= functionCount || !view.ReadDword(functions + 4u * ordinal, functionRva))
      continue;
    // Forwarders point into the export directory, not at code.
    if (functionRva >= h.ExportRva && functionRva < h.ExportRva + h.ExportSize) continue;
    std::string name;
    char c = 0;
    for (Address at = h.Base + nameRva; name.size() < 256 && view.Read(at, &c, 1) && c; ++at)
      name += c;
    exports.emplace_back(h.Base + functionRva, std::move(name));
  }
  std::sort(exports.begin(), exports.end());
  return exports;
}

bool LoadImageFile(const std::string& path, TBlockMemoryView& view, TImageHeaders& headers,
                   std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  std::vector<std::uint8_t> head(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                  file.size(), HeaderSpan(file))));
  if (file.size() < 0x40 || !ParseHeaders(head, 0, headers)) {
    error = path + " is not a PE image";
    return false;
  }
  const std::uint32_t pe = Le32(&file[0x3C]);
  const Address base = Le32(&file[pe + 24 + 28]);
  ParseHeaders(head, base, headers);
  const std::uint32_t sizeOfHeaders =
      std::min<std::uint32_t>(Le32(&file[pe + 24 + 60]), static_cast<std::uint32_t>(file.size()));
  view.Add(base, std::vector<std::uint8_t>(file.begin(), file.begin() + sizeOfHeaders), base);
  const std::size_t sectionTable = pe + 24 + Le16(&file[pe + 4 + 16]);
  for (std::size_t i = 0; i < headers.Sections.size(); ++i) {
    const std::uint8_t* s = &file[sectionTable + i * SectionHeaderSize];
    const std::uint32_t rawSize = Le32(s + 16), rawOffset = Le32(s + 20);
    std::uint32_t size =
        headers.Sections[i].VirtualSize ? headers.Sections[i].VirtualSize : rawSize;
    size = (size + 0xFFF) & ~0xFFFu;
    std::vector<std::uint8_t> bytes(size);
    if (rawOffset < file.size()) {
      const std::size_t n = std::min<std::size_t>({rawSize, size, file.size() - rawOffset});
      std::copy_n(file.begin() + rawOffset, n, bytes.begin());
    }
    if (!bytes.empty()) view.Add(headers.Sections[i].Start, std::move(bytes), base);
  }
  return true;
}

bool TImageFileView::Load(const std::string& path, std::string& error) {
  if (!LoadImageFile(path, *this, headers_, error)) return false;
  exports_ = ImageExports(*this, headers_);
  return true;
}

std::string TImageFileView::ExportNameAt(Address address) const {
  auto it =
      std::lower_bound(exports_.begin(), exports_.end(), std::make_pair(address, std::string()));
  return it != exports_.end() && it->first == address ? it->second : std::string();
}

}  // namespace corvan::crash
