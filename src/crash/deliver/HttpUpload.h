#pragma once
// Delivers a mail job as one HTTP/1.1 POST with a multipart/form-data body:
// the upload fields as form fields, every prepared file as a file part. It
// writes the request itself over one blocking connection, directly or
// through the configured proxy.
//
// The multipart boundary is the job's (a random one per upload), so that
// no file's bytes can end a part early and forge a field.
//
// Request: "POST path HTTP/1.1" (the absolute URI through a proxy), Host,
// "Connection: close", "Pragma: no-cache", "User-Agent: zelExcept/3.0",
// Content-Type with the boundary, Content-Length, From (with a sender),
// Authorization Basic (with an account or password), then the body. The
// body's first CR LF ends the header block; Content-Length counts every
// byte after it, and exactly the bytes that are sent: empty files are sent
// as empty parts, and a file that shrinks while it is sent fails the upload
// instead of sending fewer bytes than announced.
//
// An https URL is sent over TLS, through the proxy by a CONNECT tunnel; a
// server that cannot be trusted gets nothing (failure() says why).
//
// Answer: interim 1xx answers are passed over; 2xx is success; 302 or 303
// with a Location header is success, and the page is opened when it is an
// http or https URL on the upload's own host (a hostile answer must not
// send the user's browser anywhere). Anything else, or nothing within 3
// minutes, fails: a crash server may read the whole dump before it answers,
// and an upload it accepted must not be sent again through another channel.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/MailJob.h"

namespace corvan::crash {

struct HostPort {
  std::string host;
  std::uint16_t port = 80;
  bool operator==(const HostPort&) const = default;
};

// The upload URL: host (and port, when the URL names one; otherwise
// defaultPort, or 443 for an https URL when defaultPort is the usual 80),
// path ("/" when it has none), and whether it goes over TLS (https).
struct UploadTarget {
  HostPort server;
  std::string path = "/";
  bool secure = false;
};
UploadTarget SplitUploadUrl(std::string_view url, std::uint16_t defaultPort);

// A proxy setting ("host:port", "http://host:port", or a per-protocol
// list "http=host:port https=..."): the HTTP proxy, or nothing when the
// text names none with a valid port.
std::optional<HostPort> ParseProxySetting(std::string_view setting);

// The parts of the request, as sent: the header lines (each ending in
// CR LF), the fields, each file's part header and the closing boundary.
// Every part begins with CR LF, the first of which ends the header block.
std::string UploadRequestHead(const MailJob& job, const UploadTarget& target, bool proxied,
                              std::uint64_t contentLength);
// Every upload field, each beginning with CR LF and the boundary line.
std::string UploadFieldsPart(const MailJob& job);
// A file's field name: in the crash servers' convention the minidump is
// "upload_file_minidump".
std::string UploadFieldName(const MailJob& job, const PreparedFile& file);
std::string UploadFileHeader(const MailJob& job, const PreparedFile& file);
std::string UploadClosing(const MailJob& job);

// The answer so far: undecided until a final status line and its header
// block have arrived.
struct UploadAnswer {
  enum class Verdict { kUndecided, kAccepted, kRejected } verdict = Verdict::kUndecided;
  std::string location;  // of an accepted relocation
};
UploadAnswer JudgeUploadAnswer(std::string_view received);

// Whether a relocation may be handed to the browser: an http or https URL.
bool IsWebPage(std::string_view url);
// An http or https URL of uploadHost (any port, case-insensitive), with
// nothing that browsers read differently: no user part, no backslash, no
// blank or control byte, no byte from 0x80.
bool IsOwnWebPage(std::string_view url, std::string_view uploadHost);

class PageOpener {
 public:
  virtual void Open(const std::string& url) = 0;

 protected:
  ~PageOpener() = default;
};

class HttpUpload {
 public:
  static constexpr int kAnswerTimeoutMs = 3 * 60 * 1000;

  HttpUpload(DeliveryNetwork& network, DeliveryFiles& files, DeliveryProgress& progress,
             PageOpener& opener);

  // proxy: the system's proxy setting ("" for none).
  bool Run(const MailJob& job, const std::string& proxy);
  // Why the last Run failed before an answer came; empty when not known.
  const std::string& failure() const { return failure_; }

 private:
  std::unique_ptr<BlockingConnection> Open(const UploadTarget& target,
                                           const std::optional<HostPort>& via);
  bool SendFile(BlockingConnection& connection, const MailJob& job, const PreparedFile& file,
                std::uint64_t size);
  bool AwaitAnswer(BlockingConnection& connection, const std::string& host);

  DeliveryNetwork& network_;
  DeliveryFiles& files_;
  DeliveryProgress& progress_;
  PageOpener& opener_;
  std::string failure_;
};

#ifdef _WIN32
// The proxy list of the system's internet settings; empty unless they
// name a proxy to use (a direct connection is no proxy).
std::string FindProxy();

// Opens pages with the shell's default verb, without Windows' error boxes.
class ShellPageOpener final : public PageOpener {
 public:
  void Open(const std::string& url) override;
};
#endif

}  // namespace corvan::crash
