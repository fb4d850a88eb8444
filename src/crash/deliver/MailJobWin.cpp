// The entry points of report delivery on Windows: attachment preparation
// with the send progress window, and the transports between WSAStartup and
// WSACleanup.
#include <winsock2.h>
// winsock2.h before windows.h
#include <bcrypt.h>

#include "common/SystemLibrary.h"
#include "crash/deliver/AttachmentPreparation.h"
#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/HttpUpload.h"
#include "crash/deliver/MailJob.h"
#include "crash/deliver/MailJobSettings.h"
#include "crash/deliver/SmtpClient.h"
#include "crash/ui/zelNVPrgrAlert.h"
#include "crash/codec/zelZip.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

// A multipart boundary nobody can guess: 128 random bits. Empty (the fixed
// boundary then) only when the system has no random numbers to give.
// bcrypt is bound from the system folder when an upload first needs it.
std::string RandomBoundary() {
  static const auto genRandom =
      SystemFunction<decltype(&BCryptGenRandom)>("bcrypt.dll", "BCryptGenRandom");
  unsigned char bits[16];
  if (!genRandom ||
      !BCRYPT_SUCCESS(genRandom(nullptr, bits, sizeof bits, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string boundary = "corvan-";
  for (const unsigned char b : bits) {
    boundary += kHex[b >> 4];
    boundary += kHex[b & 15];
  }
  return boundary;
}

class WinAttachmentFolder final : public AttachmentFolder {
 public:
  WinAttachmentFolder(std::string exeFolder, std::string tempFolder)
      : exeFolder_(std::move(exeFolder)), tempFolder_(std::move(tempFolder)) {}
  std::string Absolute(const std::string& path) override {
    return MakeAbsolutePath(path, exeFolder_);
  }
  bool Exists(const std::string& path) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  std::string ArchivePath(const std::string& zipName) override { return tempFolder_ + zipName; }
  bool Zip(const std::string& archive, const std::vector<std::string>& paths,
           const std::vector<std::string>& names) override {
    return CreateZipFile(archive, paths, names);
  }

 private:
  std::string exeFolder_;
  std::string tempFolder_;
};

// Windows Sockets for the time of one delivery.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  ~WinsockSession() {
    if (started_) WSACleanup();
  }
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

}  // namespace

MailEnvironment CurrentMailEnvironment() {
  MailEnvironment environment;
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = sizeof name;
  environment.hostName = GetComputerNameA(name, &length) ? std::string(name, length) : "localhost";
  SYSTEMTIME t;
  GetSystemTime(&t);
  environment.now = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
  FILETIME ft;
  SystemTimeToFileTime(&t, &ft);
  environment.fileTime = std::uint64_t{ft.dwHighDateTime} << 32 | ft.dwLowDateTime;
  return environment;
}

bool RunTransport(const MailJob& job, IProgressAlert* progress, HandoverWatch* handover) {
  bool sent = false;
  {
    WinsockSession winsock;
    if (winsock.Started()) {
      WinDeliveryNetwork network;
      StdioDeliveryFiles files;
      ProgressWindowDriver driver(progress);
      std::string failure;
      if (job.uploadUrl.empty()) {
        SmtpClient smtp(network, files, driver, CurrentMailEnvironment());
        smtp.Watch(handover);
        sent = smtp.Run(job);
        failure = smtp.failure();
        // Silence after the whole message: the server may have the report,
        // and a second copy through the next channel is what we avoid.
        if (!sent && smtp.handedOver()) {
          OutputDebugStringA(
              "corvan: no answer to the report's end; it may have arrived, not sent again\n");
          sent = true;
        }
      } else {
        ShellPageOpener browser;
        HttpUpload upload(network, files, driver, browser,
                          UploadPolicy{job.uploadClearText, job.uploadClearAuth});
        MailJob withBoundary = job;
        withBoundary.boundary = RandomBoundary();
        sent = upload.Run(withBoundary, FindProxy());
        failure = upload.failure();
      }
      // The next channel follows; why this one failed is for the debugger.
      if (!sent && !failure.empty())
        OutputDebugStringA(("corvan: report not sent: " + failure + "\n").c_str());
    }
  }
  if (progress) progress->Close();
  return sent;
}

PreparedAttachments PrepareAttachmentFiles(ReporterSettings& settings, AttachmentList& list,
                                           HWND parent, bool hidden, bool inThread,
                                           const std::string& exeFolder,
                                           const std::string& tempFolder) {
  PreparedAttachments result;
  const std::vector<AttachmentEntry> entries = list.Entries();
  result.progress = CreateProgressWindow(settings.GetStr("SendBoxTitle"),
                                         static_cast<HMODULE>(settings.Module()), "ZEISEND32");
  ProgressWindowDriver window(result.progress.get());
  const DeliveryTexts texts = DeliveryTextsOf(settings);
  const bool smtpDirect = settings.GetBool("MailAsSmtpServer");
  const bool smtp = smtpDirect || settings.GetBool("MailAsSmtpClient");
  const bool upload = settings.GetBool("UploadViaHttp");
  window.AddArea(texts.prepare, 100);
  if (smtp || upload) {
    if (smtpDirect) window.AddArea(texts.mxLookup, 100);
    window.AddArea(texts.connect, 100);
    if (smtp) {
      window.AddArea(texts.auth, 200);
      window.AddArea(texts.sendMail, 100);
    }
    if (upload) window.AddArea(texts.fields, 100);
    if (!entries.empty()) window.AddArea(texts.sendAttachments, 100);
    window.AddArea(texts.finalize, 100);
  }
  if (result.progress && (!hidden || settings.GetBool("AutoSendBox"))) {
    result.progress->Show(inThread ? nullptr : parent, !inThread);
  }
  WinAttachmentFolder folder(exeFolder, tempFolder);
  result.files = PrepareAttachments(entries, folder);
  return result;
}

}  // namespace corvan::crash
