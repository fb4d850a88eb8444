#pragma once
// The received bytes of a socket in line mode: collected until a line end
// arrives, then handed out one line at a time. Optional editing of the new
// bytes for terminal-like peers (backspace, tab). Portable.
#include <cstddef>
#include <string>
#include <string_view>

namespace corvan::net {

class TLineBuffer {
 public:
  // Adds received bytes. With edit, a backspace removes the character
  // before it (also one added earlier) and a tab becomes spaces up to the
  // next multiple of 8. echo receives what a terminal should show: the
  // bytes as kept, "\b \b" for each removal.
  void Add(std::string_view bytes, bool edit, std::string& echo);

  // Looks for lineEnd, starting lineEnd.size() bytes before from (so an end
  // split over two reads is found). On success the current line is the
  // bytes up to and including the end; true.
  bool FindLine(std::string_view lineEnd, std::size_t from);
  // Makes the whole buffer the current line (the last line at a close).
  void TakeAllAsLine() { lineLength_ = data_.size(); }

  // Copies at most size bytes of the current line (lineOnly) or of the
  // buffer from its front and removes them; returns the count.
  std::size_t Read(char* out, std::size_t size, bool lineOnly);
  void DropLine() { Read(nullptr, lineLength_, true); }
  void Clear();

  std::size_t Size() const { return data_.size(); }
  bool Empty() const { return data_.empty(); }
  // Bytes of the current line still to be read (0 when none was found).
  std::size_t LineLength() const { return lineLength_; }

 private:
  std::string data_;
  std::size_t lineLength_ = 0;
};

// Milliseconds from start to now of a 32-bit tick counter; correct across
// the counter's wrap (every 49.7 days).
inline unsigned TickElapsed(unsigned start, unsigned now) { return now - start; }

}  // namespace corvan::net
