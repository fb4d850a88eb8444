#include "net/socket/NetLineBuffer.h"

#include <algorithm>
#include <cstring>

namespace corvan::net {

void TLineBuffer::Add(std::string_view bytes, bool edit, std::string& echo) {
  if (!edit) {
    data_.append(bytes);
    echo.append(bytes);
    return;
  }
  for (const char c : bytes) {
    if (c == '\b') {
      if (data_.size() > lineLength_) {  // never edit a line already handed out
        data_.pop_back();
        echo += "\b \b";
      }
    } else if (c == '\t') {
      const std::size_t spaces = 8 - data_.size() % 8;
      data_.append(spaces, ' ');
      echo.append(spaces, ' ');
    } else {
      data_ += c;
      echo += c;
    }
  }
}

bool TLineBuffer::FindLine(std::string_view lineEnd, std::size_t from) {
  if (lineEnd.empty()) return false;
  from = from > lineEnd.size() ? from - lineEnd.size() : 0;
  const std::size_t at = std::string_view(data_).find(lineEnd, from);
  if (at == std::string_view::npos) return false;
  lineLength_ = at + lineEnd.size();
  return true;
}

std::size_t TLineBuffer::Read(char* out, std::size_t size, bool lineOnly) {
  const std::size_t n = std::min(size, lineOnly ? lineLength_ : data_.size());
  if (out && n > 0) std::memcpy(out, data_.data(), n);
  data_.erase(0, n);
  lineLength_ -= std::min(lineLength_, n);
  return n;
}

void TLineBuffer::Clear() {
  data_.clear();
  lineLength_ = 0;
}

}  // namespace corvan::net
