#pragma once
// Writes ".jdbg" files for tests in the JCL binary debug format.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crash/analysis/JdbgFile.h"
#include "crash/util/ByteOrder.h"

namespace corvan::crash::test {

inline void Varint(std::vector<std::uint8_t>& out, std::uint32_t v) {
  do {
    std::uint8_t b = v & 0x7F;
    v >>= 7;
    if (v) b |= 0x80;
    out.push_back(b);
  } while (v);
}

inline unsigned PackedValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 1);
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A' + 11);
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 37);
  return 63;
}

// A name in the 6-bit packed form (with the "@" form when it starts so),
// or in the XOR form when asked or when it holds a character the packed
// alphabet lacks.
inline std::vector<std::uint8_t> EncodeName(const std::string& name, bool xored) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    xored |= !(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (c == '@' && i == 0));
  }
  if (xored) {
    out.push_back(1);
    for (char c : name) {
      const auto b = static_cast<std::uint8_t>(c);
      out.push_back(b == 0xAA ? b : static_cast<std::uint8_t>(b ^ 0xAA));
    }
    out.push_back(0);
    return out;
  }
  std::string text = name;
  if (!text.empty() && text[0] == '@') {
    out.push_back(2);
    text.erase(0, 1);
  }
  std::uint32_t bits = 0;
  int have = 0;
  auto put = [&](unsigned v) {
    bits |= v << have;
    have += 6;
    while (have >= 8) {
      out.push_back(static_cast<std::uint8_t>(bits));
      bits >>= 8;
      have -= 8;
    }
  };
  for (char c : text) put(PackedValue(c));
  put(0);
  if (have > 0) out.push_back(static_cast<std::uint8_t>(bits));
  return out;
}

struct TJdbgBuilder {
  std::vector<std::uint8_t> words{0};  // offset 0: no name
  std::vector<std::uint8_t> units, symbols, lines;
  std::int64_t unitAddress = 0, unitName = 0;
  std::int64_t symAddress = 0, symName = 0, symSecond = 0;
  std::int64_t lineAddress = 0, lineNo = 0;

  std::uint32_t Word(const std::string& name, bool xored = false) {
    const auto at = static_cast<std::uint32_t>(words.size());
    const std::vector<std::uint8_t> bytes = EncodeName(name, xored);
    words.insert(words.end(), bytes.begin(), bytes.end());
    return at;
  }
  static void Delta(std::vector<std::uint8_t>& out, std::int64_t& last, std::int64_t value) {
    Varint(out, static_cast<std::uint32_t>(value - last));
    last = value;
  }
  void Unit(std::uint32_t offset, const std::string& name) {
    Delta(units, unitAddress, offset);
    Delta(units, unitName, Word(name));
  }
  void Symbol(std::uint32_t offset, std::uint32_t first, std::uint32_t second) {
    Delta(symbols, symAddress, offset);
    Delta(symbols, symName, first);
    Delta(symbols, symSecond, second);
  }
  void Line(std::uint32_t offset, std::int32_t line) {
    Delta(lines, lineAddress, offset);
    Delta(lines, lineNo, line);
  }

  std::vector<std::uint8_t> Build(bool checksum = true) const {
    std::vector<std::uint8_t> out(kJdbgHeaderSize, 0);
    std::memcpy(out.data(), "JDBG", 4);
    out[4] = 1;
    auto table = [&](std::size_t field, const std::vector<std::uint8_t>& t) {
      PutLe32(out.data() + field, static_cast<std::uint32_t>(out.size()));
      out.insert(out.end(), t.begin(), t.end());
      Varint(out, static_cast<std::uint32_t>(kJdbgTableEnd));
    };
    table(5, units);
    table(9, {});
    table(13, symbols);
    table(17, lines);
    PutLe32(out.data() + 21, static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), words.begin(), words.end());
    while (out.size() % 4) out.push_back(0);
    if (checksum) {
      // The dword sum with the checksum field zero (and its flag set).
      out[33] = 1;
      std::uint32_t sum = 0;
      for (std::size_t at = 0; at < out.size(); at += 4) sum += ReadLe32(out.data() + at);
      PutLe32(out.data() + 29, sum);
    }
    return out;
  }
};

}  // namespace corvan::crash::test
