// The PE checksum against pefile's (python3-pefile), which follows the
// system's CheckSumMappedFile: images of every length parity, the stored
// field ignored, one flipped byte noticed, and the program of the Windows
// tree when it has been built.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "PeBuilder.h"
#include "crash/analysis/PeChecksum.h"
#include "common/ExternalTools.h"

namespace corvan::crash {
namespace {

using test::Quote;
using test::RunTool;

// pefile's checksum of the file and the offset of the field it skips.
std::pair<std::uint32_t, std::uint32_t> PefileChecksum(const std::string& path) {
  const test::CommandResult r = RunTool(
      "/usr/bin/python3 -c 'import pefile, sys; p = pefile.PE(sys.argv[1], fast_load=True); "
      "print(p.generate_checksum(), "
      "p.OPTIONAL_HEADER.get_field_absolute_offset(\"CheckSum\"))' " +
      Quote(path));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::uint32_t sum = 0, offset = 0;
  std::sscanf(r.output.c_str(), "%u %u", &sum, &offset);
  return {sum, offset};
}

std::vector<std::uint8_t> RandomImage(std::size_t sectionBytes, std::uint32_t seed) {
  test::PeBuilder pe;
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < sectionBytes; ++i)
    pe.data.push_back(static_cast<std::uint8_t>(random()));
  return pe.Build(ImageLayout::File);
}

TEST(PeChecksum, AgreesWithPefileForEveryLengthParity) {
  test::TempDir dir;
  for (std::size_t extra : {0u, 1u, 2u, 3u, 4097u}) {
    std::vector<std::uint8_t> image = RandomImage(0x2000, static_cast<std::uint32_t>(extra));
    image.resize(image.size() + extra, 0xA5);  // trailing bytes, as a signature would add
    const std::string path = dir / ("image" + std::to_string(extra) + ".exe");
    test::WriteFile(path, image);
    const auto field = PeChecksumOffset(image);
    ASSERT_TRUE(field);
    const auto [expected, pefileField] = PefileChecksum(path);
    EXPECT_EQ(*field, pefileField);
    EXPECT_EQ(PeChecksum(image, *field), expected) << "length " << image.size();
  }
}

TEST(PeChecksum, IgnoresTheStoredFieldAndNoticesOneFlippedByte) {
  std::vector<std::uint8_t> image = RandomImage(0x1000, 7);
  const std::uint32_t field = *PeChecksumOffset(image);
  const std::uint32_t sum = PeChecksum(image, field);
  image[field] ^= 0xFF;
  image[field + 3] ^= 0x10;
  EXPECT_EQ(PeChecksum(image, field), sum);
  image[0x400 + 0x123] ^= 0x01;
  EXPECT_NE(PeChecksum(image, field), sum);
}

TEST(PeChecksum, FieldAtAnOddOffsetCountsAsZero) {
  // A hostile header may place the field anywhere: only its 4 bytes drop
  // out, whatever words they share with their neighbours.
  std::vector<std::uint8_t> bytes(64, 0x11);
  std::vector<std::uint8_t> zeroed = bytes;
  for (int i = 13; i < 17; ++i) zeroed[i] = 0;
  EXPECT_EQ(PeChecksum(bytes, 13), PeChecksum(zeroed, 13));
  EXPECT_EQ(PeChecksum(bytes, 13), PeChecksum(zeroed, 1000));
  EXPECT_EQ(PeChecksum(bytes, 62), PeChecksum({bytes.data(), 62}, 1000) + 2);
}

TEST(PeChecksum, NoFieldInWhatIsNoImage) {
  std::vector<std::uint8_t> image = RandomImage(0x100, 1);
  EXPECT_FALSE(PeChecksumOffset({image.data(), 0x3F}));
  image[0] = 'X';
  EXPECT_FALSE(PeChecksumOffset(image));
  image[0] = 'M';
  image[0x3C] = 0xF0;  // PE header beyond the file
  image[0x3D] = 0xFF;
  EXPECT_FALSE(PeChecksumOffset(image));
}

TEST(PeChecksum, TheBuiltProgramCarriesItsChecksum) {
  const std::filesystem::path exe = CORVAN_DEFAULT_MAPPED_EXE;
  if (!std::filesystem::exists(exe)) GTEST_SKIP() << exe << " is not built";
  const std::vector<std::uint8_t> file = test::ReadFile(exe);
  const std::uint32_t field = *PeChecksumOffset(file);
  std::uint32_t stored = 0;
  std::memcpy(&stored, &file[field], 4);
  EXPECT_NE(stored, 0u);
  EXPECT_EQ(PeChecksum(file, field), stored);
  EXPECT_EQ(PefileChecksum(exe.string()).first, stored);
}

}  // namespace
}  // namespace corvan::crash
