// The zip writer over an in-memory file system: archive layout, skipped and
// failing inputs, date conversion. Portable (native and Wine).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "crash/codec/zelZip.h"
#include "crash/util/ByteOrder.h"
#include "crash/util/Crc32.h"

namespace corvan::crash {
namespace {

// Keeps what the writer writes.
struct MemorySink : ZipSink {
  std::vector<std::uint8_t> bytes;
  bool Write(const void* d, std::size_t n) override {
    bytes.insert(bytes.end(), static_cast<const std::uint8_t*>(d),
                 static_cast<const std::uint8_t*>(d) + n);
    return true;
  }
};

std::uint16_t Le16(const std::vector<std::uint8_t>& v, std::size_t at) {
  return static_cast<std::uint16_t>(v[at] | v[at + 1] << 8);
}
std::uint32_t Le32(const std::vector<std::uint8_t>& v, std::size_t at) { return ReadLe32(&v[at]); }

// Files in memory; archives fail to write once failAfter bytes are written.
class MemoryFiles : public ZipFileAccess {
 public:
  struct Source {
    std::string data;
    ZipEntryInfo info;
  };
  std::map<std::string, Source> sources;
  std::map<std::string, std::vector<std::uint8_t>> archives;
  std::size_t failAfter = SIZE_MAX;
  std::vector<std::string> deleted;

  std::unique_ptr<Archive> CreateArchive(const std::string& path) override {
    if (path.empty()) return nullptr;
    return std::make_unique<MemoryArchive>(archives[path], failAfter);
  }
  bool ReadSource(const std::string& path, std::vector<std::uint8_t>& data,
                  ZipEntryInfo& info) override {
    const auto it = sources.find(path);
    if (it == sources.end()) return false;
    data.assign(it->second.data.begin(), it->second.data.end());
    info = it->second.info;
    return true;
  }
  void Delete(const std::string& path) override {
    archives.erase(path);
    deleted.push_back(path);
  }

 private:
  class MemoryArchive : public Archive {
   public:
    MemoryArchive(std::vector<std::uint8_t>& out, std::size_t failAfter)
        : out_(out), failAfter_(failAfter) {}
    bool Write(const void* data, std::size_t size) override {
      if (out_.size() + size > failAfter_) return false;
      const auto* p = static_cast<const std::uint8_t*>(data);
      out_.insert(out_.end(), p, p + size);
      return true;
    }
    bool Close() override { return true; }

   private:
    std::vector<std::uint8_t>& out_;
    std::size_t failAfter_;
  };
};

ZipEntryInfo Info(std::uint16_t time, std::uint16_t date, std::uint32_t attributes) {
  return {{time, date}, attributes};
}

TEST(ZipWriter, LayoutOfLocalHeadersDirectoryAndEndRecord) {
  MemoryFiles files;
  const std::string report(5000, 'r');
  files.sources["C:\\temp\\bugreport.txt"] = {report, Info(0x6A21, 0x5989, 0x20)};
  files.sources["C:\\temp\\shot.png"] = {"", Info(0x0001, 0x0021, 0x01)};
  ASSERT_TRUE(CreateZipFile(files, "a.zip", {"C:\\temp\\bugreport.txt", "C:\\temp\\shot.png"},
                            {"", "screenshot.png"}));
  const std::vector<std::uint8_t>& zip = files.archives["a.zip"];

  // First local header.
  ASSERT_GE(zip.size(), 30u);
  EXPECT_EQ(Le32(zip, 0), 0x04034B50u);
  EXPECT_EQ(Le16(zip, 4), 20);
  EXPECT_EQ(Le16(zip, 6), 0);
  EXPECT_EQ(Le16(zip, 8), 8);
  EXPECT_EQ(Le16(zip, 10), 0x6A21);
  EXPECT_EQ(Le16(zip, 12), 0x5989);
  EXPECT_EQ(Le32(zip, 14), Crc32(report.data(), report.size()));
  const std::uint32_t packed = Le32(zip, 18);
  EXPECT_LT(packed, report.size());
  EXPECT_EQ(Le32(zip, 22), report.size());
  EXPECT_EQ(Le16(zip, 26), 13);
  EXPECT_EQ(Le16(zip, 28), 0);
  EXPECT_EQ(std::string(zip.begin() + 30, zip.begin() + 43), "bugreport.txt");

  // End record and central directory.
  const std::size_t end = zip.size() - 22;
  EXPECT_EQ(Le32(zip, end), 0x06054B50u);
  EXPECT_EQ(Le16(zip, end + 8), 2);
  EXPECT_EQ(Le16(zip, end + 10), 2);
  const std::uint32_t dirSize = Le32(zip, end + 12), dirAt = Le32(zip, end + 16);
  EXPECT_EQ(dirSize, 46u + 13 + 46 + 14);
  EXPECT_EQ(dirAt + dirSize, end);
  EXPECT_EQ(Le32(zip, dirAt), 0x02014B50u);
  EXPECT_EQ(Le16(zip, dirAt + 4), 20);
  EXPECT_TRUE(std::equal(zip.begin() + 4, zip.begin() + 28, zip.begin() + dirAt + 6));
  EXPECT_EQ(Le32(zip, dirAt + 38), 0x20u);
  EXPECT_EQ(Le32(zip, dirAt + 42), 0u);
  const std::size_t second = dirAt + 46 + 13;
  EXPECT_EQ(Le32(zip, second + 38), 0x01u);
  EXPECT_EQ(Le32(zip, second + 42), 30u + 13 + packed);
  EXPECT_EQ(std::string(zip.begin() + second + 46, zip.begin() + second + 60), "screenshot.png");
}

TEST(ZipWriter, EntryNamesFallBackToThePartAfterTheLastBackslash) {
  const std::vector<std::string> paths = {"C:\\a\\b\\report.txt", "plain.txt", "C:\\x\\"};
  EXPECT_EQ(ZipEntryName(paths, {}, 0), "report.txt");
  EXPECT_EQ(ZipEntryName(paths, {}, 1), "plain.txt");
  EXPECT_EQ(ZipEntryName(paths, {"", "given\\sub.txt"}, 1), "given\\sub.txt");
  EXPECT_EQ(ZipEntryName(paths, {"r\xE9sum\xE9.txt"}, 0), "r\xE9sum\xE9.txt");
}

TEST(ZipWriter, MissingFilesAreLeftOut) {
  MemoryFiles files;
  files.sources["b"] = {"bee", {}};
  ASSERT_TRUE(CreateZipFile(files, "z", {"a", "b", "c"}, {}));
  const std::vector<std::uint8_t>& zip = files.archives["z"];
  EXPECT_EQ(Le16(zip, zip.size() - 22 + 10), 1);
  EXPECT_TRUE(files.deleted.empty());
}

TEST(ZipWriter, NothingToArchiveLeavesNoArchive) {
  MemoryFiles files;
  EXPECT_FALSE(CreateZipFile(files, "z", {"a", "b"}, {}));
  EXPECT_FALSE(CreateZipFile(files, "z", {}, {}));
  EXPECT_EQ(files.archives.count("z"), 0u);
  EXPECT_FALSE(CreateZipFile(files, "", {"a"}, {}));  // archive not creatable
}

TEST(ZipWriter, FailedWriteDeletesTheArchive) {
  for (std::size_t failAfter : {std::size_t{0}, std::size_t{10}, std::size_t{100}}) {
    MemoryFiles files;
    files.sources["a"] = {std::string(50, 'a'), {}};
    files.failAfter = failAfter;  // within the header, the data, the directory
    EXPECT_FALSE(CreateZipFile(files, "z", {"a"}, {}));
    EXPECT_EQ(files.archives.count("z"), 0u);
    EXPECT_EQ(files.deleted, std::vector<std::string>{"z"});
  }
}

TEST(ZipWriter, CompressionFailureSkipsTheFile) {
  MemorySink sink;
  ZipWriter failing(sink,
                    [](const void*, void*, std::size_t, std::size_t) -> std::size_t { return 0; });
  const std::uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(failing.Add("a", data, {}), ZipWriter::AddResult::Skipped);
  EXPECT_TRUE(sink.bytes.empty());
  EXPECT_FALSE(failing.Finish());  // no entry: no archive
}

TEST(ZipWriter, IncompressibleDataIsStored) {
  MemorySink sink;
  ZipWriter writer(sink);
  std::vector<std::uint8_t> noise(1000);
  std::uint32_t x = 12345;
  for (auto& b : noise) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 23);
  ASSERT_EQ(writer.Add("noise.bin", noise, {}), ZipWriter::AddResult::Added);
  EXPECT_EQ(Le16(sink.bytes, 8), 0);  // stored
  EXPECT_EQ(Le32(sink.bytes, 18), 1000u);
  EXPECT_TRUE(std::equal(noise.begin(), noise.end(), sink.bytes.begin() + 30 + 9));
}

TEST(ZipWriter, OutOfFormatEntriesAreSkipped) {
  struct NullSink : ZipSink {
    bool Write(const void*, std::size_t) override { return true; }
  } sink;
  ZipWriter writer(sink);
  const std::uint8_t data[] = {'x'};
  EXPECT_EQ(writer.Add(std::string(65536, 'n'), data, {}), ZipWriter::AddResult::Skipped);
  EXPECT_EQ(writer.Add("", data, {}), ZipWriter::AddResult::Skipped);
  EXPECT_EQ(writer.Add(std::string(65535, 'n'), data, {}), ZipWriter::AddResult::Added);
}

TEST(DosDateTime, ConvertsAndClampsToTheFormatsRange) {
  const DosDateTime t = ToDosDateTime(2024, 3, 15, 13, 45, 31);
  EXPECT_EQ(t.date, (44 << 9) | (3 << 5) | 15);
  EXPECT_EQ(t.time, (13 << 11) | (45 << 5) | 15);
  const DosDateTime early = ToDosDateTime(1969, 12, 31, 23, 59, 59);
  EXPECT_EQ(early.date, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(early.time, 0);
  const DosDateTime late = ToDosDateTime(2200, 1, 1, 0, 0, 0);
  EXPECT_EQ(late.date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(late.time, (23 << 11) | (59 << 5) | 29);
  EXPECT_EQ(ToDosDateTime(1980, 1, 1, 0, 0, 0).date, (1 << 5) | 1);
}

}  // namespace
}  // namespace corvan::crash
