// CRC-32, raw deflate and the compressed block; portable (native and Wine).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crash/util/ByteOrder.h"
#include "crash/util/Crc32.h"
#include "crash/util/Deflate.h"

namespace corvan::crash {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

std::vector<std::uint8_t> Text(std::size_t n) {
  std::string s;
  while (s.size() < n) s += "Access violation at address 0040a1f3 in module 'corvan.exe'.\r\n";
  s.resize(n);
  return Bytes(s);
}

TEST(Crc32, PublishedVectors) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32("", 0), 0u);
  EXPECT_EQ(Crc32("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
  const std::uint8_t iend[] = {'I', 'E', 'N', 'D'};  // the CRC every PNG ends with
  EXPECT_EQ(Crc32(iend, 4), 0xAE426082u);
}

TEST(Crc32, RegisterCarriesAcrossParts) {
  const std::vector<std::uint8_t> data = RandomBytes(10000, 1);
  std::uint32_t reg = kCrc32Start;
  for (std::size_t at = 0; at < data.size(); at += 333) {
    reg = Crc32Update(reg, data.data() + at, std::min<std::size_t>(333, data.size() - at));
  }
  EXPECT_EQ(~reg, Crc32(data.data(), data.size()));
  EXPECT_EQ(Crc32Update(0x12345678u, nullptr, 0), 0x12345678u);
}

std::vector<std::uint8_t> Deflated(const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> out(CompressRawBound(data.size()));
  out.resize(CompressRaw(data.data(), out.data(), data.size(), out.size()));
  return out;
}

TEST(RawDeflate, RoundTripsEveryKindOfData) {
  for (const auto& data : {std::vector<std::uint8_t>{}, Bytes("x"), Text(100000),
                           RandomBytes(70000, 2), std::vector<std::uint8_t>(300000, 0)}) {
    const std::vector<std::uint8_t> packed = Deflated(data);
    ASSERT_FALSE(packed.empty());
    EXPECT_LE(packed.size(), data.size() * 11 / 10 + 12);  // the classic bound holds
    std::vector<std::uint8_t> back(data.size());
    if (data.empty()) continue;  // ExpandRaw's 0 means failure and success alike
    EXPECT_EQ(ExpandRaw(packed.data(), back.data(), packed.size(), back.size()), data.size());
    EXPECT_EQ(back, data);
  }
}

TEST(RawDeflate, TooSmallDestinationFails) {
  const std::vector<std::uint8_t> data = RandomBytes(5000, 3);
  std::vector<std::uint8_t> out(4000);
  EXPECT_EQ(CompressRaw(data.data(), out.data(), data.size(), out.size()), 0u);
}

TEST(RawDeflate, ExpandWantsExactLengthAndWholeSource) {
  const std::vector<std::uint8_t> data = Text(5000);
  std::vector<std::uint8_t> packed = Deflated(data);
  std::vector<std::uint8_t> back(data.size() + 1);
  EXPECT_EQ(ExpandRaw(packed.data(), back.data(), packed.size(), data.size() + 1), 0u);
  EXPECT_EQ(ExpandRaw(packed.data(), back.data(), packed.size(), data.size() - 1), 0u);
  EXPECT_EQ(ExpandRaw(packed.data(), back.data(), packed.size() - 1, data.size()), 0u);
  packed.push_back(0);  // trailing garbage is not consumed
  EXPECT_EQ(ExpandRaw(packed.data(), back.data(), packed.size(), data.size()), 0u);
  const std::uint8_t junk[] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ExpandRaw(junk, back.data(), sizeof junk, 10), 0u);
}

TEST(CompressedBlock, RoundTripAndLayout) {
  const std::vector<std::uint8_t> data = Text(40000);
  const std::vector<std::uint8_t> block = CompressBlock(data);
  ASSERT_GT(block.size(), 12u);
  EXPECT_EQ(ReadLe32(block.data()), data.size());
  EXPECT_EQ(ReadLe32(block.data() + 4), block.size() - 12);
  EXPECT_EQ(ReadLe32(block.data() + 8), Crc32(data.data(), data.size()));
  EXPECT_EQ(ExpandBlock(block), data);
  const std::vector<std::uint8_t> empty = CompressBlock({});
  EXPECT_EQ(empty.size(), 14u);  // header and the 2-byte empty stream
  EXPECT_TRUE(ExpandBlock(empty).empty());
}

TEST(CompressedBlock, DamageGivesNothing) {
  const std::vector<std::uint8_t> data = Text(20000);
  const std::vector<std::uint8_t> good = CompressBlock(data);

  EXPECT_TRUE(ExpandBlock(std::span(good).first(12)).empty());               // header only
  EXPECT_TRUE(ExpandBlock(std::span(good).first(good.size() / 2)).empty());  // truncated

  std::vector<std::uint8_t> crc = good;
  crc[9] ^= 0x01;
  EXPECT_TRUE(ExpandBlock(crc).empty());

  std::vector<std::uint8_t> body = good;
  body[body.size() / 2] ^= 0x10;
  EXPECT_TRUE(ExpandBlock(body).empty());

  // A longer declared length only truncates to what the stream holds; the
  // CRC still matches, so the data comes back whole.
  std::vector<std::uint8_t> longer = good;
  PutLe32(longer.data(), static_cast<std::uint32_t>(data.size() + 100));
  EXPECT_EQ(ExpandBlock(longer), data);

  // A shorter one cuts the data off, and the CRC catches it.
  std::vector<std::uint8_t> shorter = good;
  PutLe32(shorter.data(), static_cast<std::uint32_t>(data.size() - 1));
  EXPECT_TRUE(ExpandBlock(shorter).empty());
}

TEST(CompressedBlock, ImplausibleLengthsAreRefusedBeforeAllocating) {
  // 13 bytes declaring 4 GiB: refused (it would otherwise allocate it).
  std::vector<std::uint8_t> block(13, 0);
  PutLe32(block.data(), 0xFFFFFFFFu);
  EXPECT_TRUE(ExpandBlock(block).empty());

  // A real highly compressible block: at the 1032:1 ratio it is fine, one
  // byte beyond it is refused.
  const std::vector<std::uint8_t> zeros(1 << 20, 0);
  std::vector<std::uint8_t> packed = CompressBlock(zeros);
  ASSERT_FALSE(packed.empty());
  EXPECT_EQ(ExpandBlock(packed), zeros);
  const std::size_t stream = packed.size() - 12;
  std::vector<std::uint8_t> padded = packed;
  PutLe32(padded.data(), static_cast<std::uint32_t>(stream * kBlockMaxRatio + 1));
  EXPECT_TRUE(ExpandBlock(padded).empty());

  // Over 64 MiB is refused even when the ratio would allow it.
  std::vector<std::uint8_t> huge(12 + 70000, 0);
  PutLe32(huge.data(), kBlockMaxLength + 1);
  EXPECT_TRUE(ExpandBlock(huge).empty());
}

}  // namespace
}  // namespace corvan::crash
