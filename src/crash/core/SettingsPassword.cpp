#include "crash/core/SettingsPassword.h"

#include <cstdint>

namespace corvan::crash {
namespace {

// A keystream from a 64-bit xorshift generator seeded by FNV-1a of the key.
class KeyStream {
 public:
  KeyStream(std::string_view account, std::string_view server) {
    std::uint64_t h = 1469598103934665603ULL;
    auto mix = [&](std::string_view s) {
      for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
    };
    mix(account);
    mix("\n");
    mix(server);
    state_ = h ? h : 1;
  }
  std::uint8_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint8_t>(state_ >> 24);
  }

 private:
  std::uint64_t state_;
};

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string EncipherPassword(std::string_view clear, std::string_view account,
                             std::string_view server) {
  static const char digits[] = "0123456789abcdef";
  KeyStream key(account, server);
  std::string out;
  for (unsigned char c : clear) {
    const std::uint8_t b = c ^ key.Next();
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::optional<std::string> DecipherPassword(std::string_view stored, std::string_view account,
                                            std::string_view server) {
  if (stored.size() % 2) return std::nullopt;
  KeyStream key(account, server);
  std::string out;
  for (std::size_t i = 0; i < stored.size(); i += 2) {
    const int hi = Nibble(stored[i]), lo = Nibble(stored[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>((hi << 4 | lo) ^ key.Next());
  }
  return out;
}

}  // namespace corvan::crash
