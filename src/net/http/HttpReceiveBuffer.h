#pragma once
// The client's one receive buffer: 8190 bytes of data, always followed by a
// zero byte. Header lines are split in place; body bytes are handed on
// from the front. Portable.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace corvan::http {

class THttpReceiveBuffer {
 public:
  static constexpr std::size_t kCapacity = 8190;
  // How much is read when the buffer is full, looking for the end of an
  // over-long line.
  static constexpr std::size_t kOverflowProbe = 25;

  std::size_t Fill() const { return fill_; }
  std::size_t FreeSpace() const { return kCapacity - fill_; }
  const std::uint8_t* Data() const { return bytes_.data(); }
  // Where the next read goes; at most FreeSpace() bytes, then Commit.
  std::uint8_t* WritePointer() { return bytes_.data() + fill_; }
  void Commit(std::size_t count);

  // With the buffer full, takes the probe read behind an over-long line:
  // without a line feed the bytes are dropped (returns false); otherwise the
  // line feed and what follows it replace the end of the buffer, so the
  // over-long line is cut short and the next line is kept.
  bool AcceptOverflow(const std::uint8_t* probe, std::size_t count);

  // Removes and returns the first line (without LF and a CR directly before
  // it); none when no line feed lies within the data.
  std::optional<std::string> TakeLine();
  // Removes count bytes from the front.
  void Consume(std::size_t count);
  void Clear();

 private:
  std::array<std::uint8_t, kCapacity + 3> bytes_{};
  std::size_t fill_ = 0;
};

}  // namespace corvan::http
