#include "crash/deliver/BugReportDelivery.h"

#include "crash/deliver/MailAddress.h"
#include "crash/deliver/MailJobSettings.h"

namespace corvan::crash {

ChannelPlan PlanChannels(ReporterSettings& settings, std::string_view report, bool hidden) {
  ChannelPlan plan;
  plan.hidden = hidden;
  plan.mapi = settings.GetBool("MailViaMapi");
  plan.mailto = settings.GetBool("MailViaMailto");
  plan.texts = ComposeMailTexts(settings, report);
  plan.reportText = report;
  plan.first = ComposeMailJob(settings, report);
  return plan;
}

bool Reachable(const ChannelPlan& plan) {
  return !plan.hidden || plan.first || !SplitRecipients(plan.texts.recipients).empty();
}

ChannelOutcome RunChannels(const ChannelPlan& plan, DeliveryChannels& channels) {
  ChannelOutcome outcome;
  if (plan.first && channels.SendFirst(*plan.first)) {
    outcome.firstSent = true;
    outcome.result = SendResult::Sent;
    return outcome;
  }
  const bool haveRecipients = !SplitRecipients(plan.texts.recipients).empty();
  if (plan.mapi && (haveRecipients || !plan.hidden)) {
    outcome.result = channels.SendMapi(plan.texts.recipients, plan.texts.subject, plan.texts.body);
  }
  if (outcome.result != SendResult::Failed || plan.hidden) return outcome;
  if (plan.mailto) {
    outcome.viaMailto = true;
    if (channels.SendMailto(plan.texts.recipients, plan.texts.subject, plan.reportText)) {
      outcome.result = SendResult::Sent;
      return outcome;
    }
  }
  channels.ShowFailure();
  return outcome;
}

int PngModeForDepth(std::int32_t depth) {
  switch (depth) {
    case 4:
      return 1;
    case 51200:
      return 2;
    case 102400:
      return 3;
    case 204800:
      return 4;
    case 307200:
      return 5;
    default:
      return 0;
  }
}

std::uint32_t MapiSendFlags(bool hidden, bool haveRecipients) {
  constexpr std::uint32_t kLogonUi = 0x1, kDialog = 0x8;
  return hidden && haveRecipients ? 0 : kLogonUi | kDialog;
}

std::string EscapeMailtoText(std::string_view text) {
  static constexpr std::string_view kEscaped = "\n\r \"#%&+<>?";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    // Control bytes (TAB, NUL, ...) and bytes from 0x80 too: a mail program
    // or the command line must not read them raw.
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F && kEscaped.find(c) == std::string_view::npos) {
      out += c;
      continue;
    }
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
  return out;
}

std::string MailtoCommandLine(std::string_view command, std::string recipients,
                              std::string_view subject, std::string_view body) {
  NormaliseRecipients(recipients);
  const std::string url = "mailto:" + recipients + "?subject=" + EscapeMailtoText(subject) +
                          "&body=" + EscapeMailtoText(body);
  std::string line(command);
  const std::size_t placeholder = line.find("%1");
  if (placeholder != std::string::npos) {
    line.replace(placeholder, 2, url);
  } else {
    if (!line.empty() && line.back() != ' ') line += ' ';
    line += url;
  }
  // CreateProcess takes at most 32767 characters with the terminator.
  constexpr std::size_t kLimit = 32766;
  if (line.size() > kLimit) {
    std::size_t keep = kLimit;
    if (line[kLimit - 1] == '%') {
      keep = kLimit - 1;
    } else if (line[kLimit - 2] == '%') {
      keep = kLimit - 2;
    }
    line.resize(keep);
  }
  return line;
}

}  // namespace corvan::crash
