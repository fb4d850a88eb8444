#pragma once
// The mail job: everything a delivery transport (SMTP or HTTP upload)
// receives for one bug report.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "crash/core/DeliverySecurity.h"

#ifdef _WIN32
#include "crash/core/ReporterSettings.h"
#include "crash/core/ReportFrontEnd.h"
#endif

namespace corvan::crash {

// One file to send, after the preparation (zip archives already made).
struct PreparedFile {
  std::string path;    // the file on disk
  std::string sendAs;  // its name in the mail or upload
  std::string field;   // its upload field name
  bool operator==(const PreparedFile&) const = default;
};

// The progress window's area texts, from the settings.
struct DeliveryTexts {
  std::string prepare = "Prepare attachments...";
  std::string mxLookup = "Searching for mail server...";
  std::string connect = "Connecting to server...";
  std::string auth = "Authentication...";
  std::string sendMail = "Sending mail...";
  std::string fields = "Setting fields...";
  std::string sendAttachments = "Sending attachments...";
  std::string finalize = "Finalizing...";
};

// A moment in UTC.
struct UtcTime {
  int year = 1601, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// Facts of the sending machine for the message and EHLO.
struct MailEnvironment {
  std::string hostName;
  UtcTime now;
  std::uint64_t fileTime = 0;  // now, for the message id
};

struct MailJob {
  std::string uploadUrl;  // set: HTTP upload; empty: mail
  std::string sender;
  std::string recipients;  // "," or ";" separated
  std::string server;      // empty: each recipient's mail exchanger
  std::uint16_t port = 25;
  std::string account;
  std::string password;
  MailTls tls = MailTls::kAuto;
  bool clearTextAuth = false;  // account and password may go without TLS
  // The upload's consent to clear text (HttpClearText, HttpClearAuth).
  bool uploadClearText = false, uploadClearAuth = false;
  std::vector<std::pair<std::string, std::string>> uploadFields;
  // The upload in the crash servers' convention (UploadFormat): the
  // minidump as "upload_file_minidump".
  bool crashServer = false;
  std::string boundary;  // of the upload's body; empty: kMimeBoundary
  std::vector<PreparedFile> files;
  std::string body;
  std::string subject;
  DeliveryTexts texts;
};

#ifdef _WIN32
// The computer name and the current time.
MailEnvironment CurrentMailEnvironment();

class HandoverWatch;

// Delivers the job by SMTP or HTTP upload between one WSAStartup (1.1) and
// its WSACleanup; closes the progress window at the end. True also when an
// SMTP server got the whole message and never answered: it may have it, so
// no other channel sends it again. handover (none: nobody) hears when the
// message's end goes out.
bool RunTransport(const MailJob& job, IProgressAlert* progress, HandoverWatch* handover = nullptr);

struct PreparedAttachments {
  std::vector<PreparedFile> files;
  Ref<IProgressAlert> progress;
};

// Opens the send progress window (shown unless a hidden send does without
// it: in a background thread unowned and inactive, otherwise owned by
// parent and active) and prepares the list's files. Relative paths are
// taken from exeFolder, archives are written to tempFolder (both end in a
// backslash).
PreparedAttachments PrepareAttachmentFiles(ReporterSettings& settings, AttachmentList& list,
                                           HWND parent, bool hidden, bool inThread,
                                           const std::string& exeFolder,
                                           const std::string& tempFolder);
#endif

}  // namespace corvan::crash
