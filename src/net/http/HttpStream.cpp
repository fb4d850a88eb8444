#include "net/http/HttpStream.h"

#include <algorithm>
#include <cstring>

namespace corvan::http {

void TMemoryStream::WriteBuffer(const void* data, std::size_t size) {
  if (size == 0) return;
  const auto at = static_cast<std::size_t>(position_);
  if (at + size > bytes_.size()) bytes_.resize(at + size);
  std::memcpy(bytes_.data() + at, data, size);
  position_ += static_cast<std::int64_t>(size);
}

std::size_t TMemoryStream::Read(void* data, std::size_t size) {
  const auto at = static_cast<std::size_t>(position_);
  if (at >= bytes_.size()) return 0;
  const std::size_t n = std::min(size, bytes_.size() - at);
  std::memcpy(data, bytes_.data() + at, n);
  position_ += static_cast<std::int64_t>(n);
  return n;
}

void TMemoryStream::Seek(std::int64_t position) {
  position_ = std::clamp<std::int64_t>(position, 0, Size());
}

void TMemoryStream::SetSize(std::int64_t size) {
  bytes_.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
  position_ = std::min(position_, Size());
}

void TMemoryStream::Clear() {
  bytes_.clear();
  position_ = 0;
}

}  // namespace corvan::http
