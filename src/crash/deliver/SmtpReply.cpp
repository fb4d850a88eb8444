#include "crash/deliver/SmtpReply.h"

#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool AnnouncesAuthLogin(const std::string& text) { return AnnouncesAuthMechanism(text, "LOGIN"); }

bool AnnouncesAuthMechanism(const std::string& text, std::string_view mechanism) {
  if (text.size() < 5 || !EqualsIgnoreCase(std::string_view(text).substr(0, 4), "AUTH") ||
      (text[4] != ' ' && text[4] != '=')) {
    return false;
  }
  // Mechanisms are separated by blanks; old servers wrote "AUTH=LOGIN".
  std::size_t at = 5;
  while (at < text.size()) {
    const std::size_t end = text.find_first_of(" =", at);
    const std::size_t length = (end == std::string::npos ? text.size() : end) - at;
    if (EqualsIgnoreCase(std::string_view(text).substr(at, length), mechanism)) return true;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return false;
}

SmtpReplyReader::State SmtpReplyReader::Feed(const char* data, std::size_t size) {
  if (state_ != State::kCollecting) return state_;
  pending_.append(data, size);
  return JudgeLines();
}

SmtpReplyReader::State SmtpReplyReader::Next() {
  if (state_ == State::kComplete) {
    state_ = State::kCollecting;
    code_ = 0;
    replyBytes_ = 0;
    authLogin_ = authPlain_ = startTls_ = false;
    return JudgeLines();
  }
  return state_;
}

SmtpReplyReader::State SmtpReplyReader::JudgeLines() {
  std::size_t start = 0;
  while (state_ == State::kCollecting) {
    // Bytes already searched hold no line end: a line fed byte by byte is
    // searched once, not once per byte.
    const std::size_t lf = pending_.find('\n', start > searched_ ? start : searched_);
    if (lf == std::string::npos) {
      searched_ = pending_.size();
      if (replyBytes_ + pending_.size() - start > kMaxReply) state_ = State::kMalformed;
      break;
    }
    std::size_t end = lf;
    if (end > start && pending_[end - 1] == '\r') --end;
    replyBytes_ += lf + 1 - start;
    bool final = false;
    if (replyBytes_ > kMaxReply || !JudgeLine(pending_.substr(start, end - start), final)) {
      state_ = State::kMalformed;
    } else if (final) {
      state_ = State::kComplete;
    }
    start = lf + 1;
  }
  pending_.erase(0, start);
  searched_ = searched_ > start ? searched_ - start : 0;
  return state_;
}

bool SmtpReplyReader::JudgeLine(const std::string& line, bool& final) {
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
    return false;
  }
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (code_ != 0 && code != code_) return false;
  code_ = code;
  if (line.size() == 3) {
    final = true;
    return true;
  }
  if (line[3] != '-' && line[3] != ' ') return false;
  final = line[3] == ' ';
  const std::string text = line.substr(4);
  authLogin_ = authLogin_ || AnnouncesAuthMechanism(text, "LOGIN");
  authPlain_ = authPlain_ || AnnouncesAuthMechanism(text, "PLAIN");
  startTls_ = startTls_ || EqualsIgnoreCase(text.substr(0, text.find(' ')), "STARTTLS");
  return true;
}

}  // namespace corvan::crash
