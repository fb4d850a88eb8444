#pragma once
// The texts of the bug report mail and upload: header lines, the encoded
// subject, the multipart frame around the body and the attachments, and the
// dot transparency of SMTP DATA. Pure text work; the SMTP client sends it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crash/deliver/MailJob.h"

namespace corvan::crash {

// The one multipart boundary of mails and uploads (33 characters, ending in
// "_multipart_boundary"). Attachments travel as base64, which never
// contains "_", so no encoded part can hold it.
inline constexpr std::string_view kMimeBoundary = "zelExcept-7f3a_multipart_boundary";

// "9 Dec 2026 08:05:03 UT": day without a leading zero, English month.
std::string MailDate(const UtcTime& time);

// "<" + 16 lower-case hexadecimal digits of the FILETIME + "@zelExcept>".
std::string MailMessageId(std::uint64_t fileTime);

// The subject as RFC 2047 Q-encoded ISO-8859-1 words, every character but
// letters and digits written "=XX". Long subjects become several words on
// folded lines, so that no header line exceeds 78 characters.
std::string EncodeSubject(std::string_view subject);

// The body as DATA must carry it: line ends made CR LF (a lone CR or LF
// included) and a second dot in front of every line that begins with ".",
// so that no line ends the message early (RFC 5321, 4.5.2).
std::string DataTransparentText(std::string_view text);

// The header lines from "To:" to "Message-ID:", each ending in CR LF. "To:"
// lists every recipient of the list as its own angle-bracketed address.
struct MailHeader {
  std::string recipients;
  std::string sender;
  std::string subject;  // plain; encoded here
  std::string date;
  std::string messageId;
};
std::string MailHeaderLines(const MailHeader& header);

// What follows the header lines up to the first attachment: with
// attachments the multipart declaration and the text part, without them an
// empty line and the body. The body is made transparent for DATA.
std::string MailBodyPart(std::string_view body, bool withAttachments);

// The part header of one attachment: "image/png" for a ".png" path, else
// application/octet-stream; base64 transfer encoding.
std::string MailAttachmentHeader(std::string_view path, std::string_view sendAs);

// "--" + boundary + "--" CR LF.
std::string MailClosingBoundary();

// Appends data as base64 lines of 76 characters (57 bytes each, the last
// shorter), each ending in CR LF.
void AppendBase64Lines(std::string& out, const std::uint8_t* data, std::size_t size);

// A header value on one line: CR and LF become blanks, so a configured
// text never starts a header line of its own.
std::string SingleHeaderLine(std::string_view text);
// A quoted header parameter: also double quotes become blanks, so a file
// name never ends its quoted string early.
std::string QuotedParameter(std::string_view text);

}  // namespace corvan::crash
