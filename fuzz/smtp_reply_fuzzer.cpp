// SMTP replies come from the network in pieces of any size: the reader must
// judge the same replies whether the bytes arrive at once or one by one,
// and never read outside them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crash/deliver/SmtpReply.h"

namespace {

using corvan::crash::SmtpReplyReader;

struct Reply {
  SmtpReplyReader::State state;
  int code;
  bool authLogin;
  bool operator==(const Reply&) const = default;
};

// Every reply the bytes hold, fed in pieces of `piece` bytes.
std::vector<Reply> Replies(const char* data, std::size_t size, std::size_t piece) {
  SmtpReplyReader reader;
  std::vector<Reply> replies;
  std::size_t at = 0;
  SmtpReplyReader::State state = reader.Current();
  for (;;) {
    while (state == SmtpReplyReader::State::kCollecting && at < size) {
      const std::size_t n = size - at < piece ? size - at : piece;
      state = reader.Feed(data + at, n);
      at += n;
    }
    replies.push_back({state, reader.Code(), reader.OffersAuthLogin()});
    if (state != SmtpReplyReader::State::kComplete) return replies;
    state = reader.Next();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const char* data = reinterpret_cast<const char*>(bytes);
  const std::vector<Reply> whole = Replies(data, size, size + 1);
  for (const Reply& r : whole) {
    if (r.state == SmtpReplyReader::State::kComplete && (r.code < 0 || r.code > 999)) std::abort();
  }
  if (Replies(data, size, 1) != whole) std::abort();
  if (size > 7 && Replies(data, size, 7) != whole) std::abort();
  return 0;
}
