#include "crash/deliver/SmtpClient.h"

#include "common/Base64.h"
#include "crash/deliver/MailAddress.h"
#include "crash/deliver/MxLookup.h"
#include "crash/deliver/SmtpReply.h"

namespace corvan::crash {
namespace {

// Bytes of a file read and encoded at a time: whole base64 lines.
constexpr std::size_t kFilePiece = 57 * 1024;

}  // namespace

// Commands and replies on one connection.
class SmtpClient::Conversation {
 public:
  Conversation(DeliveryNetwork& network, std::unique_ptr<BlockingConnection> connection,
               bool secure)
      : network_(network), connection_(std::move(connection)), secure_(secure) {}

  bool Send(const std::string& text) {
    return connection_ && connection_->Send(text.data(), text.size());
  }
  bool SendLine(const std::string& text) { return Send(text + "\r\n"); }

  // The next reply's code; 0 when it did not come whole within timeoutMs
  // (one limit for all of its pieces).
  int Reply(int timeoutMs = kReplyTimeoutMs) {
    SmtpReplyReader::State state = reader_.Next();
    const std::int64_t deadline = network_.NowMs() + timeoutMs;
    char buffer[4096];
    while (state == SmtpReplyReader::State::kCollecting) {
      const std::int64_t left = deadline - network_.NowMs();
      if (!connection_ || left <= 0) return 0;
      const long n = connection_->Receive(buffer, sizeof buffer, static_cast<int>(left));
      if (n <= 0) return 0;
      state = reader_.Feed(buffer, static_cast<std::size_t>(n));
    }
    return state == SmtpReplyReader::State::kComplete ? reader_.Code() : 0;
  }
  // Waits for the next reply; true when it came and has one of the codes.
  bool Expect(int code, int alternative = 0, int timeoutMs = kReplyTimeoutMs) {
    const int got = Reply(timeoutMs);
    return got != 0 && (got == code || got == alternative);
  }
  bool Command(const std::string& text, int code, int alternative = 0,
               int timeoutMs = kReplyTimeoutMs) {
    return SendLine(text) && Expect(code, alternative, timeoutMs);
  }
  bool OffersAuthLogin() const { return reader_.OffersAuthLogin(); }
  bool OffersAuthPlain() const { return reader_.OffersAuthPlain(); }
  bool OffersStartTls() const { return reader_.OffersStartTls(); }

  // TLS from here on. What the server sent behind its reply to STARTTLS
  // came before TLS and could be anyone's: it is dropped. On failure the
  // connection is gone, so nothing more goes out in clear text.
  bool Secure(const std::string& host, std::string& failure) {
    connection_ = network_.Secure(std::move(connection_), host, failure);
    reader_ = SmtpReplyReader();
    secure_ = connection_ != nullptr;
    return secure_;
  }
  bool IsSecure() const { return secure_; }
  bool Connected() const { return connection_ != nullptr; }

 private:
  DeliveryNetwork& network_;
  std::unique_ptr<BlockingConnection> connection_;
  SmtpReplyReader reader_;
  bool secure_;
};

SmtpClient::SmtpClient(DeliveryNetwork& network, DeliveryFiles& files, DeliveryProgress& progress,
                       MailEnvironment environment)
    : network_(network), files_(files), progress_(progress), environment_(std::move(environment)) {}

int SmtpClient::AddConversationAreas(const MailJob& job) {
  const DeliveryTexts& t = job.texts;
  int areas = 0;
  auto add = [&](const std::string& text, std::uint64_t weight) {
    progress_.AddArea(text, weight);
    ++areas;
  };
  if (job.server.empty()) add(t.mxLookup, 500);
  add(t.connect, 100);
  add("", 100);
  add("", 200);
  add(t.auth, 200);
  add(t.sendMail, 100);
  for (int i = 0; i < 4; ++i) add("", 100);
  for (const PreparedFile& file : job.files) {
    std::uint64_t size = 0;
    if (files_.Size(file.path, size) && size > 0) add(t.sendAttachments, 3 * ((size + 56) / 57));
  }
  add(t.finalize, 500);
  add("", 100);
  return areas;
}

bool SmtpClient::Run(const MailJob& job) {
  handedOver_ = false;
  const bool sent = RunConversations(job);
  // Said once for the whole job: an exchanger that refused does not undo
  // one that took the message before.
  if (watch_ && watching_ && !handedOver_) watch_->Refused();
  watching_ = false;
  return sent;
}

bool SmtpClient::RunConversations(const MailJob& job) {
  const std::vector<std::string> recipients = SplitRecipients(job.recipients);
  if (recipients.empty()) return false;
  progress_.ClearAreas();
  progress_.AddArea(job.texts.prepare, 1000);
  if (!job.server.empty()) {
    const int areas = AddConversationAreas(job);
    progress_.AreaDone();
    const bool sent = SendMail(job.recipients, job);
    progress_.SetCurrentArea(1 + areas);
    return sent;
  }
  int areas = 0;
  for (std::size_t i = 0; i < recipients.size(); ++i) areas = AddConversationAreas(job);
  progress_.AreaDone();
  bool anySent = false;
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    anySent = SendMail(recipients[i], job) || anySent;
    progress_.SetCurrentArea(1 + static_cast<int>(i + 1) * areas);
  }
  return anySent;
}

bool SmtpClient::SendMail(const std::string& recipients, const MailJob& job) {
  std::vector<std::string> hosts;
  if (job.server.empty()) {
    MxLookup lookup(network_);
    hosts = lookup.Exchangers(recipients);
    progress_.AreaDone();
  } else {
    hosts.push_back(job.server);
  }
  // Exchangers in order of preference until one greets us.
  const int connectArea = progress_.CurrentArea();
  const bool implicit = !job.server.empty() && (job.tls == MailTls::kImplicit ||
                                                (job.tls == MailTls::kAuto && job.port == 465));
  failure_.clear();
  for (const std::string& host : hosts) {
    progress_.SetCurrentArea(connectArea);
    std::unique_ptr<BlockingConnection> connection = network_.Connect(host, job.port, progress_);
    if (!connection) {
      failure_ = "no connection to " + host + ":" + std::to_string(job.port);
      continue;
    }
    if (implicit && !(connection = network_.Secure(std::move(connection), host, failure_)))
      continue;
    Conversation smtp(network_, std::move(connection), implicit);
    if (!smtp.Expect(220)) {
      failure_ = host + " sent no greeting";
      continue;
    }
    return Deliver(smtp, host, recipients, job);
  }
  return false;
}

bool SmtpClient::Hello(Conversation& smtp) {
  return smtp.Command("EHLO " + environment_.hostName, 250) ||
         smtp.Command("HELO " + environment_.hostName, 250);
}

// STARTTLS as the job wants it; false (with the reason) when the
// conversation cannot go on.
bool SmtpClient::StartTls(Conversation& smtp, const std::string& host, const MailJob& job) {
  if (smtp.IsSecure() || job.tls == MailTls::kOff) return true;
  if (!smtp.OffersStartTls()) {
    // An exchanger's name comes from unauthenticated DNS: TLS to it guards
    // against listeners only, and is used where offered unless the
    // settings demand STARTTLS.
    if (job.server.empty() && job.tls != MailTls::kStartTls) return true;
    failure_ = host + " does not offer STARTTLS";
    return false;
  }
  if (!smtp.Command("STARTTLS", 220)) {
    failure_ = host + " refused STARTTLS";
    return false;
  }
  if (!smtp.Secure(host, failure_)) return false;
  if (Hello(smtp)) return true;
  failure_ = host + " did not answer EHLO over TLS";
  return false;
}

bool SmtpClient::Authenticate(Conversation& smtp, const std::string& host, const MailJob& job) {
  if (job.account.empty() && job.password.empty()) return true;
  if (!smtp.IsSecure() && !job.clearTextAuth) {
    failure_ = "the password is not sent to " + host + " without TLS";
    return false;
  }
  bool done = false;
  if (smtp.OffersAuthLogin()) {
    done = smtp.Command("AUTH LOGIN", 334) && smtp.Command(Base64Encode(job.account), 334) &&
           smtp.Command(Base64Encode(job.password), 235);
  } else if (smtp.OffersAuthPlain()) {
    const std::string nul(1, '\0');
    done = smtp.Command("AUTH PLAIN " + Base64Encode(nul + job.account + nul + job.password), 235);
  } else {
    failure_ = host + " offers neither AUTH LOGIN nor AUTH PLAIN";
    return false;
  }
  if (!done) failure_ = host + " refused the account";
  return done;
}

bool SmtpClient::Deliver(Conversation& smtp, const std::string& host, const std::string& recipients,
                         const MailJob& job) {
  if (!Hello(smtp)) return false;
  progress_.AreaDone();
  if (!StartTls(smtp, host, job)) {
    if (smtp.Connected()) smtp.Command("QUIT", 221);
    return false;
  }

  bool sent = false;
  bool quit = true;  // false once the connection is beyond saving
  if (Authenticate(smtp, host, job)) {
    progress_.AreaDone();
    if (smtp.Command("MAIL FROM:" + FormatAngleAddress(SingleHeaderLine(job.sender), false), 250)) {
      progress_.AreaDone();
      bool accepted = false;
      for (const std::string& to : SplitRecipients(recipients)) {
        accepted =
            smtp.Command("RCPT TO:" + FormatAngleAddress(SingleHeaderLine(to), false), 250, 251) ||
            accepted;
      }
      progress_.AreaDone();
      if (accepted) {
        const bool hasContent = !job.subject.empty() || !job.body.empty() || !job.files.empty();
        if (!hasContent) {
          sent = smtp.Command("RSET", 250);
        } else if (smtp.Command("DATA", 354)) {
          progress_.AreaDone();
          sent = SendMessage(smtp, recipients, job);
          quit = sent;
        }
      }
    }
  }
  if (quit) {
    smtp.Command("QUIT", 221, 0, sent ? kQuitTimeoutMs : kReplyTimeoutMs);
    progress_.AreaDone();
  }
  return sent;
}

bool SmtpClient::SendMessage(Conversation& smtp, const std::string& recipients,
                             const MailJob& job) {
  MailHeader header{recipients, job.sender, job.subject, MailDate(environment_.now),
                    MailMessageId(environment_.fileTime)};
  if (!smtp.Send(MailHeaderLines(header))) return false;
  progress_.AreaDone();
  const bool multipart = !job.files.empty();
  if (!smtp.Send(MailBodyPart(job.body, multipart))) return false;
  progress_.AreaDone();
  if (multipart) {
    for (const PreparedFile& file : job.files) {
      std::uint64_t size = 0;
      if (!files_.Size(file.path, size) || size == 0) continue;
      if (!SendAttachment(smtp, file, size)) return false;
    }
    if (!smtp.Send(MailClosingBoundary())) return false;
  }
  // From here on the server may keep the message even when no answer
  // comes: the report must not count as failed until it says no.
  if (watch_ && !watching_) watch_->Handing();
  watching_ = true;
  const int answer = smtp.SendLine("\r\n.") ? smtp.Reply(kDataEndTimeoutMs) : 0;
  if (answer == 250 || answer == 0) handedOver_ = true;
  if (answer != 250) return false;
  progress_.AreaDone();
  return true;
}

bool SmtpClient::SendAttachment(Conversation& smtp, const PreparedFile& file, std::uint64_t size) {
  std::unique_ptr<DeliveryFiles::Reader> reader = files_.Open(file.path);
  if (!reader || !smtp.Send(MailAttachmentHeader(file.path, file.sendAs))) return false;
  std::vector<std::uint8_t> piece(kFilePiece);
  std::string text;
  std::uint64_t sent = 0;
  for (;;) {
    // Fill whole pieces so that only the last base64 line is short.
    std::size_t filled = 0;
    long n = 0;
    while (filled < piece.size() &&
           (n = reader->Read(piece.data() + filled, piece.size() - filled)) > 0) {
      filled += static_cast<std::size_t>(n);
    }
    if (n < 0) return false;
    if (filled == 0) break;
    text.clear();
    AppendBase64Lines(text, piece.data(), filled);
    if (!smtp.Send(text)) return false;
    sent += filled;
    progress_.SetPosition(static_cast<int>(sent * 1000 / (sent > size ? sent : size)));
    if (filled < piece.size()) break;
  }
  progress_.AreaDone();
  return true;
}

}  // namespace corvan::crash
