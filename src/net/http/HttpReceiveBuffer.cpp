#include "net/http/HttpReceiveBuffer.h"

#include <algorithm>
#include <cstring>

namespace corvan::http {

void THttpReceiveBuffer::Commit(std::size_t count) {
  fill_ += std::min(count, FreeSpace());
  bytes_[fill_] = 0;
}

bool THttpReceiveBuffer::AcceptOverflow(const std::uint8_t* probe, std::size_t count) {
  count = std::min(count, kOverflowProbe);
  const void* lf = std::memchr(probe, '\n', count);
  if (!lf) return false;
  const auto from = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - probe);
  const std::size_t keep = std::min(count - from, fill_);
  std::memcpy(bytes_.data() + fill_ - keep, probe + from, keep);
  bytes_[fill_] = 0;
  return true;
}

std::optional<std::string> THttpReceiveBuffer::TakeLine() {
  const void* lf = std::memchr(bytes_.data(), '\n', fill_);
  if (!lf) return std::nullopt;
  const auto end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - bytes_.data());
  std::size_t length = end;
  if (length > 0 && bytes_[length - 1] == '\r') --length;
  std::string line(reinterpret_cast<const char*>(bytes_.data()), length);
  Consume(end + 1);
  return line;
}

void THttpReceiveBuffer::Consume(std::size_t count) {
  count = std::min(count, fill_);
  std::memmove(bytes_.data(), bytes_.data() + count, fill_ - count);
  fill_ -= count;
  bytes_[fill_] = 0;
}

void THttpReceiveBuffer::Clear() {
  fill_ = 0;
  bytes_[0] = 0;
}

}  // namespace corvan::http
