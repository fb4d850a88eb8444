#include "net/http/HttpChunkDecoder.h"

#include <algorithm>

namespace corvan::http {

bool IsXDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int XDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (c & 0x0F) + 9;
}

void THttpChunkDecoder::Reset() { *this = THttpChunkDecoder(); }

std::size_t THttpChunkDecoder::Feed(const std::uint8_t* data, std::size_t size, const Sink& sink) {
  constexpr std::uint32_t kMaxChunk = 0x7FFFFFFF;
  std::size_t at = 0;
  while (at < size && state_ != State::Done && state_ != State::Failed) {
    const char c = static_cast<char>(data[at]);
    switch (state_) {
      case State::Size:
        if (IsXDigit(c)) {
          if (length_ > (kMaxChunk - XDigit(c)) / 16) {
            state_ = State::Failed;
            return at;
          }
          length_ = length_ * 16 + static_cast<std::uint32_t>(XDigit(c));
          ++digits_;
          ++at;
        } else {
          state_ = digits_ > 0 ? State::Extension : State::Failed;
        }
        break;
      case State::Extension:
        ++at;
        if (c == '\n') {
          state_ = length_ == 0 ? State::Trailer : State::Data;
          lineHasText_ = false;
        }
        break;
      case State::Data: {
        const std::size_t n = std::min<std::size_t>(size - at, length_ - consumed_);
        if (n > 0 && sink) sink(data + at, n);
        at += n;
        consumed_ += static_cast<std::uint32_t>(n);
        if (consumed_ >= length_) state_ = State::DataEnd;
        break;
      }
      case State::DataEnd:
        ++at;
        if (c == '\n') {
          state_ = State::Size;
          length_ = consumed_ = 0;
          digits_ = 0;
        }
        break;
      case State::Trailer:
        ++at;
        if (c == '\n') {
          if (!lineHasText_) state_ = State::Done;
          lineHasText_ = false;
        } else if (c != '\r') {
          lineHasText_ = true;
        }
        break;
      case State::Done:
      case State::Failed:
        break;
    }
  }
  return at;
}

}  // namespace corvan::http
