#include "crash/core/DeliverySecurity.h"

#include "crash/core/ReportFields.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {

std::optional<MailTls> ParseMailTls(std::string_view text) {
  const std::string mode = LowerCase(TrimFieldValue(text));
  if (mode == "auto") return MailTls::kAuto;
  if (mode == "starttls") return MailTls::kStartTls;
  if (mode == "implicit") return MailTls::kImplicit;
  if (mode == "off") return MailTls::kOff;
  return std::nullopt;
}

std::string DeliveryNote(const ReporterSettings& settings) {
  const std::string value = settings.GetStr("SmtpTls");
  const std::optional<MailTls> tls = ParseMailTls(value);
  // A broken setting is worth a line whichever channel is on.
  if (!tls) return "SmtpTls \"" + value + "\" unknown, not sent by SMTP";
  // The channel order of the mail job: exchangers, then a server.
  const bool direct = settings.GetBool("MailAsSmtpServer");
  if (!direct && !settings.GetBool("MailAsSmtpClient")) return {};
  const bool clear = *tls == MailTls::kOff;
  if (direct)
    return clear ? "SMTP to the mail exchanger, unencrypted"
                 : "SMTP to the mail exchanger, its name not authenticated";
  return clear ? "SMTP unencrypted" : "";
}

}  // namespace corvan::crash
