// Base64 against the test vectors of RFC 4648, section 10, both ways.
#include <gtest/gtest.h>

#include "common/Base64.h"

namespace corvan {
namespace {

TEST(Base64, Rfc4648Vectors) {
  const char* vectors[][2] = {{"", ""},
                              {"f", "Zg=="},
                              {"fo", "Zm8="},
                              {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors) {
    EXPECT_EQ(Base64Encode(v[0]), v[1]);
    EXPECT_EQ(Base64Decode(v[1]), v[0]);
  }
  EXPECT_EQ(Base64Encode(std::string("\xff\xfe\0", 3)), "//4A");
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
  EXPECT_EQ(Base64Decode(out.substr(1)), bytes);
  EXPECT_EQ(Base64Length(57), 76u);
}

TEST(Base64, DecodingSkipsBlanksAndStopsAtForeignCharacters) {
  EXPECT_EQ(Base64Decode(" Zm9v\r\nYmFy "), "foobar");
  EXPECT_EQ(Base64Decode("Zm9v!YmFy"), "foo") << "data ends at a foreign character";
  EXPECT_EQ(Base64Decode("Z"), "") << "one character carries no whole byte";
}

}  // namespace
}  // namespace corvan
