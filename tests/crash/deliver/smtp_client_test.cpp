// The SMTP conversation against scripted servers: the exact bytes the
// client sends, replies in any pieces, and every failure path.
#include <gtest/gtest.h>

#include "crash/deliver/FakeDelivery.h"
#include "crash/deliver/SmtpClient.h"

namespace corvan::crash {
namespace {

using test::FakeNetwork;
using test::MemoryFiles;
using test::RecordingProgress;
using test::ScriptedPeer;

const std::string B(kMimeBoundary);
constexpr char kGreeting[] = "220 mail.test ESMTP\r\n";
constexpr char kEhloAuth[] = "250-mail.test\r\n250-AUTH LOGIN PLAIN\r\n250 HELP\r\n";
constexpr char kHeader[] =
    "To: Desk <desk@x.test>\r\nFrom: zelExcept <desk@x.test>\r\n"
    "Subject: =?ISO-8859-1?Q?bug=20report?=\r\nDate: 9 Dec 2026 08:05:03 UT\r\n"
    "Message-ID: <0000000000000001@zelExcept>\r\n";

class Smtp : public ::testing::Test {
 protected:
  void SetUp() override {
    job.server = "smtp.test";
    job.port = 587;
    job.sender = "zelExcept <desk@x.test>";
    job.recipients = "Desk <desk@x.test>";
    job.subject = "bug report";
    job.body = "see attached\r\n.\r\nend";
    // The conversation itself, in clear text; TLS has tests of its own.
    job.tls = MailTls::kOff;
  }
  ScriptedPeer& Server(const std::string& host = "smtp.test") { return network.peers[host]; }
  // Queues the replies of a whole accepted conversation without AUTH.
  void AcceptAll(ScriptedPeer& peer, std::size_t piece = SIZE_MAX) {
    peer.Answer(std::string(kGreeting) + kEhloAuth + "250 sender ok\r\n250 rcpt ok\r\n" +
                    "354 go ahead\r\n250 queued\r\n221 bye\r\n",
                piece);
  }
  bool Run() {
    return SmtpClient(network, files, progress, {"PC1", {2026, 12, 9, 8, 5, 3}, 1}).Run(job);
  }

  FakeNetwork network;
  MemoryFiles files;
  RecordingProgress progress;
  MailJob job;
};

TEST_F(Smtp, PlainMessageIsExactlyTheseBytes) {
  AcceptAll(Server());
  ASSERT_TRUE(Run());
  EXPECT_EQ(network.connects, std::vector<std::string>{"smtp.test:587"});
  EXPECT_EQ(Server().sent, std::string("EHLO PC1\r\nMAIL FROM:<desk@x.test>\r\n"
                                       "RCPT TO:<desk@x.test>\r\nDATA\r\n") +
                               kHeader + "\r\nsee attached\r\n..\r\nend\r\n.\r\nQUIT\r\n");
}

TEST_F(Smtp, RepliesSplitAtEveryPieceSizeGiveTheSameConversation) {
  AcceptAll(Server());
  ASSERT_TRUE(Run());
  const std::string expected = Server().sent;
  for (std::size_t piece = 1; piece <= 12; ++piece) {
    FakeNetwork fresh;
    AcceptAll(fresh.peers["smtp.test"], piece);
    network.peers.clear();
    std::swap(network.peers, fresh.peers);
    ASSERT_TRUE(Run()) << piece;
    EXPECT_EQ(Server().sent, expected) << piece;
  }
}

TEST_F(Smtp, AttachmentsAsBase64PartsAndEmptyFilesLeftOut) {
  std::string binary;
  for (int i = 0; i < 120; ++i) binary += static_cast<char>(i * 3);
  files.files["C:\\r\\shot.png"].data = binary;
  files.files["C:\\r\\bugreport.txt"].data = ".a";
  files.files["C:\\r\\empty.log"].data = "";
  job.files = {{"C:\\r\\bugreport.txt", "bugreport.txt", "BugReport"},
               {"C:\\r\\shot.png", "screenshot.png", "ScreenShot"},
               {"C:\\r\\empty.log", "empty.log", "Log"},
               {"C:\\r\\missing.txt", "missing.txt", "Missing"}};
  AcceptAll(Server());
  ASSERT_TRUE(Run());
  const std::string& sent = Server().sent;
  const std::size_t data = sent.find("DATA\r\n") + 6;
  std::string message = sent.substr(data, sent.size() - data - std::string(".\r\nQUIT\r\n").size());
  std::string body64;
  AppendBase64Lines(body64, reinterpret_cast<const std::uint8_t*>(binary.data()), binary.size());
  EXPECT_EQ(message, std::string(kHeader) + "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; " +
                         "boundary=\"" + B +
                         "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + B +
                         "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n" +
                         "Content-Transfer-Encoding: 8bit\r\n\r\nsee attached\r\n..\r\nend\r\n" +
                         MailAttachmentHeader("C:\\r\\bugreport.txt", "bugreport.txt") +
                         "LmE=\r\n" + MailAttachmentHeader("C:\\r\\shot.png", "screenshot.png") +
                         body64 + "--" + B + "--\r\n\r\n");
  // One area per file that is sent, weighted by its base64 lines.
  int attachmentAreas = 0;
  for (const auto& [text, weight] : progress.areas)
    attachmentAreas += text == "Sending attachments...";
  EXPECT_EQ(attachmentAreas, 2);
  EXPECT_EQ(progress.lastPosition, 1000);
  EXPECT_EQ(progress.current, static_cast<int>(progress.areas.size()));
}

TEST_F(Smtp, FilesWithoutSubjectOrBodyAreStillSent) {
  files.files["a.txt"].data = "x";
  job.files = {{"a.txt", "a.txt", "A"}};
  job.subject.clear();
  job.body.clear();
  AcceptAll(Server());
  ASSERT_TRUE(Run());
  EXPECT_NE(Server().sent.find("DATA\r\n"), std::string::npos);
  EXPECT_EQ(Server().sent.find("RSET"), std::string::npos);
}

TEST_F(Smtp, NothingToSayIsAReset) {
  job.subject.clear();
  job.body.clear();
  Server().Answer(std::string(kGreeting) + kEhloAuth +
                  "250 ok\r\n250 ok\r\n250 reset\r\n221 bye\r\n");
  ASSERT_TRUE(Run());
  EXPECT_NE(Server().sent.find("RSET\r\nQUIT\r\n"), std::string::npos);
}

TEST_F(Smtp, AcceptedMessageIsSentEvenWhenQuitGetsNoAnswer) {
  Server().Answer(std::string(kGreeting) + kEhloAuth +
                  "250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n");
  EXPECT_TRUE(Run());
  Server().sent.clear();
  Server().Answer(std::string(kGreeting) + kEhloAuth +
                  "250 ok\r\n250 ok\r\n354 go\r\n554 no\r\n221 bye\r\n");
  EXPECT_FALSE(Run());
}

TEST_F(Smtp, AuthLoginWithTheAccount) {
  job.account = "user";
  job.password = "secret";
  job.clearTextAuth = true;
  Server().Answer(std::string(kGreeting) + kEhloAuth + "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n" +
                  "235 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n");
  ASSERT_TRUE(Run());
  EXPECT_EQ(Server().sent.substr(0, 51),
            "EHLO PC1\r\nAUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\nMAIL FROM");
}

TEST_F(Smtp, AccountWithoutAKnownAuthMechanismQuits) {
  job.account = "user";
  job.clearTextAuth = true;
  Server().Answer(std::string(kGreeting) + "250-mail.test\r\n250 AUTH CRAM-MD5\r\n221 bye\r\n");
  EXPECT_FALSE(Run());
  EXPECT_EQ(Server().sent, "EHLO PC1\r\nQUIT\r\n");
}

// TLS as the job asks for it: what the server got before and after TLS
// began ("<TLS>"), and why a conversation ended. Credentials and the report
// never go before TLS unless the job allows clear-text authentication.
TEST_F(Smtp, TlsAndAuthentication) {
  const std::string ehloTls = "250-mail.test\r\n250-STARTTLS\r\n250 AUTH LOGIN PLAIN\r\n";
  const std::string ehloPlainOnly = "250-mail.test\r\n250 AUTH PLAIN\r\n";
  const std::string rest = "250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n";
  const std::string head = "MAIL FROM:<desk@x.test>\r\nRCPT TO:<desk@x.test>\r\nDATA\r\n";
  struct Case {
    const char* name;
    MailTls tls;
    std::uint16_t port;
    bool tlsWorks;
    bool account;
    std::string replies;        // before TLS
    std::string secureReplies;  // after: a piece of its own
    bool sent;
    std::string start;  // what the server got first
    std::string failure;
  };
  const Case cases[] = {
      {"starttls then auth", MailTls::kAuto, 587, true, true,
       std::string(kGreeting) + ehloTls + "220 go\r\n",
       ehloTls + "334 u\r\n334 p\r\n235 ok\r\n" + rest, true,
       "EHLO PC1\r\nSTARTTLS\r\n<TLS>EHLO PC1\r\nAUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\n" + head,
       ""},
      {"plain only after tls", MailTls::kStartTls, 587, true, true,
       std::string(kGreeting) + "250-x\r\n250 STARTTLS\r\n220 go\r\n",
       ehloPlainOnly + "235 ok\r\n" + rest, true,
       "EHLO PC1\r\nSTARTTLS\r\n<TLS>EHLO PC1\r\nAUTH PLAIN AHVzZXIAc2VjcmV0\r\n" + head, ""},
      {"implicit on 465", MailTls::kAuto, 465, true, false, "",
       std::string(kGreeting) + ehloTls + rest, true, "<TLS>EHLO PC1\r\n" + head, ""},
      {"no password without tls", MailTls::kOff, 587, true, true,
       std::string(kGreeting) + ehloPlainOnly + "221 bye\r\n", "", false, "EHLO PC1\r\nQUIT\r\n",
       "the password is not sent to smtp.test without TLS"},
      {"tls required but not offered", MailTls::kStartTls, 25, true, false,
       std::string(kGreeting) + ehloPlainOnly + "221 bye\r\n", "", false, "EHLO PC1\r\nQUIT\r\n",
       "smtp.test does not offer STARTTLS"},
      {"default: not offered", MailTls::kAuto, 587, true, false,
       std::string(kGreeting) + ehloPlainOnly + "221 bye\r\n", "", false, "EHLO PC1\r\nQUIT\r\n",
       "smtp.test does not offer STARTTLS"},
      {"default: offer stripped", MailTls::kAuto, 25, true, false,
       std::string(kGreeting) + "250-mail.test\r\n250-XXXXXXXA\r\n250 AUTH PLAIN\r\n221 bye\r\n",
       "", false, "EHLO PC1\r\nQUIT\r\n", "smtp.test does not offer STARTTLS"},
      {"default: EHLO refused", MailTls::kAuto, 587, true, false,
       std::string(kGreeting) + "500 what\r\n250 hello\r\n221 bye\r\n", "", false,
       "EHLO PC1\r\nHELO PC1\r\nQUIT\r\n", "smtp.test does not offer STARTTLS"},
      {"untrusted server gets nothing more", MailTls::kAuto, 25, false, false,
       std::string(kGreeting) + ehloTls + "220 go\r\n", rest, false, "EHLO PC1\r\nSTARTTLS\r\n",
       "untrusted"},
      {"untrusted implicit", MailTls::kImplicit, 2465, false, false, "", kGreeting, false, "",
       "untrusted"},
      {"off", MailTls::kOff, 25, true, false, std::string(kGreeting) + ehloTls + rest, "", true,
       "EHLO PC1\r\n" + head, ""},
  };
  for (const Case& c : cases) {
    network.peers.clear();
    network.tls = c.tlsWorks;
    job.tls = c.tls;
    job.port = c.port;
    job.account = c.account ? "user" : "";
    job.password = c.account ? "secret" : "";
    Server().Answer(c.replies);
    Server().Answer(c.secureReplies);
    SmtpClient client(network, files, progress, {"PC1", {2026, 12, 9, 8, 5, 3}, 1});
    EXPECT_EQ(client.Run(job), c.sent) << c.name;
    EXPECT_EQ(Server().sent.substr(0, c.start.size()), c.start) << c.name;
    if (!c.sent) {
      EXPECT_EQ(Server().sent, c.start) << c.name;
    }
    EXPECT_EQ(client.failure(), c.failure) << c.name;
  }
}

TEST_F(Smtp, HeloWhenEhloIsRefused) {
  Server().Answer(std::string(kGreeting) + "500 what\r\n250 hello\r\n250 ok\r\n250 ok\r\n" +
                  "354 go\r\n250 queued\r\n221 bye\r\n");
  ASSERT_TRUE(Run());
  EXPECT_EQ(Server().sent.substr(0, 20), "EHLO PC1\r\nHELO PC1\r\n");
}

TEST_F(Smtp, OneAcceptedRecipientIsEnough) {
  job.recipients = "a@x.test; b@x.test;; ";
  Server().Answer(std::string(kGreeting) + kEhloAuth + "250 ok\r\n550 no such user\r\n" +
                  "250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n");
  ASSERT_TRUE(Run());
  EXPECT_NE(Server().sent.find("RCPT TO:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nDATA"),
            std::string::npos);
  EXPECT_NE(Server().sent.find("To: <a@x.test>, <b@x.test>\r\n"), std::string::npos);

  Server().sent.clear();
  Server().Answer(std::string(kGreeting) + kEhloAuth + "250 ok\r\n550 no\r\n550 no\r\n221 bye\r\n");
  EXPECT_FALSE(Run());
  EXPECT_EQ(Server().sent.find("DATA"), std::string::npos);
}

TEST_F(Smtp, UnreadableAttachmentDropsTheConnectionInsideData) {
  files.files["big.bin"] = {std::string(200000, 'x'), 70000};
  job.files = {{"big.bin", "big.bin", "Big"}};
  AcceptAll(Server());
  EXPECT_FALSE(Run());
  // Neither the end of DATA nor QUIT: the server discards the message.
  EXPECT_EQ(Server().sent.find("\r\n.\r\n"), std::string::npos);
  EXPECT_EQ(Server().sent.find("QUIT"), std::string::npos);
}

TEST_F(Smtp, ConversationFailures) {
  EXPECT_FALSE(Run());  // nobody listens
  Server().Answer("554 go away\r\n");
  EXPECT_FALSE(Run());
  Server().sent.clear();
  Server().Answer(kGreeting);
  Server().hangAtEnd = true;  // no answer to EHLO
  EXPECT_FALSE(Run());
  Server().hangAtEnd = false;
  Server().sent.clear();
  Server().Answer(std::string(kGreeting) + kEhloAuth + "451 later\r\n221 bye\r\n");
  EXPECT_FALSE(Run());
  EXPECT_EQ(Server().sent, "EHLO PC1\r\nMAIL FROM:<desk@x.test>\r\nQUIT\r\n");
  job.recipients = " ; ";
  EXPECT_FALSE(Run());
}

TEST_F(Smtp, DirectDeliveryToEachRecipientsExchanger) {
  job.server.clear();
  job.port = 25;
  job.recipients = "a@one.test; b@two.test";
  network.dnsServers = {"10.0.0.1"};
  network.dns = [](const std::string&, const std::vector<std::uint8_t>& query) {
    const std::string name = query[13] == 'o' ? "mx.one.test" : "mx.two.test";
    std::vector<std::uint8_t> reply = query;
    reply[2] |= 0x80;
    reply[7] = 1;
    const std::vector<std::uint8_t> record = {0xC0, 12,  0,   15, 0,   1,   0,   0,   0,
                                              0,    0,   15,  0,  10,  2,   'm', 'x', 3,
                                              'o',  'n', 'e', 4,  't', 'e', 's', 't', 0};
    reply.insert(reply.end(), record.begin(), record.end());
    if (name == "mx.two.test") std::copy_n("two", 3, reply.end() - 9);
    return std::vector<std::vector<std::uint8_t>>{reply};
  };
  // One exchanger offers STARTTLS: it is used; the other gets the message
  // in clear text, as it would from any mail server.
  job.tls = MailTls::kAuto;
  network.tls = true;
  Server("mx.one.test").Answer(std::string(kGreeting) + "250-mx\r\n250 STARTTLS\r\n220 go\r\n");
  Server("mx.one.test").Answer("250 mx\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n");
  AcceptAll(Server("mx.two.test"));
  ASSERT_TRUE(Run());
  EXPECT_EQ(network.connects, (std::vector<std::string>{"mx.one.test:25", "mx.two.test:25"}));
  EXPECT_EQ(Server("mx.one.test").sent.substr(0, 35), "EHLO PC1\r\nSTARTTLS\r\n<TLS>EHLO PC1\r\n");
  EXPECT_EQ(Server("mx.two.test").sent.find("<TLS>"), std::string::npos);
  EXPECT_NE(Server("mx.one.test").sent.find("RCPT TO:<a@one.test>\r\nDATA"), std::string::npos);
  EXPECT_NE(Server("mx.two.test").sent.find("RCPT TO:<b@two.test>\r\nDATA"), std::string::npos);
  // Per recipient: the lookup area first, then the conversation's.
  EXPECT_EQ(progress.areas[1].first, "Searching for mail server...");
  EXPECT_EQ(progress.current, static_cast<int>(progress.areas.size()));
}

// Every reply must be whole within its limit, however its bytes drip: the
// greeting within 5 minutes, the answer to the message's end within 10.
TEST_F(Smtp, ReplyLimitsCoverWholeReplies) {
  const std::string before = std::string(kGreeting) + kEhloAuth + "250 ok\r\n250 ok\r\n354 go\r\n";
  const struct {
    const char* name;
    std::string fast, dripped;
    int msPerByte;
    bool sent;
    std::int64_t endsAt;  // on the network's clock
  } cases[] = {
      {"greeting", "", kGreeting, 60'000, false, 5 * 60'000},
      {"end of data", before, "250 queued\r\n221 bye\r\n", 60'000, false, 10 * 60'000},
      {"end of data in time", before, "250 queued\r\n", 45'000, true, 12 * 45'000 + 10'000},
  };
  for (const auto& c : cases) {
    network.peers.clear();
    network.nowMs = 0;
    ScriptedPeer& peer = Server();
    peer.Answer(c.fast);
    peer.Answer(c.dripped, 1);
    peer.delayFrom = c.fast.empty() ? 0 : 1;
    peer.pieceDelayMs = c.msPerByte;
    peer.hangAtEnd = true;  // QUIT gets no answer
    EXPECT_EQ(Run(), c.sent) << c.name;
    EXPECT_EQ(network.nowMs, c.endsAt) << c.name;
    if (c.fast.empty()) {
      EXPECT_EQ(peer.sent, "") << c.name;
    }
  }
}

// From the moment the message's end goes out the report may be at the
// server: the watch hears of it before, and of a refusal after; QUIT
// decides nothing.
TEST_F(Smtp, TheServersAnswerToTheEndDecides) {
  struct Watch final : HandoverWatch {
    std::string events, sentBefore;
    const ScriptedPeer* peer = nullptr;
    void Handing() override {
      events += "handing ";
      sentBefore = peer->sent;
    }
    void Refused() override { events += "refused "; }
  };
  const std::string before = std::string(kGreeting) + kEhloAuth + "250 ok\r\n250 ok\r\n354 go\r\n";
  const struct {
    const char* name;
    std::string answers;
    bool sent;
    bool handedOver;
    const char* events;
  } cases[] = {
      {"accepted, no answer to QUIT", before + "250 queued\r\n", true, true, "handing "},
      {"accepted, QUIT refused", before + "250 queued\r\n500 no\r\n", true, true, "handing "},
      {"refused", before + "554 no\r\n", false, false, "handing refused "},
      {"no answer", before, false, true, "handing "},
      {"refused before the end", std::string(kGreeting) + kEhloAuth + "250 ok\r\n554 no\r\n", false,
       false, ""},
  };
  for (const auto& c : cases) {
    network.peers.clear();
    Server().Answer(c.answers);
    Server().hangAtEnd = true;
    Watch watch;
    watch.peer = &Server();
    SmtpClient client(network, files, progress, {"PC1", {2026, 12, 9, 8, 5, 3}, 1});
    client.Watch(&watch);
    EXPECT_EQ(client.Run(job), c.sent) << c.name;
    EXPECT_EQ(client.handedOver(), c.handedOver) << c.name;
    EXPECT_EQ(watch.events, c.events) << c.name;
    if (!watch.events.empty()) {
      EXPECT_EQ(watch.sentBefore.find("\r\n.\r\n"), std::string::npos) << c.name;
    }
  }
}

}  // namespace
}  // namespace corvan::crash
