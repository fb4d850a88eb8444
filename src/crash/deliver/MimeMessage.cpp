#include "crash/deliver/MimeMessage.h"

#include <cstdio>

#include "common/Base64.h"
#include "crash/deliver/MailAddress.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr char kHex[] = "0123456789ABCDEF";

bool IsLetterOrDigit(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string MailDate(const UtcTime& t) {
  const int month = t.month >= 1 && t.month <= 12 ? t.month : 1;
  char text[48];
  std::snprintf(text, sizeof text, "%d %s %04d %02d:%02d:%02d UT", t.day, kMonths[month - 1],
                t.year, t.hour, t.minute, t.second);
  return text;
}

std::string MailMessageId(std::uint64_t fileTime) {
  char text[40];
  std::snprintf(text, sizeof text, "<%016llx@zelExcept>",
                static_cast<unsigned long long>(fileTime));
  return text;
}

std::string EncodeSubject(std::string_view subject) {
  // "Subject: " plus one word of at most 75 characters stays within 78.
  static constexpr std::string_view kOpen = "=?ISO-8859-1?Q?", kClose = "?=";
  static constexpr std::size_t kMaxWord = 75;
  std::string out, word(kOpen);
  for (const char ch : subject) {
    const auto c = static_cast<unsigned char>(ch);
    const std::size_t length = IsLetterOrDigit(c) ? 1 : 3;
    if (word.size() + length + kClose.size() > kMaxWord) {
      out += word;
      out += kClose;
      out += "\r\n ";
      word = kOpen;
    }
    if (length == 1) {
      word += ch;
    } else {
      word += '=';
      word += kHex[c >> 4];
      word += kHex[c & 15];
    }
  }
  return out + word + std::string(kClose);
}

std::string DataTransparentText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  bool lineStart = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = false;
  }
  return out;
}

std::string MailHeaderLines(const MailHeader& header) {
  std::string to;
  for (const std::string& item : SplitRecipients(header.recipients)) {
    if (!to.empty()) to += ", ";
    to += FormatAngleAddress(SingleHeaderLine(item), true);
  }
  return "To: " + to + "\r\nFrom: " + FormatAngleAddress(SingleHeaderLine(header.sender), true) +
         "\r\nSubject: " + EncodeSubject(header.subject) + "\r\nDate: " + header.date +
         "\r\nMessage-ID: " + header.messageId + "\r\n";
}

std::string MailBodyPart(std::string_view body, bool withAttachments) {
  const std::string text = DataTransparentText(body);
  if (!withAttachments) return "\r\n" + text;
  const std::string boundary(kMimeBoundary);
  return "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary +
         "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + boundary +
         "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n"
         "Content-Transfer-Encoding: 8bit\r\n\r\n" +
         text + "\r\n";
}

std::string MailAttachmentHeader(std::string_view path, std::string_view sendAs) {
  const bool png = path.size() >= 4 && EqualsIgnoreCase(path.substr(path.size() - 4), ".png");
  const std::string name = QuotedParameter(sendAs);
  return "--" + std::string(kMimeBoundary) +
         "\r\nContent-Type: " + (png ? "image/png" : "application/octet-stream") + "; name=\"" +
         name +
         "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" +
         name + "\"\r\n\r\n";
}

std::string MailClosingBoundary() { return "--" + std::string(kMimeBoundary) + "--\r\n"; }

void AppendBase64Lines(std::string& out, const std::uint8_t* data, std::size_t size) {
  static constexpr std::size_t kLineBytes = 57;
  out.reserve(out.size() + Base64Length(size) + (size / kLineBytes + 1) * 2);
  for (std::size_t at = 0; at < size; at += kLineBytes) {
    AppendBase64(out, data + at, size - at < kLineBytes ? size - at : kLineBytes);
    out += "\r\n";
  }
}

std::string SingleHeaderLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

std::string QuotedParameter(std::string_view text) {
  std::string out = SingleHeaderLine(text);
  for (char& c : out) {
    if (c == '"') c = ' ';
  }
  return out;
}

}  // namespace corvan::crash
