#pragma once
// Reads a PE image (32-bit or PE32+) from any byte source: a file read into
// memory, a file mapping, or a module loaded in the running process. Every
// read goes through the source with its bounds, so a damaged or hostile
// image yields empty results, never a read outside it. Names read from the
// image are capped in length.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace corvan::crash {

// Where the image bytes come from. Offsets are file offsets for a file
// layout and RVAs for a loaded (mapped) layout.
class ImageBytes {
 public:
  virtual bool Read(std::uint64_t offset, void* out, std::size_t size) const = 0;

 protected:
  ~ImageBytes() = default;
};

class BufferImageBytes final : public ImageBytes {
 public:
  explicit BufferImageBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool Read(std::uint64_t offset, void* out, std::size_t size) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

enum class ImageLayout { File, Mapped };

inline constexpr std::size_t kMaxImageName = 512;  // cap for names read from images

struct PeSection {
  std::string name;
  std::uint32_t virtualAddress = 0, virtualSize = 0;
  std::uint32_t rawOffset = 0, rawSize = 0;
  std::uint32_t characteristics = 0;
};

struct PeDirectory {
  std::uint32_t rva = 0, size = 0;
};

struct PeExportDirectory {
  std::uint32_t rva = 0, size = 0;  // of the directory itself
  std::uint32_t ordinalBase = 0, functionCount = 0, nameCount = 0;
  std::uint32_t functionsRva = 0, namesRva = 0, ordinalsRva = 0;
};

struct PeExport {
  std::uint32_t ordinal = 0;
  std::string name;       // empty for an export by ordinal only
  std::uint32_t rva = 0;  // function RVA
  std::string forwarder;  // "module.function" when the RVA lies in the directory
};

struct PeImportedFunction {
  std::string name;           // empty when imported by ordinal
  std::uint32_t ordinal = 0;  // by ordinal only
  std::uint32_t slotRva = 0;  // its import address table slot
};

struct PeImportModule {
  std::string module;
  std::uint32_t descriptorRva = 0;
  std::uint32_t iatRva = 0;
  std::vector<PeImportedFunction> functions;
};

struct PeImports {
  std::vector<PeImportModule> modules;
  bool valid = true;  // false: a descriptor's table lies beyond the directory
};

// A resource type or name: a number or a text (compared case-insensitively).
using ResourceKey = std::variant<std::uint16_t, std::string>;

struct PeResource {
  std::uint32_t rva = 0, size = 0;
  std::uint16_t language = 0;
};

struct FixedFileVersion {
  std::uint32_t fileVersionMS = 0, fileVersionLS = 0;
  std::uint32_t productVersionMS = 0, productVersionLS = 0;
  std::uint64_t FileVersion() const {
    return static_cast<std::uint64_t>(fileVersionMS) << 32 | fileVersionLS;
  }
};

class PeImage {
 public:
  PeImage(const ImageBytes& bytes, ImageLayout layout);

  // "MZ", the PE offset at 0x3C and "PE\0\0" with a known optional header.
  bool Valid() const { return valid_; }
  bool Is64() const { return is64_; }
  std::uint32_t NtHeadersOffset() const { return ntOffset_; }
  std::uint32_t ImageSize() const { return imageSize_; }
  std::uint64_t ImageBase() const { return imageBase_; }
  std::uint32_t EntryPointRva() const { return entryPoint_; }
  std::uint32_t Machine() const { return machine_; }
  std::uint32_t TimeDateStamp() const { return timeStamp_; }
  const std::vector<PeSection>& Sections() const { return sections_; }
  // The optional header's code and initialised-data extents (RVAs; the
  // data base exists in PE32 only and reads 0 for PE32+).
  std::uint32_t CodeBase() const { return codeBase_; }
  std::uint32_t CodeSize() const { return codeSize_; }
  std::uint32_t DataBase() const { return dataBase_; }
  std::uint32_t InitializedDataSize() const { return initializedDataSize_; }

  // The data directory entry (0 exports, 1 imports, 2 resources, ...);
  // read 120 + 8 * index bytes after the signature (136 for PE32+).
  std::optional<PeDirectory> Directory(std::uint32_t index) const;
  // File layout: the section with the highest virtual address at or below
  // rva maps it; the last section takes everything above.
  std::optional<std::uint64_t> RvaToOffset(std::uint32_t rva) const;
  bool ReadRva(std::uint32_t rva, void* out, std::size_t size) const;
  std::optional<std::uint32_t> ReadU32(std::uint32_t rva) const;
  std::string ReadName(std::uint32_t rva, std::size_t maxLength = kMaxImageName) const;

  std::optional<PeExportDirectory> ExportDirectory() const;
  // Function RVA of a named export (exact, case-sensitive name).
  std::optional<std::uint32_t> ExportRva(std::string_view name) const;
  std::optional<std::uint32_t> ExportRva(std::uint32_t ordinal) const;
  // The export whose function RVA is rva: its name, "#" and the ordinal
  // when it has none, empty when there is no such export.
  std::string ExportNameAt(std::uint32_t rva) const;
  bool IsForwarder(std::uint32_t rva) const;
  std::vector<PeExport> Exports() const;

  PeImports Imports() const;

  std::optional<PeResource> FindResourceEntry(const ResourceKey& type, const ResourceKey& name,
                                              std::optional<std::uint16_t> language = {}) const;
  // The fixed part of the version resource (type 16, the first name).
  std::optional<FixedFileVersion> FileVersion() const;

  // The CodeView record ("RSDS", a 16-byte signature, the age and the
  // database name up to its terminating zero) of the first such entry of
  // the debug directory: the identity debuggers and symbol servers know
  // the image by. Empty when there is none or it lies outside the image.
  std::vector<std::uint8_t> CodeViewRecord() const;

 private:
  struct ResourceEntry {
    ResourceKey key;
    std::uint32_t offset;  // from the resource directory start
    bool isDirectory;
  };
  bool ReadResourceDirectory(std::uint32_t dirRva, std::uint32_t dirSize, std::uint32_t offset,
                             std::vector<ResourceEntry>& entries) const;
  std::optional<std::uint32_t> ExportOrdinalIndexByName(const PeExportDirectory& dir,
                                                        std::string_view name) const;

  const ImageBytes& bytes_;
  ImageLayout layout_;
  bool valid_ = false;
  bool is64_ = false;
  std::uint32_t ntOffset_ = 0;
  std::uint32_t imageSize_ = 0;
  std::uint64_t imageBase_ = 0;
  std::uint32_t entryPoint_ = 0;
  std::uint32_t machine_ = 0;
  std::uint32_t timeStamp_ = 0;
  std::uint32_t directoryCount_ = 0;
  std::uint32_t codeBase_ = 0, codeSize_ = 0, dataBase_ = 0, initializedDataSize_ = 0;
  std::vector<PeSection> sections_;
};

// "1.2.3.4" from a 64-bit file version (most significant part first).
std::string FileVersionText(std::uint64_t version);

}  // namespace corvan::crash
