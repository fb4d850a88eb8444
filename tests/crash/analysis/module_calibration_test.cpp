// The calibration resource: its 20 bytes, the values the build takes from
// a program's sections as the GNU linker lays them out, and the header
// fields the reporter derives from them, damaged values refused.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crash/analysis/ModuleCalibration.h"

namespace corvan::crash {
namespace {

struct Section {
  const char* name;
  std::uint32_t rva, size;
};

// Headers of a PE32 file with the given section table (no section data).
std::vector<std::uint8_t> Headers(const std::vector<Section>& sections) {
  std::vector<std::uint8_t> out(0x400);
  auto put16 = [&](std::size_t at, std::uint16_t v) { std::memcpy(&out[at], &v, 2); };
  auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(&out[at], &v, 4); };
  out[0] = 'M', out[1] = 'Z';
  put32(0x3C, 0x80);
  std::memcpy(&out[0x80], "PE\0\0", 4);
  put16(0x84, 0x14C);
  put16(0x86, static_cast<std::uint16_t>(sections.size()));
  put16(0x94, 0xE0);
  put16(0x98, 0x10B);
  put32(0x98 + 28, 0x400000);
  put32(0x98 + 92, 16);
  std::size_t at = 0x98 + 0xE0;
  for (const Section& s : sections) {
    std::memcpy(&out[at], s.name, std::strlen(s.name));
    put32(at + 8, s.size);
    put32(at + 12, s.rva);
    at += 40;
  }
  return out;
}

// The layout of a mingw-w64 program: code, then data, read-only data and
// unwind tables, then .bss, then the loader's tables.
const std::vector<Section> kMingwLayout = {
    {".text", 0x1000, 0x104158},      {".data", 0x106000, 0x1c50}, {".rdata", 0x108000, 0x12068},
    {".eh_frame", 0x11b000, 0x4f448}, {".bss", 0x16b000, 0xd68},   {".idata", 0x16c000, 0x1384},
    {".rsrc", 0x170000, 0x147f8}};

TEST(ModuleCalibration, TwentyLittleEndianBytes) {
  const ModuleCalibration c{0x5b0, 8, 0x21a240, 0x81000, 0x1508};
  const auto bytes = EncodeCalibration(c);
  const std::uint8_t expected[20] = {0xb0, 0x05, 0, 0,    8,    0, 0,    0,    0x40, 0xa2,
                                     0x21, 0,    0, 0x10, 0x08, 0, 0x08, 0x15, 0,    0};
  EXPECT_EQ(std::memcmp(bytes.data(), expected, 20), 0);
  EXPECT_EQ(DecodeCalibration(bytes), c);
  EXPECT_FALSE(DecodeCalibration({bytes.data(), 19}));
}

TEST(ModuleCalibration, CodeIsTextDataRunsFromDataToTheEndOfBss) {
  const std::vector<std::uint8_t> file = Headers(kMingwLayout);
  const BufferImageBytes bytes(file);
  const PeImage image(bytes, ImageLayout::File);
  const auto c = CalibrationOfImage(image, 0x15b0, 0x106008);
  ASSERT_TRUE(c);
  EXPECT_EQ(*c, (ModuleCalibration{0x5b0, 8, 0x104158, 0x16b000 - 0x106000, 0xd68}));
  // A reference outside its range: the build must fail, not embed nonsense.
  EXPECT_FALSE(CalibrationOfImage(image, 0x106000, 0x106008));
  EXPECT_FALSE(CalibrationOfImage(image, 0x15b0, 0x16c000));
  EXPECT_TRUE(CalibrationOfImage(image, 0x15b0, 0x16bd67));
}

TEST(ModuleCalibration, WithoutBssTheDataSectionAlone) {
  const std::vector<std::uint8_t> file =
      Headers({{".text", 0x1000, 0x800}, {".data", 0x2000, 0x300}, {".rdata", 0x3000, 0x100}});
  const BufferImageBytes bytes(file);
  const auto c = CalibrationOfImage(PeImage(bytes, ImageLayout::File), 0x1010, 0x2010);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->InitializedDataSize, 0x300u);
  EXPECT_EQ(c->UninitializedDataSize, 0u);
  const std::vector<std::uint8_t> noData = Headers({{".text", 0x1000, 0x800}});
  const BufferImageBytes other(noData);
  EXPECT_FALSE(CalibrationOfImage(PeImage(other, ImageLayout::File), 0x1010, 0x2010));
}

TEST(ModuleCalibration, OwnModuleHeaderFollowsTheReferences) {
  const ModuleCalibration c{0x5b0, 8, 0x104158, 0x65000, 0xd68};
  // Wherever the loader put the module: the fields are RVAs.
  const auto h = OwnModuleHeader(c, 0x15b0, 0x106008, 0x200000);
  ASSERT_TRUE(h);
  EXPECT_EQ(*h, (CalibratedHeader{0x1000, 0x104158, 0x106000, 0x65000, 0xd68}));
}

TEST(ModuleCalibration, DamagedValuesWriteNothing) {
  const ModuleCalibration good{0x5b0, 8, 0x104158, 0x65000, 0xd68};
  ModuleCalibration other = good;
  other.CodeOffset |= kOtherModuleFlag;
  EXPECT_FALSE(OwnModuleHeader(other, 0x15b0, 0x106008, 0x200000));
  ModuleCalibration c = good;
  c.CodeOffset = 0x2000;  // code would start before the image
  EXPECT_FALSE(OwnModuleHeader(c, 0x15b0, 0x106008, 0x200000));
  c = good;
  c.CodeSize = 0x5b0;  // the reference routine beyond the code's end
  EXPECT_FALSE(OwnModuleHeader(c, 0x15b0, 0x106008, 0x200000));
  c = good;
  c.InitializedDataSize = 0xFFFFFFF0;  // beyond the image, without wrapping
  EXPECT_FALSE(OwnModuleHeader(c, 0x15b0, 0x106008, 0x200000));
  EXPECT_FALSE(OwnModuleHeader(good, 0x15b0, 0x106008, 0x100000));
}

}  // namespace
}  // namespace corvan::crash
