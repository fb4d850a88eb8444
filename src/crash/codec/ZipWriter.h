#pragma once
// Writes a zip archive (PKWARE application note) entry by entry into a sink:
// local headers with the data, then the central directory and the end
// record. Entries are deflated; data that deflate cannot shrink is stored.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crash/util/Deflate.h"

namespace corvan::crash {

// A moment in MS-DOS format (two-second resolution, years 1980 to 2107).
struct DosDateTime {
  std::uint16_t time = 0;
  std::uint16_t date = (1 << 5) | 1;  // 1980-01-01
};

// Converts a local calendar time. Moments before 1980 become 1980-01-01
// 00:00:00 and moments after 2107 become 2107-12-31 23:59:58, the ends of
// the range the format can hold.
DosDateTime ToDosDateTime(int year, int month, int day, int hour, int minute, int second);

struct ZipEntryInfo {
  DosDateTime modified;
  std::uint32_t attributes = 0;  // Windows file attributes
};

// Where the archive bytes go. Write returns false on any failure, a short
// write included.
class ZipSink {
 public:
  virtual ~ZipSink() = default;
  virtual bool Write(const void* data, std::size_t size) = 0;
};

class ZipWriter {
 public:
  enum class AddResult {
    Added,
    Skipped,  // not archived (compression failed, or the entry does not fit
              // the format: name over 65535 bytes, offsets beyond 4 GB,
              // more than 65535 entries); the archive stays sound
    Failed,   // a write failed: the archive is unusable
  };

  explicit ZipWriter(ZipSink& sink, RawCompressor compress = CompressRaw)
      : sink_(sink), compress_(compress) {}

  AddResult Add(std::string_view name, std::span<const std::uint8_t> data,
                const ZipEntryInfo& info);

  // Writes the central directory and the end record. False when no entry
  // was added or any write failed.
  bool Finish();

  std::size_t EntryCount() const { return entries_.size(); }

 private:
  static constexpr std::size_t kLocalHeaderSize = 30;
  static constexpr std::size_t kCentralHeaderSize = 46;
  static constexpr std::size_t kEndRecordSize = 22;
  // Bytes 4 to 29 of a local header: what the central record repeats.
  static constexpr std::size_t kSharedFieldsSize = 26;

  struct Entry {
    std::string name;
    std::uint8_t shared[kSharedFieldsSize];
    std::uint32_t attributes;
    std::uint32_t offset;
  };

  bool Write(const void* data, std::size_t size);

  ZipSink& sink_;
  RawCompressor compress_;
  std::uint64_t position_ = 0;
  std::vector<Entry> entries_;
  bool failed_ = false;
};

}  // namespace corvan::crash
