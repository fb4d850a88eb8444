#pragma once
// Delivers a mail job by SMTP: through the configured server (with AUTH
// LOGIN, or PLAIN where LOGIN is not offered, when an account is set), or
// to each recipient's mail exchanger.
//
// One conversation: greeting 220; EHLO (HELO when refused) 250; STARTTLS
// 220 and EHLO again; AUTH, never without TLS unless the job allows it;
// MAIL FROM 250; RCPT TO 250 for each recipient (one must be accepted);
// DATA 354, the message, "." 250; QUIT.
//
// Through a server nothing goes in clear text unless the job's MailTls is
// kOff: TLS starts before the greeting with kImplicit (and kAuto on port
// 465), by STARTTLS otherwise, and a server that does not offer it (or
// whose offer an attacker stripped, or whose EHLO failed) gets nothing of
// the report. Mail exchangers are found through DNS that nobody
// authenticates, so their names prove nothing: to them STARTTLS is used
// whenever offered (required only with kStartTls), and the report's header
// says so.
//
// The message counts as sent once the server accepted its end of DATA;
// QUIT is a courtesy whose answer decides nothing. From the moment the end
// goes out the job's watch knows (HandoverWatch), until a refusal. Every
// reply must be complete within the limits of RFC 5321 (4.5.3.2), however
// slowly its bytes drip: 5 minutes, 10 after the end of DATA. A failure
// after the greeting ends with QUIT, one inside DATA by dropping the
// connection (so the server discards the partial message).
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
  // The message is delivered by then: no user waits minutes for a goodbye.
  static constexpr int kQuitTimeoutMs = 10 * 1000;

  SmtpClient(DeliveryNetwork& network, DeliveryFiles& files, DeliveryProgress& progress,
             MailEnvironment environment);

  // The whole job: one conversation through the server, or one per
  // recipient to its own exchanger (true when any of them was accepted).
  bool Run(const MailJob& job);

  // One conversation for the recipients (a "," or ";" separated list).
  bool SendMail(const std::string& recipients, const MailJob& job);
  // Why the last conversation failed; empty when not known.
  const std::string& failure() const { return failure_; }
  // A message's end went out and no refusal came back: the server may have
  // it although Run said false.
  bool handedOver() const { return handedOver_; }
  // Told when a message's end goes out (not owned; none: nobody).
  void Watch(HandoverWatch* watch) { watch_ = watch; }

 private:
  class Conversation;
  bool RunConversations(const MailJob& job);
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
  HandoverWatch* watch_ = nullptr;
  bool handedOver_ = false;
  bool watching_ = false;  // the watch was told of a message's end
};

}  // namespace corvan::crash
