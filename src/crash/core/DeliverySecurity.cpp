#include "crash/core/DeliverySecurity.h"

#include "crash/util/TextParts.h"

namespace corvan::crash {

std::optional<MailTls> ParseMailTls(std::string_view text) {
  const std::string mode = LowerCase(TrimBlanks(text));
  if (mode == "auto") return MailTls::kAuto;
  if (mode == "starttls") return MailTls::kStartTls;
  if (mode == "implicit") return MailTls::kImplicit;
  if (mode == "off") return MailTls::kOff;
  return std::nullopt;
}

std::string DeliveryNote(std::string_view smtpTls, bool direct, bool viaServer) {
  const std::optional<MailTls> tls = ParseMailTls(smtpTls);
  // A broken setting is worth a line whichever channel is on.
  if (!tls) return "SmtpTls \"" + std::string(smtpTls) + "\" unknown, not sent by SMTP";
  const bool clear = *tls == MailTls::kOff;
  if (direct)
    return clear ? "SMTP to the mail exchanger, unencrypted"
                 : "SMTP to the mail exchanger, its name not authenticated";
  return viaServer && clear ? "SMTP unencrypted" : "";
}

}  // namespace corvan::crash
