#pragma once
// The mail job of one bug report, as the reporter's settings describe it:
// the first delivery channel (SMTP to the recipients' exchangers, SMTP
// through a server, or HTTP upload), the subject and body with the report's
// variables expanded, the sender and the upload fields.
#include <optional>
#include <string>
#include <string_view>

#include "crash/core/ReporterSettings.h"
#include "crash/deliver/MailJob.h"

namespace corvan::crash {

// The text of the report line "exception message ...: text", trimmed;
// empty when the report has none.
std::string ReportExceptionMessage(std::string_view report);

// The area texts of the progress window.
DeliveryTexts DeliveryTextsOf(const ReporterSettings& settings);

// Sender, recipients, subject and body (variables expanded) and the
// progress texts, whatever the channel.
MailJob ComposeMailTexts(const ReporterSettings& settings, std::string_view report);

// The job of the first channel that is enabled and configured; nothing
// when none is (then only the mail client and mailto remain). The files
// are left empty for the caller's prepared attachments.
std::optional<MailJob> ComposeMailJob(ReporterSettings& settings, std::string_view report);

}  // namespace corvan::crash
