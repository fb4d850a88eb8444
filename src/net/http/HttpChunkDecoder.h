#pragma once
// Removes the chunked transfer coding from a response body. Portable.
//
// States, moved on by the bytes fed in:
//   Size       hexadecimal digits of the chunk size; the first other byte
//              ends them (at least one digit is required) -> Extension
//   Extension  rest of the size line (";ext=..." or blanks) up to LF
//              -> Data, or Trailer for the last (zero) chunk
//   Data       chunk bytes, handed to the sink -> DataEnd
//   DataEnd    the CR LF behind the data -> Size
//   Trailer    trailer fields after the last chunk, a line at a time, up
//              to the empty line -> Done
//   Done       the body is complete; later bytes are not consumed
//   Failed     a size line without a digit, or a size above 0x7FFFFFFF
#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvan::http {

class THttpChunkDecoder {
 public:
  enum class State { Size, Extension, Data, DataEnd, Trailer, Done, Failed };
  using Sink = std::function<void(const std::uint8_t*, std::size_t)>;

  void Reset();
  // Consumes bytes until they run out or the body is done or broken;
  // returns how many were consumed. Chunk data goes to sink.
  std::size_t Feed(const std::uint8_t* data, std::size_t size, const Sink& sink);

  State state() const { return state_; }
  bool Done() const { return state_ == State::Done; }
  bool Failed() const { return state_ == State::Failed; }

 private:
  State state_ = State::Size;
  std::uint32_t length_ = 0;
  std::uint32_t consumed_ = 0;
  int digits_ = 0;
  bool lineHasText_ = false;
};

bool IsXDigit(char c);
int XDigit(char c);

}  // namespace corvan::http
