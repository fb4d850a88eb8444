#include "crash/core/MiniDump.h"

#include <algorithm>
#include <cstdio>

#include "crash/util/ByteOrder.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr std::uint32_t kMiniDumpNormal = 0x0;
constexpr std::uint32_t kMiniDumpWithDataSegs = 0x1;

// The file layout (little-endian): the header "MDMP" with the stream count
// at 8 and the directory's offset at 12; directory entries of 12 bytes
// (type, size, offset); the thread list (stream 3) is a count followed by
// 48-byte threads: id at 0, stack start (64 bits) at 24, stack size at 32,
// stack offset at 36.
constexpr std::uint32_t kSignature = 0x504D444D;
constexpr std::uint32_t kThreadListStream = 3;
constexpr std::size_t kHeaderSize = 32, kDirectoryEntrySize = 12, kThreadSize = 48;

bool Fits(std::span<const std::uint8_t> file, std::uint64_t offset, std::uint64_t size) {
  return offset <= file.size() && size <= file.size() - offset;
}

std::uint64_t ReadLe64(const std::uint8_t* p) {
  return ReadLe32(p) | static_cast<std::uint64_t>(ReadLe32(p + 4)) << 32;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

StackPatch PatchInThread(std::span<const std::uint8_t> dump, const std::uint8_t* thread,
                         std::uint64_t address, std::size_t byteCount) {
  const std::uint64_t start = ReadLe64(thread + 24);
  const std::uint32_t size = ReadLe32(thread + 32), offset = ReadLe32(thread + 36);
  if (address < start || address - start >= size) return {};
  const std::uint64_t skip = address - start;
  const std::uint64_t length = std::min<std::uint64_t>(byteCount, size - skip);
  if (!Fits(dump, offset + skip, length)) return {};
  return {static_cast<std::uint32_t>(offset + skip), static_cast<std::uint32_t>(length)};
}

}  // namespace

StackPatch FindStackPatch(std::span<const std::uint8_t> dump, std::uint32_t threadId,
                          std::uint64_t address, std::size_t byteCount) {
  if (!Fits(dump, 0, kHeaderSize) || ReadLe32(&dump[0]) != kSignature) return {};
  const std::uint32_t streams = ReadLe32(&dump[8]), directory = ReadLe32(&dump[12]);
  if (!Fits(dump, directory, std::uint64_t{streams} * kDirectoryEntrySize)) return {};
  for (std::uint32_t i = 0; i < streams; ++i) {
    const std::uint8_t* entry = &dump[directory + i * kDirectoryEntrySize];
    if (ReadLe32(entry) != kThreadListStream) continue;
    const std::uint32_t size = ReadLe32(entry + 4), offset = ReadLe32(entry + 8);
    if (size < 4 || !Fits(dump, offset, size)) return {};
    const std::uint32_t count = ReadLe32(&dump[offset]);
    if (count > (size - 4) / kThreadSize) return {};
    for (std::uint32_t t = 0; t < count; ++t) {
      const std::uint8_t* thread = &dump[offset + 4 + t * kThreadSize];
      if (ReadLe32(thread) == threadId) return PatchInThread(dump, thread, address, byteCount);
    }
    return {};
  }
  return {};
}

std::optional<MiniDumpKind> ParseMiniDumpKind(std::string_view text) {
  text = Trimmed(text);
  if (EqualsIgnoreCase(text, "normal")) return MiniDumpKind::Normal;
  if (EqualsIgnoreCase(text, "with data segments")) return MiniDumpKind::WithDataSegments;
  return std::nullopt;
}

std::uint32_t MiniDumpTypeOf(MiniDumpKind kind) {
  return kind == MiniDumpKind::WithDataSegments ? kMiniDumpWithDataSegs : kMiniDumpNormal;
}

std::string MiniDumpFileName(const LocalTime& stamp, int attempt) {
  char name[64];
  std::snprintf(name, sizeof name, "minidump-%04d%02d%02d-%02d%02d%02d", stamp.year % 10000,
                stamp.month % 100, stamp.day % 100, stamp.hour % 100, stamp.minute % 100,
                stamp.second % 100);
  std::string result = name;
  if (attempt > 0) result += "-" + std::to_string(attempt + 1);
  return result + ".dmp";
}

}  // namespace corvan::crash
