#pragma once
// The decisions of sending one bug report: which channels are tried in
// which order, what the MAPI client and the mailto handler receive, and
// which screenshot encoding the settings ask for. The Windows half
// (DeliverBugReport) supplies the channels themselves.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crash/core/ReporterSettings.h"
#include "crash/deliver/MailJob.h"

#ifdef _WIN32
#include <vector>

#include "crash/core/AttachmentList.h"
#include "crash/core/ReportFrontEnd.h"
#endif

namespace corvan::crash {

// The outcome of a send, as DeliverBugReport returns it.
enum class SendResult : std::uint8_t { Failed = 0, Sent = 1, Cancelled = 2 };

// The channels as DeliverBugReport drives them.
class DeliveryChannels {
 public:
  // SMTP or HTTP upload.
  virtual bool SendFirst(const MailJob& job) = 0;
  // The user's MAPI mail client.
  virtual SendResult SendMapi(const std::string& recipients, const std::string& subject,
                              const std::string& body) = 0;
  // The mailto handler; body is the report text (no attachments possible).
  virtual bool SendMailto(const std::string& recipients, const std::string& subject,
                          const std::string& body) = 0;
  virtual void ShowFailure() = 0;

 protected:
  ~DeliveryChannels() = default;
};

struct ChannelPlan {
  std::optional<MailJob> first;  // the configured SMTP or upload job
  bool mapi = false;
  bool mailto = false;
  bool hidden = false;
  MailJob texts;           // recipients, subject and body for MAPI and mailto
  std::string reportText;  // the mailto body
};

struct ChannelOutcome {
  SendResult result = SendResult::Failed;
  bool firstSent = false;
  bool viaMailto = false;  // the report went without its attachments
  // Whether a channel confirmed the delivery (SMTP's reply to the end of
  // DATA, a 2xx upload answer, MAPI's success). The mailto program only
  // opens a message the user may never send, cut short and without its
  // attachments: the report is not delivered and stays queued.
  bool Delivered() const { return result == SendResult::Sent && !viaMailto; }
};

// The channels the settings enable for this report.
ChannelPlan PlanChannels(ReporterSettings& settings, std::string_view report, bool hidden);

// False when no channel can deliver: a hidden send has neither a first
// channel nor recipients for the mail client, and no user to ask.
bool Reachable(const ChannelPlan& plan);

// First channel, then MAPI, then mailto (never hidden), then the failure
// box (never hidden). A cancel in the mail client ends the attempts. A
// hidden send without recipients has nobody to send to and no user to ask,
// so it skips the mail client.
ChannelOutcome RunChannels(const ChannelPlan& plan, DeliveryChannels& channels);

// The PNG mode of the setting ScrShotDepth (see ScreenshotPng.h).
int PngModeForDepth(std::int32_t depth);

// MAPISendMail's flags: silent for a hidden send with recipients, else
// the client's logon and compose dialogs (MAPI_LOGON_UI | MAPI_DIALOG).
std::uint32_t MapiSendFlags(bool hidden, bool haveRecipients);

// Line ends, blanks, quotes, the URL's own delimiters, every other control
// byte and every byte from 0x7F percent-escaped.
std::string EscapeMailtoText(std::string_view text);

// The mailto handler's command line: "%1" in command replaced by the link,
// or the link appended; cut to what CreateProcess takes without splitting
// an escape.
std::string MailtoCommandLine(std::string_view command, std::string recipients,
                              std::string_view subject, std::string_view body);

#ifdef _WIN32
// The report being sent, as delivery needs it beyond its settings. Held by
// a background send for as long as it runs.
class DeliveryReport : public RefCounted {
 public:
  virtual ReporterSettings& Settings() = 0;
  // The configured bug report file, absolute.
  virtual std::string BugReportFile() = 0;
  // The bug report file already holds this report.
  virtual bool SavedToFile() = 0;
  // Saves this report into path, without dialogs.
  virtual bool SaveInto(const std::string& path) = 0;
  virtual void MarkSent() = 0;
  // A message's end goes out (see HandoverWatch): from now on the report
  // is not kept for the next start, as if sent, unless the server refuses
  // it (MarkRefused).
  virtual void MarkHandedOver() = 0;
  virtual void MarkRefused() = 0;
  // The reporter's temporary folder and the executable's folder, each with
  // a trailing backslash.
  virtual std::string TempFolder() = 0;
  virtual std::string ExeFolder() = 0;
};

// Sends the report text with its attachments over the configured channels.
// With background (and not yet inThread) the work moves to a thread of its
// own whose handle goes to threadSlot (the caller owns it; closed here
// without a slot); that counts as sent. A hidden send shows no mail client
// dialog, no mailto and no error; with nobody to send to it fails at once,
// without a thread.
SendResult DeliverBugReport(const std::string& report, Ref<INVBitmap> screenshot, HWND parent,
                            bool hidden, bool background, DeliveryReport& target, bool inThread,
                            HANDLE* threadSlot);

// Writes the screenshot as PNG in the depth of the setting ScrShotDepth
// into a new file in folder (with its trailing backslash): sends of two
// exceptions may overlap, each reading its own file. Empty on failure.
std::string WriteScreenshotFile(INVBitmap& screenshot, ReporterSettings& settings,
                                const std::string& folder);

// Sends a report kept from an earlier run, with the attachments it was
// kept with, over the channels of settings, in the calling thread. Marks
// nothing and deletes no bug report file: the current one holds other
// reports. Sent only when a channel confirmed the delivery (a report
// handed to the mailto program stays kept).
SendResult DeliverKeptReport(const std::string& report, AttachmentList& attachments,
                             ReporterSettings& settings, HWND parent, const std::string& exeFolder,
                             const std::string& tempFolder);

// The user's MAPI client (mapi32.dll): one message to the recipients with
// the prepared files attached.
SendResult MapiSend(const std::string& recipients, const std::string& subject,
                    const std::string& body, bool hidden, HWND parent,
                    const std::vector<PreparedFile>& files);

// The program registered for mailto links, started with the link.
bool MailtoSend(const std::string& recipients, const std::string& subject, const std::string& body);
#endif

}  // namespace corvan::crash
