#pragma once
// Reads SMTP replies from the bytes a server sends, in whatever pieces they
// arrive.
//
// A reply is one or more lines "ddd-text" (continuation) ended by one line
// "ddd text" or "ddd" (RFC 5321, 4.2). A line is judged only once its line
// end has arrived (CR LF; a bare LF is accepted too), never from a part
// that merely looks complete. States:
//   collecting: lines arrive; each must start with three digits, the same
//               code on every line of the reply, then "-", " " or the line
//               end. A continuation line keeps collecting.
//   complete:   the final line arrived; Code() is its code. Bytes after it
//               stay buffered for the next reply (Next()).
//   malformed:  a line broke the rules, or the reply grew beyond 64 KiB;
//               the conversation cannot go on.
// While collecting, the reader notes whether a line names LOGIN or PLAIN
// among the mechanisms of an "AUTH" line ("250-AUTH LOGIN PLAIN",
// "250 AUTH=LOGIN") and whether a line is "STARTTLS".
#include <cstddef>
#include <string>
#include <string_view>

namespace corvan::crash {

class SmtpReplyReader {
 public:
  enum class State { kCollecting, kComplete, kMalformed };

  static constexpr std::size_t kMaxReply = 64 * 1024;

  // Adds received bytes and judges every line that is now complete.
  State Feed(const char* data, std::size_t size);
  State Current() const { return state_; }
  // The code of the complete reply (0 before).
  int Code() const { return state_ == State::kComplete ? code_ : 0; }
  bool OffersAuthLogin() const { return authLogin_; }
  bool OffersAuthPlain() const { return authPlain_; }
  bool OffersStartTls() const { return startTls_; }
  // Starts on the next reply with the bytes that followed this one.
  State Next();

 private:
  State JudgeLines();
  bool JudgeLine(const std::string& line, bool& final);

  std::string pending_;       // bytes not judged yet
  std::size_t searched_ = 0;  // pending_ up to here holds no line end
  std::size_t replyBytes_ = 0;
  State state_ = State::kCollecting;
  int code_ = 0;
  bool authLogin_ = false;
  bool authPlain_ = false;
  bool startTls_ = false;
};

// Whether the text of a reply line (after "ddd-") announces AUTH with the
// mechanism (LOGIN for AnnouncesAuthLogin).
bool AnnouncesAuthMechanism(const std::string& text, std::string_view mechanism);
bool AnnouncesAuthLogin(const std::string& text);

}  // namespace corvan::crash
