#pragma once
// The Windows side of report delivery: Windows Sockets under the SMTP
// client, the MX lookup and the HTTP upload; the machine's DNS servers and
// proxy; the browser; the progress window; and the two entry points the
// send entry calls: PrepareAttachmentFiles and RunTransport.
#include <windows.h>

#include <string>
#include <vector>

#include "crash/core/ReporterSettings.h"
#include "crash/ui/DeliveryIo.h"
#include "crash/ui/HttpUpload.h"
#include "crash/ui/MailJob.h"
#include "crash/ui/SmtpClient.h"
#include "crash/ui/zelNVPrgrAlert.h"

namespace corvan::crash {

// Blocking Windows Sockets; the caller has started Windows Sockets.
class WinDeliveryNetwork final : public DeliveryNetwork {
 public:
  std::unique_ptr<BlockingConnection> Connect(const std::string& host, std::uint16_t port,
                                              DeliveryProgress& progress) override;
  std::unique_ptr<DnsExchange> OpenDns() override;
  std::vector<std::string> DnsServers() override;
};

// The machine's DNS servers from GetNetworkParams: the current one first,
// each address once.
std::vector<std::string> FindDnsServers();

// The proxy list of the system's internet settings; empty unless they
// name a proxy to use (a direct connection is no proxy).
std::string FindProxy();

// Opens pages with the shell's default verb, without Windows' error boxes.
class ShellPageOpener final : public PageOpener {
 public:
  void Open(const std::string& url) override;
};

// Drives a progress window (none: nothing is shown).
class ProgressWindowDriver final : public DeliveryProgress {
 public:
  explicit ProgressWindowDriver(IProgressAlert* window) : window_(window) {}
  void ClearAreas() override;
  void AddArea(const std::string& text, std::uint64_t weight) override;
  void AreaDone() override;
  void SetPosition(int perMille) override;
  int CurrentArea() override;
  void SetCurrentArea(int area) override;

 private:
  IProgressAlert* window_;  // not owned
  NoProgress none_;
};

// The computer name and the current time.
MailEnvironment CurrentMailEnvironment();

// Delivers the job by SMTP or HTTP upload between one WSAStartup (1.1) and
// its WSACleanup; closes the progress window at the end.
bool RunTransport(const MailJob& job, IProgressAlert* progress);

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

}  // namespace corvan::crash
