// Base64 against the test vectors of RFC 4648, section 10.
#include <gtest/gtest.h>

#include "crash/util/Base64.h"

namespace corvan::crash {
namespace {

TEST(Base64, Rfc4648Vectors) {
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==");
  EXPECT_EQ(Base64("fo"), "Zm8=");
  EXPECT_EQ(Base64("foo"), "Zm9v");
  EXPECT_EQ(Base64("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64("foobar"), "Zm9vYmFy");
}

TEST(Base64, EveryAlphabetCharacterAndAppending) {
  // Bytes 0x00 0x10 0x83 ... walk all 64 six-bit values in order.
  std::string bytes;
  for (int v = 0; v < 64; v += 4) {
    const unsigned bits = static_cast<unsigned>(v << 18 | (v + 1) << 12 | (v + 2) << 6 | (v + 3));
    bytes += static_cast<char>(bits >> 16);
    bytes += static_cast<char>(bits >> 8);
    bytes += static_cast<char>(bits);
  }
  std::string out = "x";
  AppendBase64(out, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(out, "xABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  EXPECT_EQ(Base64Length(57), 76u);
}

}  // namespace
}  // namespace corvan::crash
