// Recipient lists and the texts of the bug report mail, against golden
// texts.
#include <gtest/gtest.h>

#include "crash/deliver/MailAddress.h"
#include "crash/deliver/MimeMessage.h"

namespace corvan::crash {
namespace {

using Items = std::vector<std::string>;

TEST(Recipients, SplitTrimsAndDropsEmptyItems) {
  EXPECT_EQ(SplitRecipients(" a@x ;\tB <b@y>,, ;c@z;"), (Items{"a@x", "B <b@y>", "c@z"}));
  EXPECT_EQ(SplitRecipients(""), Items{});
  EXPECT_EQ(SplitRecipients(" ; , "), Items{});
  std::string list = "a@x; b@y;";
  EXPECT_EQ(NormaliseRecipients(list), 2);
  EXPECT_EQ(list, "a@x,b@y");
}

TEST(Recipients, AngleAddressesAndMapiParts) {
  EXPECT_EQ(FormatAngleAddress("a@x", false), "<a@x>");
  EXPECT_EQ(FormatAngleAddress("Desk <a@x>", true), "Desk <a@x>");
  EXPECT_EQ(FormatAngleAddress("Desk <a@x>", false), "<a@x>");
  EXPECT_EQ(FormatAngleAddress("", false), "<>");

  const MapiRecipient bare = SplitRecipient("a@x");
  EXPECT_EQ(bare.name, "a@x");
  EXPECT_EQ(bare.address, "SMTP:a@x");
  const MapiRecipient named = SplitRecipient("Help Desk <a@x>");
  EXPECT_EQ(named.name, "Help Desk ");
  EXPECT_EQ(named.address, "SMTP:a@x");
  EXPECT_EQ(SplitRecipient("Open <a@x").address, "SMTP:a@x");
}

TEST(Recipients, SenderFromTheFirstRecipientWhenNoneIsSet) {
  EXPECT_EQ(DefaultSender("", " ; Desk <desk@x>; other@y"), "zelExcept <desk@x>");
  EXPECT_EQ(DefaultSender("me@here", "desk@x"), "me@here");
  EXPECT_EQ(DefaultSender("", ""), "");
  EXPECT_EQ(MailDomain("Desk <desk@corvan.test>"), "corvan.test");
  EXPECT_EQ(MailDomain("nobody"), "");
}

TEST(MailTexts, DateAndMessageId) {
  EXPECT_EQ(MailDate({2026, 12, 9, 8, 5, 3}), "9 Dec 2026 08:05:03 UT");
  EXPECT_EQ(MailDate({2024, 1, 31, 23, 59, 59}), "31 Jan 2024 23:59:59 UT");
  EXPECT_EQ(MailMessageId(0x01DB2A3B4C5D6E7Full), "<01db2a3b4c5d6e7f@zelExcept>");
  EXPECT_EQ(MailMessageId(1), "<0000000000000001@zelExcept>");
}

TEST(MailTexts, SubjectEncoding) {
  EXPECT_EQ(EncodeSubject("bug report"), "=?ISO-8859-1?Q?bug=20report?=");
  EXPECT_EQ(EncodeSubject(""),
            "=?ISO-8859-1?Q?"
            "?=");
  EXPECT_EQ(EncodeSubject("Fout: \xe9=?_"), "=?ISO-8859-1?Q?Fout=3A=20=E9=3D=3F=5F?=");
  // A long subject is split into words on folded lines of at most 78.
  const std::string encoded = EncodeSubject(std::string(100, 'a'));
  EXPECT_EQ(encoded, "=?ISO-8859-1?Q?" + std::string(58, 'a') + "?=\r\n =?ISO-8859-1?Q?" +
                         std::string(42, 'a') + "?=");
}

TEST(MailTexts, DotTransparencyAndLineEnds) {
  EXPECT_EQ(DataTransparentText(".\r\n..\r\nx.\r\n.y"), "..\r\n...\r\nx.\r\n..y");
  EXPECT_EQ(DataTransparentText("a\nb\rc\r\n\n."), "a\r\nb\r\nc\r\n\r\n..");
  EXPECT_EQ(DataTransparentText("."), "..");
  EXPECT_EQ(DataTransparentText(""), "");
}

TEST(MailTexts, HeaderLinesCarryOneAddressPerRecipient) {
  const MailHeader header{"Desk <desk@x>; other@y;", "zelExcept <desk@x>", "bug report",
                          "9 Dec 2026 08:05:03 UT", "<0000000000000001@zelExcept>"};
  EXPECT_EQ(MailHeaderLines(header),
            "To: Desk <desk@x>, <other@y>\r\n"
            "From: zelExcept <desk@x>\r\n"
            "Subject: =?ISO-8859-1?Q?bug=20report?=\r\n"
            "Date: 9 Dec 2026 08:05:03 UT\r\n"
            "Message-ID: <0000000000000001@zelExcept>\r\n");
  // A configured text never starts a header line of its own.
  const MailHeader injected{"a@x\r\nBcc: c@z", "me@x\nX: y", "", "d", "i"};
  const std::string lines = MailHeaderLines(injected);
  EXPECT_EQ(lines.find("\r\nBcc"), std::string::npos);
  EXPECT_EQ(lines.find("\nX:"), std::string::npos);
}

TEST(MailTexts, MultipartFrame) {
  EXPECT_EQ(kMimeBoundary.size(), 33u);
  EXPECT_TRUE(kMimeBoundary.ends_with("_multipart_boundary"));
  const std::string b(kMimeBoundary);
  EXPECT_EQ(MailBodyPart(".hi", false), "\r\n..hi");
  EXPECT_EQ(MailBodyPart("hi\r\n.", true),
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + b +
                "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + b +
                "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                "Content-Transfer-Encoding: 8bit\r\n\r\nhi\r\n..\r\n");
  EXPECT_EQ(MailAttachmentHeader("C:\\t\\SHOT.PNG", "shot.png"),
            "--" + b +
                "\r\nContent-Type: image/png; name=\"shot.png\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"shot.png\"\r\n\r\n");
  EXPECT_NE(MailAttachmentHeader("a.txt", "a\"b.txt").find("name=\"a b.txt\""), std::string::npos);
  EXPECT_NE(MailAttachmentHeader("a.txt", "a").find("application/octet-stream"), std::string::npos);
  EXPECT_EQ(MailClosingBoundary(), "--" + b + "--\r\n");
}

TEST(MailTexts, Base64LinesOf76) {
  std::string out;
  const std::string data(58, '\xff');
  AppendBase64Lines(out, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  EXPECT_EQ(out, std::string(76, '/') + "\r\n/w==\r\n");
  std::string none;
  AppendBase64Lines(none, nullptr, 0);
  EXPECT_EQ(none, "");
}

}  // namespace
}  // namespace corvan::crash
