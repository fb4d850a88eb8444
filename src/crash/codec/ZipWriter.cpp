#include "crash/codec/ZipWriter.h"

#include <algorithm>
#include <limits>

#include "crash/util/ByteOrder.h"
#include "crash/util/Crc32.h"
#include "crash/util/Deflate.h"

namespace corvan::crash {
namespace {

constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint16_t kVersion = 20;  // 2.0: deflate; host system 0 (MS-DOS)
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMaxEntries = std::numeric_limits<std::uint16_t>::max();

}  // namespace

DosDateTime ToDosDateTime(int year, int month, int day, int hour, int minute, int second) {
  DosDateTime result;  // 1980-01-01 00:00:00
  if (year < 1980) return result;
  if (year > 2107) {
    year = 2107, month = 12, day = 31, hour = 23, minute = 59, second = 58;
  }
  result.date = static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
  result.time = static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2);
  return result;
}

bool ZipWriter::Write(const void* data, std::size_t size) {
  if (failed_) return false;
  if (size > 0 && !sink_.Write(data, size)) {
    failed_ = true;
    return false;
  }
  position_ += size;
  return true;
}

ZipWriter::AddResult ZipWriter::Add(std::string_view name, std::span<const std::uint8_t> data,
                                    const ZipEntryInfo& info) {
  if (failed_) return AddResult::Failed;
  if (name.empty() || name.size() > std::numeric_limits<std::uint16_t>::max() ||
      entries_.size() >= kMaxEntries || data.size() > kMax32) {
    return AddResult::Skipped;
  }
  std::vector<std::uint8_t> packed(CompressRawBound(data.size()));
  const std::size_t packedSize = compress_(data.data(), packed.data(), data.size(), packed.size());
  // Without usable compressed data the file is left out rather than
  // archived as an entry no reader can extract.
  if (packedSize == 0) return AddResult::Skipped;
  const bool store = packedSize >= data.size();
  const std::span<const std::uint8_t> body =
      store ? data : std::span<const std::uint8_t>(packed.data(), packedSize);
  const std::uint64_t end = position_ + kLocalHeaderSize + name.size() + body.size();
  // The central directory's offset must fit in 32 bits as well.
  if (end + (entries_.size() + 1) * kCentralHeaderSize > kMax32) return AddResult::Skipped;

  Entry entry;
  entry.name.assign(name);
  entry.attributes = info.attributes;
  entry.offset = static_cast<std::uint32_t>(position_);
  std::uint8_t* f = entry.shared;
  PutLe16(f + 0, kVersion);
  PutLe16(f + 2, 0);  // flags
  PutLe16(f + 4, store ? kMethodStored : kMethodDeflated);
  PutLe16(f + 6, info.modified.time);
  PutLe16(f + 8, info.modified.date);
  PutLe32(f + 10, Crc32(data.data(), data.size()));
  PutLe32(f + 14, static_cast<std::uint32_t>(body.size()));
  PutLe32(f + 18, static_cast<std::uint32_t>(data.size()));
  PutLe16(f + 22, static_cast<std::uint16_t>(name.size()));
  PutLe16(f + 24, 0);  // extra field length

  std::uint8_t header[kLocalHeaderSize];
  PutLe32(header, kLocalSignature);
  std::copy_n(entry.shared, kSharedFieldsSize, header + 4);
  if (!Write(header, sizeof header) || !Write(name.data(), name.size()) ||
      !Write(body.data(), body.size())) {
    return AddResult::Failed;
  }
  entries_.push_back(std::move(entry));
  return AddResult::Added;
}

bool ZipWriter::Finish() {
  if (failed_ || entries_.empty()) return false;
  const std::uint64_t directoryOffset = position_;
  for (const Entry& entry : entries_) {
    std::uint8_t record[kCentralHeaderSize] = {};
    PutLe32(record, kCentralSignature);
    PutLe16(record + 4, kVersion);
    std::copy_n(entry.shared, kSharedFieldsSize - 2, record + 6);  // up to the name length
    // 30: extra length, 32: comment length, 34: disk, 36: internal attributes
    PutLe32(record + 38, entry.attributes);
    PutLe32(record + 42, entry.offset);
    if (!Write(record, sizeof record) || !Write(entry.name.data(), entry.name.size())) {
      return false;
    }
  }
  const std::uint64_t directorySize = position_ - directoryOffset;
  std::uint8_t end[kEndRecordSize] = {};
  PutLe32(end, kEndSignature);
  PutLe16(end + 8, static_cast<std::uint16_t>(entries_.size()));
  PutLe16(end + 10, static_cast<std::uint16_t>(entries_.size()));
  PutLe32(end + 12, static_cast<std::uint32_t>(directorySize));
  PutLe32(end + 16, static_cast<std::uint32_t>(directoryOffset));
  return Write(end, sizeof end);
}

}  // namespace corvan::crash
