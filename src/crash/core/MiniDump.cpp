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
constexpr std::uint32_t kThreadListStream = 3, kModuleListStream = 4, kExceptionStream = 6;
// The module list is a count followed by 108-byte modules: base (64 bits)
// at 0, the CodeView record's size and offset at 76.
constexpr std::size_t kModuleSize = 108, kModuleCodeView = 76;
// The exception stream: thread id at 0, the record from 8 (code, flags,
// nested record, address, parameter count at 32, parameters from 40), the
// context's size and offset at 160 and 164.
constexpr std::size_t kExceptionStreamSize = 168, kMaxParameters = 15;
constexpr std::size_t kHeaderSize = 32, kDirectoryEntrySize = 12, kThreadSize = 48;

bool Fits(std::span<const std::uint8_t> file, std::uint64_t offset, std::uint64_t size) {
  return offset <= file.size() && size <= file.size() - offset;
}

std::uint64_t ReadLe64(const std::uint8_t* p) {
  return ReadLe32(p) | static_cast<std::uint64_t>(ReadLe32(p + 4)) << 32;
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

void AppendLe64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  AppendLe32(out, static_cast<std::uint32_t>(v));
  AppendLe32(out, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace

std::vector<std::uint8_t> ExceptionStreamWithContext(const DumpException& exception,
                                                     std::span<const std::uint8_t> context) {
  std::vector<std::uint8_t> stream;
  stream.reserve(kExceptionStreamSize + context.size());
  AppendLe32(stream, exception.threadId);
  AppendLe32(stream, 0);
  AppendLe32(stream, exception.code);
  AppendLe32(stream, exception.flags);
  AppendLe64(stream, 0);
  AppendLe64(stream, exception.address);
  const std::size_t count = std::min(exception.parameters.size(), kMaxParameters);
  AppendLe32(stream, static_cast<std::uint32_t>(count));
  AppendLe32(stream, 0);
  for (std::size_t i = 0; i < kMaxParameters; ++i)
    AppendLe64(stream, i < count ? exception.parameters[i] : 0);
  AppendLe32(stream, 0);  // the context's place, settled once the stream's is known
  AppendLe32(stream, 0);
  stream.insert(stream.end(), context.begin(), context.end());
  return stream;
}

bool SettleExceptionStream(std::span<std::uint8_t> dump) {
  if (!Fits(dump, 0, kHeaderSize) || ReadLe32(&dump[0]) != kSignature) return false;
  const std::uint32_t streams = ReadLe32(&dump[8]), directory = ReadLe32(&dump[12]);
  if (!Fits(dump, directory, std::uint64_t{streams} * kDirectoryEntrySize)) return false;
  for (std::uint32_t i = 0; i < streams; ++i) {
    std::uint8_t* entry = &dump[directory + i * kDirectoryEntrySize];
    const std::uint32_t size = ReadLe32(entry + 4), offset = ReadLe32(entry + 8);
    if (ReadLe32(entry) != kExceptionStream || size <= kExceptionStreamSize ||
        !Fits(dump, offset, size)) {
      continue;
    }
    PutLe32(entry + 4, kExceptionStreamSize);
    PutLe32(&dump[offset + 160], static_cast<std::uint32_t>(size - kExceptionStreamSize));
    PutLe32(&dump[offset + 164], static_cast<std::uint32_t>(offset + kExceptionStreamSize));
    return true;
  }
  return false;
}

std::size_t AddCodeViewRecords(
    std::vector<std::uint8_t>& dump,
    const std::function<std::vector<std::uint8_t>(std::uint64_t base)>& recordOf) {
  if (!Fits(dump, 0, kHeaderSize) || ReadLe32(&dump[0]) != kSignature) return 0;
  const std::uint32_t streams = ReadLe32(&dump[8]), directory = ReadLe32(&dump[12]);
  if (!Fits(dump, directory, std::uint64_t{streams} * kDirectoryEntrySize)) return 0;
  for (std::uint32_t i = 0; i < streams; ++i) {
    const std::uint8_t* entry = &dump[directory + i * kDirectoryEntrySize];
    if (ReadLe32(entry) != kModuleListStream) continue;
    const std::uint32_t size = ReadLe32(entry + 4), offset = ReadLe32(entry + 8);
    if (size < 4 || !Fits(dump, offset, size)) return 0;
    const std::uint32_t count = ReadLe32(&dump[offset]);
    if (count > (size - 4) / kModuleSize) return 0;
    std::size_t added = 0;
    for (std::uint32_t m = 0; m < count; ++m) {
      const std::size_t module = offset + 4 + m * kModuleSize;
      if (ReadLe32(&dump[module + kModuleCodeView]) != 0) continue;
      const std::vector<std::uint8_t> record = recordOf(ReadLe64(&dump[module]));
      if (record.empty() || dump.size() + record.size() > UINT32_MAX) continue;
      const std::size_t at = (dump.size() + 3) & ~std::size_t{3};
      dump.resize(at);
      dump.insert(dump.end(), record.begin(), record.end());
      PutLe32(&dump[module + kModuleCodeView], static_cast<std::uint32_t>(record.size()));
      PutLe32(&dump[module + kModuleCodeView + 4], static_cast<std::uint32_t>(at));
      ++added;
    }
    return added;
  }
  return 0;
}

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
  text = TrimBlanks(text);
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
