#include "crash/analysis/PeImage.h"

#include <algorithm>
#include <cstring>

#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe64 = 0x20B;
constexpr std::uint32_t kMaxSections = 96;  // the loader's own limit
constexpr std::uint32_t kMaxExportEntries = 0x10000;
constexpr std::uint32_t kMaxImportModules = 4096;
constexpr std::uint32_t kMaxImportFunctions = 65536;  // over all modules of the table
constexpr std::uint16_t kVersionResource = 16;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

template <class T>
bool ReadAt(const ImageBytes& bytes, std::uint64_t offset, T& out) {
  return bytes.Read(offset, &out, sizeof out);
}

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

bool BufferImageBytes::Read(std::uint64_t offset, void* out, std::size_t size) const {
  if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
  if (size) std::memcpy(out, bytes_.data() + offset, size);
  return true;
}

PeImage::PeImage(const ImageBytes& bytes, ImageLayout layout) : bytes_(bytes), layout_(layout) {
  std::uint8_t dos[0x40];
  if (!bytes_.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return;
  ntOffset_ = U32(dos + 0x3C);
  // Signature (4), file header (20), the optional header's fixed part.
  std::uint8_t nt[4 + 20 + 112];
  if (!bytes_.Read(ntOffset_, nt, 4 + 20 + 2) || std::memcmp(nt, "PE\0\0", 4) != 0) return;
  const std::uint8_t* file = nt + 4;
  machine_ = U16(file);
  const std::uint32_t sectionCount = std::min<std::uint32_t>(U16(file + 2), kMaxSections);
  timeStamp_ = U32(file + 4);
  const std::uint32_t optionalSize = U16(file + 16);
  const std::uint16_t magic = U16(nt + 24);
  if (magic != kMagicPe32 && magic != kMagicPe64) return;
  is64_ = magic == kMagicPe64;
  const std::uint32_t fixedSize = is64_ ? 112 : 96;
  if (optionalSize < fixedSize || !bytes_.Read(ntOffset_ + 24, nt + 24, fixedSize)) return;
  const std::uint8_t* opt = nt + 24;
  codeSize_ = U32(opt + 4);
  initializedDataSize_ = U32(opt + 8);
  entryPoint_ = U32(opt + 16);
  codeBase_ = U32(opt + 20);
  dataBase_ = is64_ ? 0 : U32(opt + 24);
  imageBase_ =
      is64_ ? (static_cast<std::uint64_t>(U32(opt + 28)) << 32 | U32(opt + 24)) : U32(opt + 28);
  imageSize_ = U32(opt + 56);
  directoryCount_ =
      std::min<std::uint32_t>(U32(opt + (is64_ ? 108 : 92)), (optionalSize - fixedSize) / 8);
  const std::uint64_t sectionTable = std::uint64_t(ntOffset_) + 24 + optionalSize;
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    std::uint8_t raw[40];
    if (!bytes_.Read(sectionTable + 40ULL * i, raw, sizeof raw)) break;
    PeSection s;
    s.name.assign(reinterpret_cast<const char*>(raw),
                  strnlen(reinterpret_cast<const char*>(raw), 8));
    s.virtualSize = U32(raw + 8);
    s.virtualAddress = U32(raw + 12);
    s.rawSize = U32(raw + 16);
    s.rawOffset = U32(raw + 20);
    s.characteristics = U32(raw + 36);
    sections_.push_back(std::move(s));
  }
  valid_ = true;
}

std::optional<PeDirectory> PeImage::Directory(std::uint32_t index) const {
  if (!valid_ || index >= directoryCount_) return std::nullopt;
  std::uint8_t raw[8];
  if (!bytes_.Read(std::uint64_t(ntOffset_) + (is64_ ? 136 : 120) + 8ULL * index, raw, 8)) {
    return std::nullopt;
  }
  PeDirectory d{U32(raw), U32(raw + 4)};
  if (d.rva == 0) return std::nullopt;
  return d;
}

std::optional<std::uint64_t> PeImage::RvaToOffset(std::uint32_t rva) const {
  if (layout_ == ImageLayout::Mapped) return rva;
  const PeSection* best = nullptr;
  for (const PeSection& s : sections_) {
    if (s.virtualAddress <= rva && (!best || s.virtualAddress > best->virtualAddress)) best = &s;
  }
  if (!best) return rva;  // the headers map one to one
  return std::uint64_t(rva - best->virtualAddress) + best->rawOffset;
}

bool PeImage::ReadRva(std::uint32_t rva, void* out, std::size_t size) const {
  const auto offset = RvaToOffset(rva);
  return offset && bytes_.Read(*offset, out, size);
}

std::optional<std::uint32_t> PeImage::ReadU32(std::uint32_t rva) const {
  std::uint8_t raw[4];
  if (!ReadRva(rva, raw, 4)) return std::nullopt;
  return U32(raw);
}

std::string PeImage::ReadName(std::uint32_t rva, std::size_t maxLength) const {
  std::string out;
  char chunk[32];
  while (out.size() < maxLength) {
    const std::size_t want = std::min(sizeof chunk, maxLength - out.size());
    std::size_t got = want;
    // Near the end of the source, fall back to reading byte by byte.
    while (got && !ReadRva(rva + static_cast<std::uint32_t>(out.size()), chunk, got))
      got = got > 1 ? 1 : 0;
    if (!got) break;
    const void* zero = std::memchr(chunk, 0, got);
    if (zero) {
      out.append(chunk, static_cast<const char*>(zero) - chunk);
      break;
    }
    out.append(chunk, got);
  }
  return out;
}

std::optional<PeExportDirectory> PeImage::ExportDirectory() const {
  const auto dir = Directory(0);
  std::uint8_t raw[40];
  if (!dir || !ReadRva(dir->rva, raw, sizeof raw)) return std::nullopt;
  PeExportDirectory e;
  e.rva = dir->rva;
  e.size = dir->size;
  e.ordinalBase = U32(raw + 16);
  e.functionCount = std::min(U32(raw + 20), kMaxExportEntries);
  e.nameCount = std::min(U32(raw + 24), kMaxExportEntries);
  e.functionsRva = U32(raw + 28);
  e.namesRva = U32(raw + 32);
  e.ordinalsRva = U32(raw + 36);
  return e;
}

std::optional<std::uint32_t> PeImage::ExportOrdinalIndexByName(const PeExportDirectory& dir,
                                                               std::string_view name) const {
  auto ordinalAt = [&](std::uint32_t i) -> std::optional<std::uint32_t> {
    std::uint8_t raw[2];
    if (!ReadRva(dir.ordinalsRva + 2 * i, raw, 2)) return std::nullopt;
    return U16(raw);
  };
  // Linkers sort the name table (the loader searches it by halves); a
  // table that is not sorted is still searched from end to end.
  std::uint32_t low = 0, high = dir.nameCount;
  while (low < high) {
    const std::uint32_t mid = low + (high - low) / 2;
    const auto nameRva = ReadU32(dir.namesRva + 4 * mid);
    if (!nameRva) break;
    const std::string candidate = ReadName(*nameRva);
    const int order = candidate.compare(name);
    if (order == 0) return ordinalAt(mid);
    if (order < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  for (std::uint32_t i = 0; i < dir.nameCount; ++i) {
    const auto nameRva = ReadU32(dir.namesRva + 4 * i);
    if (!nameRva) return std::nullopt;
    if (ReadName(*nameRva, name.size() + 1) == name) return ordinalAt(i);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> PeImage::ExportRva(std::string_view name) const {
  const auto dir = ExportDirectory();
  if (!dir) return std::nullopt;
  const auto index = ExportOrdinalIndexByName(*dir, name);
  if (!index || *index >= dir->functionCount) return std::nullopt;
  const auto rva = ReadU32(dir->functionsRva + 4 * *index);
  if (!rva || *rva == 0) return std::nullopt;
  return rva;
}

std::optional<std::uint32_t> PeImage::ExportRva(std::uint32_t ordinal) const {
  const auto dir = ExportDirectory();
  if (!dir || ordinal < dir->ordinalBase || ordinal - dir->ordinalBase >= dir->functionCount) {
    return std::nullopt;
  }
  const auto rva = ReadU32(dir->functionsRva + 4 * (ordinal - dir->ordinalBase));
  if (!rva || *rva == 0) return std::nullopt;
  return rva;
}

bool PeImage::IsForwarder(std::uint32_t rva) const {
  const auto dir = Directory(0);
  return dir && rva >= dir->rva && rva - dir->rva < dir->size;
}

std::vector<PeExport> PeImage::Exports() const {
  std::vector<PeExport> exports;
  const auto dir = ExportDirectory();
  if (!dir) return exports;
  std::vector<std::string> names(dir->functionCount);
  for (std::uint32_t i = 0; i < dir->nameCount; ++i) {
    const auto nameRva = ReadU32(dir->namesRva + 4 * i);
    std::uint8_t raw[2];
    if (!nameRva || !ReadRva(dir->ordinalsRva + 2 * i, raw, 2)) break;
    if (U16(raw) < names.size() && names[U16(raw)].empty()) names[U16(raw)] = ReadName(*nameRva);
  }
  for (std::uint32_t i = 0; i < dir->functionCount; ++i) {
    const auto rva = ReadU32(dir->functionsRva + 4 * i);
    if (!rva) break;
    if (*rva == 0) continue;
    PeExport e;
    e.ordinal = dir->ordinalBase + i;
    e.name = std::move(names[i]);
    e.rva = *rva;
    if (IsForwarder(*rva)) e.forwarder = ReadName(*rva);
    exports.push_back(std::move(e));
  }
  return exports;
}

std::string PeImage::ExportNameAt(std::uint32_t rva) const {
  const auto dir = ExportDirectory();
  if (!dir) return {};
  for (std::uint32_t i = 0; i < dir->functionCount; ++i) {
    const auto f = ReadU32(dir->functionsRva + 4 * i);
    if (!f) return {};
    if (*f != rva || rva == 0) continue;
    for (std::uint32_t n = 0; n < dir->nameCount; ++n) {
      std::uint8_t raw[2];
      if (!ReadRva(dir->ordinalsRva + 2 * n, raw, 2)) break;
      if (U16(raw) != i) continue;
      const auto nameRva = ReadU32(dir->namesRva + 4 * n);
      if (nameRva) return ReadName(*nameRva);
    }
    return "#" + std::to_string(dir->ordinalBase + i);
  }
  return {};
}

PeImports PeImage::Imports() const {
  PeImports result;
  const auto dir = Directory(1);
  if (!dir) return result;
  const std::uint64_t dirEnd = std::uint64_t(dir->rva) + dir->size;
  std::uint32_t functionBudget = kMaxImportFunctions;
  for (std::uint32_t i = 0; i < kMaxImportModules; ++i) {
    const std::uint32_t at = dir->rva + 20 * i;
    std::uint8_t raw[20];
    if (!ReadRva(at, raw, sizeof raw)) break;
    const std::uint32_t lookupRva = U32(raw), nameRva = U32(raw + 12), iatRva = U32(raw + 16);
    if (nameRva == 0) break;
    if (iatRva > dirEnd) {
      result.valid = false;
      break;
    }
    PeImportModule m;
    m.module = ReadName(nameRva);
    m.descriptorRva = at;
    m.iatRva = iatRva;
    // Names come from the lookup table; bound images hold addresses in the
    // address table, so it is only the fallback.
    const std::uint32_t table = lookupRva ? lookupRva : iatRva;
    const std::uint32_t slotSize = is64_ ? 8 : 4;
    for (std::uint32_t n = 0; functionBudget > 0; ++n, --functionBudget) {
      std::uint8_t slot[8] = {};
      if (!ReadRva(table + slotSize * n, slot, slotSize)) break;
      const std::uint64_t value =
          is64_ ? (static_cast<std::uint64_t>(U32(slot + 4)) << 32 | U32(slot)) : U32(slot);
      if (value == 0) break;
      PeImportedFunction f;
      f.slotRva = iatRva + slotSize * n;
      const bool byOrdinal = is64_ ? (value >> 63) != 0 : (value >> 31) != 0;
      if (byOrdinal) {
        f.ordinal = static_cast<std::uint32_t>(value & 0xFFFF);
      } else {
        f.name = ReadName(static_cast<std::uint32_t>(value) + 2);  // after the hint
      }
      m.functions.push_back(std::move(f));
    }
    result.modules.push_back(std::move(m));
  }
  return result;
}

bool PeImage::ReadResourceDirectory(std::uint32_t dirRva, std::uint32_t dirSize,
                                    std::uint32_t offset,
                                    std::vector<ResourceEntry>& entries) const {
  std::uint8_t header[16];
  if (offset >= dirSize || !ReadRva(dirRva + offset, header, sizeof header)) return false;
  const std::uint32_t count = U16(header + 12) + U16(header + 14);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t raw[8];
    if (!ReadRva(dirRva + offset + 16 + 8 * i, raw, 8)) return false;
    const std::uint32_t nameField = U32(raw), dataField = U32(raw + 4);
    ResourceEntry e{std::uint16_t(0), dataField & 0x7FFFFFFF, (dataField >> 31) != 0};
    if (nameField >> 31) {
      const std::uint32_t nameOffset = nameField & 0x7FFFFFFF;
      std::uint8_t lengthRaw[2];
      if (nameOffset >= dirSize || !ReadRva(dirRva + nameOffset, lengthRaw, 2)) continue;
      const std::size_t length = std::min<std::size_t>(U16(lengthRaw), kMaxImageName);
      std::string name;
      for (std::size_t c = 0; c < length; ++c) {
        std::uint8_t ch[2];
        if (!ReadRva(dirRva + nameOffset + 2 + 2 * static_cast<std::uint32_t>(c), ch, 2)) break;
        const std::uint16_t u = U16(ch);
        name += u < 128 ? static_cast<char>(u) : '?';
      }
      e.key = std::move(name);
    } else {
      e.key = static_cast<std::uint16_t>(nameField & 0xFFFF);
    }
    entries.push_back(std::move(e));
  }
  return true;
}

std::optional<PeResource> PeImage::FindResourceEntry(const ResourceKey& type,
                                                     const ResourceKey& name,
                                                     std::optional<std::uint16_t> language) const {
  const auto dir = Directory(2);
  if (!dir) return std::nullopt;
  auto matches = [](const ResourceKey& want, const ResourceKey& have) {
    if (want.index() != have.index()) return false;
    if (const auto* id = std::get_if<std::uint16_t>(&want))
      return *id == std::get<std::uint16_t>(have);
    return EqualsIgnoreCase(std::get<std::string>(want), std::get<std::string>(have));
  };
  // Three levels: type, name, language; the first match of each.
  std::uint32_t offset = 0;
  const ResourceKey* wanted[2] = {&type, &name};
  for (const ResourceKey* key : wanted) {
    std::vector<ResourceEntry> entries;
    if (!ReadResourceDirectory(dir->rva, dir->size, offset, entries)) return std::nullopt;
    const auto it = std::find_if(entries.begin(), entries.end(), [&](const ResourceEntry& e) {
      return e.isDirectory && matches(*key, e.key);
    });
    if (it == entries.end()) return std::nullopt;
    offset = it->offset;
  }
  std::vector<ResourceEntry> languages;
  if (!ReadResourceDirectory(dir->rva, dir->size, offset, languages)) return std::nullopt;
  for (const ResourceEntry& e : languages) {
    if (e.isDirectory || !std::holds_alternative<std::uint16_t>(e.key)) continue;
    const std::uint16_t lang = std::get<std::uint16_t>(e.key);
    if (language && *language != lang) continue;
    std::uint8_t data[8];
    if (e.offset >= dir->size || !ReadRva(dir->rva + e.offset, data, sizeof data))
      return std::nullopt;
    return PeResource{U32(data), U32(data + 4), lang};
  }
  return std::nullopt;
}

std::optional<FixedFileVersion> PeImage::FileVersion() const {
  const auto dir = Directory(2);
  if (!dir) return std::nullopt;
  std::vector<ResourceEntry> types;
  if (!ReadResourceDirectory(dir->rva, dir->size, 0, types)) return std::nullopt;
  const auto type = std::find_if(types.begin(), types.end(), [](const ResourceEntry& e) {
    return e.isDirectory && e.key == ResourceKey(kVersionResource);
  });
  if (type == types.end()) return std::nullopt;
  std::vector<ResourceEntry> names;
  if (!ReadResourceDirectory(dir->rva, dir->size, type->offset, names) || names.empty() ||
      !names[0].isDirectory) {
    return std::nullopt;
  }
  const auto res = FindResourceEntry(kVersionResource, names[0].key);
  // VS_VERSIONINFO: length, value length, type, "VS_VERSION_INFO\0", padding
  // to 4 bytes, then the fixed information (52 bytes).
  std::uint8_t raw[40 + 52];
  if (!res || res->size < sizeof raw || !ReadRva(res->rva, raw, sizeof raw)) return std::nullopt;
  if (U16(raw + 2) < 52 || U32(raw + 40) != kFixedFileInfoSignature) return std::nullopt;
  const std::uint8_t* fixed = raw + 40;
  return FixedFileVersion{U32(fixed + 8), U32(fixed + 12), U32(fixed + 16), U32(fixed + 20)};
}

std::vector<std::uint8_t> PeImage::CodeViewRecord() const {
  // Debug directory entries of 28 bytes: type at 12 (2 is CodeView), data
  // size at 16, its RVA at 20 and file offset at 24.
  constexpr std::uint32_t kDebugDirectory = 6, kEntrySize = 28, kCodeView = 2;
  constexpr std::uint32_t kRecordHead = 24, kMaxRecord = kRecordHead + kMaxImageName;
  const auto dir = Directory(kDebugDirectory);
  if (!dir) return {};
  for (std::uint32_t at = 0; at + kEntrySize <= dir->size && at < 64 * kEntrySize;
       at += kEntrySize) {
    std::uint8_t entry[kEntrySize];
    if (!ReadRva(dir->rva + at, entry, sizeof entry) || U32(entry + 12) != kCodeView) continue;
    const std::uint32_t size = U32(entry + 16);
    const std::uint64_t where = layout_ == ImageLayout::Mapped ? U32(entry + 20) : U32(entry + 24);
    if (size < kRecordHead || size > kMaxRecord) return {};
    std::vector<std::uint8_t> record(size);
    if (!bytes_.Read(where, record.data(), size) || std::memcmp(record.data(), "RSDS", 4) != 0)
      return {};
    // The name ends at its zero; one without a zero is cut to the record.
    const auto zero = std::find(record.begin() + kRecordHead, record.end(), 0);
    if (zero == record.end())
      record.push_back(0);
    else
      record.erase(zero + 1, record.end());
    return record;
  }
  return {};
}

std::string FileVersionText(std::uint64_t version) {
  return std::to_string(version >> 48) + "." + std::to_string(version >> 32 & 0xFFFF) + "." +
         std::to_string(version >> 16 & 0xFFFF) + "." + std::to_string(version & 0xFFFF);
}

}  // namespace corvan::crash
