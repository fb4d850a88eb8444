#pragma once
// What the settings make of report delivery's encryption: the SmtpTls
// modes, and the report header's note on a channel that leaves the report
// readable or its server unauthenticated. Both the send and the report's
// header (which is made before any send) read them from the same settings.
#include <optional>
#include <string>
#include <string_view>

#include "crash/core/ReporterSettings.h"

namespace corvan::crash {

// When SMTP goes over TLS (the setting SmtpTls).
enum class MailTls {
  kAuto,      // TLS from the first byte on port 465, STARTTLS on others
  kStartTls,  // STARTTLS
  kImplicit,  // TLS from the first byte
  kOff,       // never: the report goes readable to anyone on the way
};

// "auto", "starttls", "implicit" or "off" (any case, blanks around);
// nothing for any other text, which must not be guessed at: a wrong guess
// sends the report in clear text.
std::optional<MailTls> ParseMailTls(std::string_view text);

// The name and value of the report header's delivery line; an empty value
// when the first channel is encrypted to an authenticated server (or is
// no SMTP). direct: SMTP to the exchangers (MailAsSmtpServer), which comes
// first among the channels; viaServer: through a server
// (MailAsSmtpClient).
inline constexpr char kDeliveryField[] = "delivery";
std::string DeliveryNote(std::string_view smtpTls, bool direct, bool viaServer);
inline std::string DeliveryNote(const ReporterSettings& settings) {
  return DeliveryNote(settings.GetStr("SmtpTls"), settings.GetBool("MailAsSmtpServer"),
                      settings.GetBool("MailAsSmtpClient"));
}

}  // namespace corvan::crash
