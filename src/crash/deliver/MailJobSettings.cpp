#include "crash/deliver/MailJobSettings.h"

#include "crash/deliver/MailAddress.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {

std::string ReportExceptionMessage(std::string_view report) {
  static constexpr std::string_view kLine = "\r\nexception message ";
  const std::size_t line = report.find(kLine);
  if (line == std::string_view::npos) return {};
  std::string_view rest = report.substr(line + 2);
  rest = rest.substr(0, rest.find("\r\n"));
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return {};
  return TrimFieldValue(rest.substr(colon + 1));
}

DeliveryTexts DeliveryTextsOf(const ReporterSettings& settings) {
  DeliveryTexts texts;
  texts.prepare = settings.GetStr("PrepAttMsg");
  texts.mxLookup = settings.GetStr("MxLookMsg");
  texts.connect = settings.GetStr("ConnMsg");
  texts.auth = settings.GetStr("AuthMsg");
  texts.sendMail = settings.GetStr("SendMailMsg");
  texts.fields = settings.GetStr("FieldMsg");
  texts.sendAttachments = settings.GetStr("SendAttMsg");
  texts.finalize = settings.GetStr("SendFinalMsg");
  return texts;
}

MailJob ComposeMailTexts(const ReporterSettings& settings, std::string_view report) {
  const std::string message = ReportExceptionMessage(report);
  const ReportTexts texts{message, report};
  MailJob job;
  job.subject = settings.Expand(settings.GetRawStr("MailSubj"), &texts);
  job.body = settings.Expand(settings.GetRawStr("MailBody"), &texts);
  job.recipients = settings.GetStr("MailAddr");
  job.sender = DefaultSender(settings.GetStr("MailFrom"), job.recipients);
  job.texts = DeliveryTextsOf(settings);
  return job;
}

std::optional<MailJob> ComposeMailJob(ReporterSettings& settings, std::string_view report) {
  MailJob job = ComposeMailTexts(settings, report);
  const auto port = [&](std::string_view name) {
    const std::int32_t value = settings.GetInt(name);
    return static_cast<std::uint16_t>(value > 0 && value <= 65535 ? value : 0);
  };

  // An unknown SmtpTls is no mode at all: SMTP does not send (the report's
  // header and the start-up say why).
  const std::optional<MailTls> tls = ParseMailTls(settings.GetStr("SmtpTls"));
  job.tls = tls.value_or(MailTls::kAuto);
  job.clearTextAuth = settings.GetBool("SmtpClearAuth");

  if (settings.GetBool("MailAsSmtpServer")) {
    if (SplitRecipients(job.recipients).empty() || !tls) return std::nullopt;
    job.port = 25;
    return job;
  }
  if (settings.GetBool("MailAsSmtpClient")) {
    job.server = settings.GetStr("SmtpServer");
    if (SplitRecipients(job.recipients).empty() || job.server.empty() || !tls) return std::nullopt;
    job.port = port("SmtpPort");
    job.account = settings.GetStr("SmtpAccount");
    job.password = settings.GetStr("SmtpPassword");
    return job;
  }
  if (settings.GetBool("UploadViaHttp")) {
    job.uploadUrl = settings.GetStr("HttpServer");
    if (job.uploadUrl.empty()) return std::nullopt;
    job.port = port("HttpPort");
    job.account = settings.GetStr("HttpAccount");
    job.password = settings.GetStr("HttpPassword");
    job.uploadClearText = settings.GetBool("HttpClearText");
    job.uploadClearAuth = settings.GetBool("HttpClearAuth");
    // Field values may name variables ("ver=%appversion%").
    const std::string message = ReportExceptionMessage(report);
    const ReportTexts texts{message, report};
    for (const auto& [name, value] : settings.AdditionalFields()->Items())
      job.uploadFields.emplace_back(name, settings.Expand(value, &texts));
    job.crashServer = LowerCase(settings.GetStr("UploadFormat")) == "crashserver";
    const auto setField = [&](const char* name, const std::string& value) {
      if (value.empty()) return;
      for (auto& field : job.uploadFields) {
        if (field.first == name) {
          field.second = value;
          return;
        }
      }
      job.uploadFields.emplace_back(name, value);
    };
    setField("MailFrom", job.sender);
    setField("MailSubject", job.subject);
    setField("MailBody", job.body);
    setField("MailAddr", job.recipients);
    // The upload carries these as fields only.
    job.recipients.clear();
    job.subject.clear();
    job.body.clear();
    return job;
  }
  return std::nullopt;
}

}  // namespace corvan::crash
