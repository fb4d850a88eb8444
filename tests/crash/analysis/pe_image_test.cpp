#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "crash/analysis/PeBuilder.h"
#include "crash/analysis/PeImage.h"

namespace corvan::crash::test {
namespace {

// Both layouts of every test image must read the same.
class PeImageTest : public ::testing::TestWithParam<ImageLayout> {
 protected:
  PeImage Open(const PeBuilder& b) {
    bytes_ = b.Build(GetParam());
    source_ = std::make_unique<BufferImageBytes>(bytes_);
    return PeImage(*source_, GetParam());
  }
  std::vector<std::uint8_t> bytes_;
  std::unique_ptr<BufferImageBytes> source_;
};

TEST_P(PeImageTest, ReadsHeadersOfBothKinds) {
  for (bool pe64 : {false, true}) {
    PeBuilder b;
    b.pe64 = pe64;
    b.AddExports(1, {0x1234}, {{"f", 0}});
    const PeImage image = Open(b);
    ASSERT_TRUE(image.Valid());
    EXPECT_EQ(image.Is64(), pe64);
    EXPECT_EQ(image.ImageBase(), pe64 ? 0x140000000ULL : 0x10000000ULL);
    EXPECT_EQ(image.EntryPointRva(), 0x1000u);
    ASSERT_EQ(image.Sections().size(), 1u);
    EXPECT_EQ(image.Sections()[0].name, ".data");
    // The directory entry sits 120 (PE32) or 136 (PE32+) bytes after "PE".
    ASSERT_TRUE(image.Directory(0));
    EXPECT_EQ(image.Directory(0)->rva, 0x1000u);
    EXPECT_FALSE(image.Directory(3));   // empty entry
    EXPECT_FALSE(image.Directory(16));  // beyond the table
    EXPECT_EQ(image.ExportRva("f"), 0x1234u);
  }
}

TEST_P(PeImageTest, RejectsBrokenHeaders) {
  PeBuilder b;
  auto good = b.Build(GetParam());
  auto check = [&](std::vector<std::uint8_t> bytes) {
    BufferImageBytes source(bytes);
    return PeImage(source, GetParam()).Valid();
  };
  EXPECT_TRUE(check(good));
  auto noMz = good;
  noMz[1] = 'Y';
  EXPECT_FALSE(check(noMz));
  auto noPe = good;
  noPe[0x82] = 1;  // "PE" must be followed by two zero bytes
  EXPECT_FALSE(check(noPe));
  auto farPe = good;
  farPe[0x3F] = 0x7F;  // signature offset beyond the data
  EXPECT_FALSE(check(farPe));
  EXPECT_FALSE(check({'M'}));
  EXPECT_FALSE(check(std::vector<std::uint8_t>(good.begin(), good.begin() + 0x90)));
}

TEST_P(PeImageTest, ExportsByNameOrdinalAndAddress) {
  PeBuilder b;
  b.AddExports(5, {0x1100, 0, 0x1200, 0x1300, 0}, {{"Alpha", 0}, {"Gamma", 3}, {"alpha2", 2}},
               {{4, "OTHER.Target"}});
  const PeImage image = Open(b);
  EXPECT_EQ(image.ExportRva("Alpha"), 0x1100u);
  EXPECT_FALSE(image.ExportRva("alpha"));  // names are case-sensitive
  EXPECT_FALSE(image.ExportRva("Missing"));
  EXPECT_EQ(image.ExportRva(5u), 0x1100u);
  EXPECT_FALSE(image.ExportRva(6u));  // an RVA of 0 gives nothing
  EXPECT_FALSE(image.ExportRva(4u));  // below the ordinal base
  EXPECT_FALSE(image.ExportRva(10u));
  EXPECT_EQ(image.ExportNameAt(0x1300), "Gamma");
  EXPECT_EQ(image.ExportNameAt(0x1200), "alpha2");
  EXPECT_EQ(image.ExportNameAt(0x1999), "");
  EXPECT_EQ(image.ExportNameAt(0), "");
  const auto forward = image.ExportRva(9u);
  ASSERT_TRUE(forward);
  EXPECT_TRUE(image.IsForwarder(*forward));
  EXPECT_EQ(image.ReadName(*forward), "OTHER.Target");
  EXPECT_EQ(image.ExportNameAt(*forward), "#9");  // exported without a name
  const auto all = image.Exports();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[3].ordinal, 9u);
  EXPECT_EQ(all[3].forwarder, "OTHER.Target");
  EXPECT_EQ(all[0].name, "Alpha");
}

TEST_P(PeImageTest, ImportsAndTheInvalidTableMark) {
  for (bool pe64 : {false, true}) {
    PeBuilder b;
    b.pe64 = pe64;
    const auto iats =
        b.AddImports({{"KERNEL32.dll", {"CreateThread", "#17"}}, {"USER32.dll", {"MessageBoxA"}}});
    const PeImage image = Open(b);
    const PeImports imports = image.Imports();
    EXPECT_TRUE(imports.valid);
    ASSERT_EQ(imports.modules.size(), 2u);
    EXPECT_EQ(imports.modules[0].module, "KERNEL32.dll");
    ASSERT_EQ(imports.modules[0].functions.size(), 2u);
    EXPECT_EQ(imports.modules[0].functions[0].name, "CreateThread");
    EXPECT_EQ(imports.modules[0].functions[0].slotRva, iats[0]);
    EXPECT_EQ(imports.modules[0].functions[1].ordinal, 17u);
    EXPECT_EQ(imports.modules[0].functions[1].slotRva, iats[0] + (pe64 ? 8 : 4));
    EXPECT_EQ(imports.modules[1].functions[0].name, "MessageBoxA");
  }
  PeBuilder bad;
  bad.AddImports({{"A.dll", {"f"}}, {"B.dll", {"g"}}}, true);
  const PeImports imports = Open(bad).Imports();
  EXPECT_FALSE(imports.valid);
  EXPECT_EQ(imports.modules.size(), 1u);
}

TEST_P(PeImageTest, ResourcesAndVersion) {
  PeBuilder b;
  b.AddResources(
      {{std::string("ZEL"), std::string("CALIBRATE"), 0, {1, 2, 3}},
       {std::uint16_t(10), std::string("TZELEXCEPT"), 1033, {'T', 'P', 'F', '0'}},
       {std::uint16_t(16), std::uint16_t(1), 1033, PeBuilder::VersionResource(1, 2, 3, 4)}});
  const PeImage image = Open(b);
  const auto settings = image.FindResourceEntry(std::uint16_t(10), std::string("tzelexcept"));
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->size, 4u);
  EXPECT_EQ(settings->language, 1033);
  char head[4];
  ASSERT_TRUE(image.ReadRva(settings->rva, head, 4));
  EXPECT_EQ(std::string(head, 4), "TPF0");
  EXPECT_TRUE(image.FindResourceEntry(std::string("ZEL"), std::string("CALIBRATE")));
  EXPECT_FALSE(image.FindResourceEntry(std::uint16_t(10), std::string("TZELEXCEPT"), 1031));
  EXPECT_FALSE(image.FindResourceEntry(std::uint16_t(10), std::uint16_t(1)));
  EXPECT_FALSE(image.FindResourceEntry(std::uint16_t(3), std::uint16_t(1)));
  const auto version = image.FileVersion();
  ASSERT_TRUE(version);
  EXPECT_EQ(FileVersionText(version->FileVersion()), "1.2.3.4");
  EXPECT_EQ(version->productVersionMS, 0x00090008u);

  PeBuilder none;
  none.AddResources({{std::uint16_t(10), std::uint16_t(1), 0, {0}}});
  EXPECT_FALSE(Open(none).FileVersion());
}

TEST_P(PeImageTest, NamesAreCappedAndStopAtTheEnd) {
  PeBuilder b;
  const std::uint32_t longName = b.AddString(std::string(5000, 'x'));
  b.data.push_back('y');  // the very last byte, without a terminator
  const PeImage image = Open(b);
  EXPECT_EQ(image.ReadName(longName).size(), kMaxImageName);
  EXPECT_EQ(image.ReadName(longName, 10), std::string(10, 'x'));
  EXPECT_EQ(image.ReadName(PeBuilder::kSectionRva + static_cast<std::uint32_t>(b.data.size()) - 1),
            "y");
  EXPECT_EQ(image.ReadName(0x7FFFFFFF), "");
}

INSTANTIATE_TEST_SUITE_P(Layouts, PeImageTest,
                         ::testing::Values(ImageLayout::File, ImageLayout::Mapped));

// A debug directory of two entries as ld writes them for --build-id and
// --pdb (another kind first, then CodeView): the record is found by its
// RVA in a mapped image and by its file offset in a file.
TEST_P(PeImageTest, CodeViewRecordOfTheDebugDirectory) {
  auto build = [](const std::string& record) {
    PeBuilder b;
    const std::uint32_t entries = b.Reserve(2 * 28);
    const std::uint32_t at = b.Add(record.data(), record.size());
    b.Put32(entries + 12, 1);  // COFF, not ours
    b.Put32(entries + 28 + 12, 2);
    b.Put32(entries + 28 + 16, static_cast<std::uint32_t>(record.size()));
    b.Put32(entries + 28 + 20, at);
    b.Put32(entries + 28 + 24, at - PeBuilder::kSectionRva + PeBuilder::kSectionRaw);
    b.directories[6] = {entries, 2 * 28};
    return b;
  };
  const std::string head =
      std::string("RSDS") + std::string(16, '\x5A') + std::string("\1\0\0\0", 4);
  std::vector<std::uint8_t> record = Open(build(head + "t.pdb" + '\0')).CodeViewRecord();
  EXPECT_EQ(std::string(record.begin(), record.end()), head + "t.pdb" + '\0');
  record = Open(build(head + "cut")).CodeViewRecord();  // no zero: ends with the record
  EXPECT_EQ(std::string(record.begin(), record.end()), head + "cut" + '\0');
  EXPECT_TRUE(Open(build("NB10" + head.substr(4) + "x")).CodeViewRecord().empty());
  EXPECT_TRUE(Open(build(head.substr(0, 20))).CodeViewRecord().empty());  // too short
  EXPECT_TRUE(Open(PeBuilder()).CodeViewRecord().empty());
}

TEST(PeImage, FileVersionText) {
  EXPECT_EQ(FileVersionText(0), "0.0.0.0");
  EXPECT_EQ(FileVersionText(0xFFFF000100020003ULL), "65535.1.2.3");
}

// Outside truth: binutils' objdump reads the export tables of the PE builds
// of Wine's own DLLs (32-bit and PE32+), and so must we.
std::string Run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

void CompareExportsWithObjdump(const std::string& path, bool pe64) {
  std::ifstream in(path, std::ios::binary);
  if (!in) GTEST_SKIP() << path << " is not installed";
  const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in),
                                       std::istreambuf_iterator<char>()};
  const std::string dump = Run("objdump -p '" + path + "' 2>/dev/null");
  if (dump.empty()) GTEST_SKIP() << "objdump is not available";
  BufferImageBytes source(file);
  const PeImage image(source, ImageLayout::File);
  ASSERT_TRUE(image.Valid());
  EXPECT_EQ(image.Is64(), pe64);

  std::map<std::uint32_t, std::pair<std::uint32_t, std::string>>
      expected;                                              // ordinal -> rva, forwarder
  std::vector<std::pair<std::uint32_t, std::string>> names;  // unbiased ordinal, name
  std::istringstream lines(dump);
  bool inNameTable = false;
  for (std::string text; std::getline(lines, text);) {
    unsigned index, ordinal, rva;
    char kind[16] = {}, forwarder[512] = {};
    if (const auto base = text.find("+base["); base != std::string::npos) {
      if (std::sscanf(text.c_str() + base, "+base[ %u] %x %15s RVA -- %511s", &ordinal, &rva, kind,
                      forwarder) >= 3) {
        expected[ordinal] = {rva, forwarder};
      }
    } else if (text.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
      inNameTable = true;
    } else if (inNameTable && std::sscanf(text.c_str(), "\t[ %u] %511s", &index, forwarder) == 2) {
      names.emplace_back(index, forwarder);
    } else if (inNameTable && !text.empty() && text[0] != '\t') {
      inNameTable = false;
    }
  }
  ASSERT_GT(expected.size(), 100u);
  std::map<std::uint32_t, std::pair<std::uint32_t, std::string>> actual;
  for (const PeExport& e : image.Exports()) actual[e.ordinal] = {e.rva, e.forwarder};
  EXPECT_EQ(actual, expected);

  // Named exports: objdump lists the unbiased ordinal of each name.
  const auto dir = image.ExportDirectory();
  ASSERT_TRUE(dir);
  int checked = 0;
  for (const auto& [index, name] : names) {
    if (++checked > 400) break;
    EXPECT_EQ(image.ExportRva(name), image.ExportRva(dir->ordinalBase + index)) << name;
  }
  EXPECT_GT(checked, 100);
}

TEST(PeImage, Wine32BitKernel32MatchesObjdump) {
  CompareExportsWithObjdump("/usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll", false);
}

TEST(PeImage, Wine64BitKernel32MatchesObjdump) {
  CompareExportsWithObjdump("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll", true);
}

}  // namespace
}  // namespace corvan::crash::test
