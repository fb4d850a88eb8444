#pragma once
// Delivers a mail job by SMTP: through the configured server (with AUTH
// LOGIN, or PLAIN where LOGIN is not offered, when an account is set), or
// to each recipient's mail exchanger.
//
// One conversation: greeting 220; EHLO (HELO when refused) 250; STARTTLS
// 220 and EHLO again as the job's MailTls says (with kImplicit, or kAuto on
// port 465 through a server, TLS starts before the greeting); AUTH, never
// without TLS unless the job allows it; MAIL FROM 250; RCPT TO 250 for each recipient (one must be
// accepted); DATA 354, the message, "." 250; QUIT. The message counts as
// sent once the server accepted its end of DATA: a lost QUIT reply never
// sends it a second time through another channel. Replies get the limits
// of RFC 5321 (4.5.3.2): 5 minutes, 10 after the end of DATA. A failure after the
// greeting ends with QUIT, one inside DATA by dropping the connection (so
// the server discards the partial message).
#include <cstdint>
#include <string>

#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/MailJob.h"
#include "crash/deliver/MimeMessage.h"

namespace corvan::crash {

class SmtpClient {
 public:
  static constexpr int kReplyTimeoutMs = 5 * 60 * 1000;
  static constexpr int kDataEndTimeoutMs = 10 * 60 * 1000;

  SmtpClient(DeliveryNetwork& network, DeliveryFiles& files, DeliveryProgress& progress,
             MailEnvironment environment);

  // The whole job: one conversation through the server, or one per
  // recipient to its own exchanger (true when any of them was accepted).
  bool Run(const MailJob& job);

  // One conversation for the recipients (a "," or ";" separated list).
  bool SendMail(const std::string& recipients, const MailJob& job);
  // Why the last conversation failed; empty when not known.
  const std::string& failure() const { return failure_; }

 private:
  class Conversation;
  int AddConversationAreas(const MailJob& job);
  bool Hello(Conversation& smtp);
  bool StartTls(Conversation& smtp, const std::string& host, const MailJob& job);
  bool Authenticate(Conversation& smtp, const std::string& host, const MailJob& job);
  bool Deliver(Conversation& smtp, const std::string& host, const std::string& recipients,
               const MailJob& job);
  bool SendMessage(Conversation& smtp, const std::string& recipients, const MailJob& job);
  bool SendAttachment(Conversation& smtp, const PreparedFile& file, std::uint64_t size);

  DeliveryNetwork& network_;
  DeliveryFiles& files_;
  DeliveryProgress& progress_;
  MailEnvironment environment_;
  std::string failure_;
};

}  // namespace corvan::crash
