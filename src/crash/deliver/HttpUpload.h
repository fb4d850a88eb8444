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
// server that cannot be trusted gets nothing (failure() says why). An http
// URL is used only when the policy allows clear text, and then the upload
// says so in its first field; account and password go in clear text only
// when the policy allows that as well (also through a proxy, which would
// read them).
//
// Answer: interim 1xx answers are passed over. The upload counts as sent
// only on what the format defines: the plain form on a 2xx of the URL
// itself (or a 303, or a 302 that keeps the scheme, naming the server's
// page about the upload, which opens when it is an http or https URL on
// the upload's own host); the crash servers' convention on a 200 whose
// body carries "CrashID=<id>". Any other relocation (301, 307, 308, or a
// 302 to https) means the upload belongs elsewhere: it is sent again
// there, at most kMaxRelocations times, to the same host only and never
// from https to http. A relocation to another host, anything else, or no
// whole answer within 3 minutes fails: a captive page is no crash server,
// and a failed upload is sent again later.
#include <cstdint>
#include <functional>
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
// list "http=host:port;https=..." separated by ";" or blanks): the proxy
// for an http (or, secure, an https) URL, or nothing when the text names
// none with a valid port. An entry without "=" serves every protocol.
std::optional<HostPort> ParseProxySetting(std::string_view setting, bool secure = false);

// Where a relocation's Location (an http or https URL, or a path on the
// same server) sends the upload next; nothing for any other form.
std::optional<UploadTarget> RelocatedUploadTarget(const UploadTarget& current,
                                                  std::string_view location);

// What the settings allow besides https (HttpClearText, HttpClearAuth).
struct UploadPolicy {
  bool clearText = false;      // an http URL may be used
  bool clearTextAuth = false;  // account and password may go without TLS
};

// The parts of the request, as sent: the header lines (each ending in
// CR LF), the fields, each file's part header and the closing boundary.
// Every part begins with CR LF, the first of which ends the header block.
std::string UploadRequestHead(const MailJob& job, const UploadTarget& target, bool proxied,
                              std::uint64_t contentLength);
// Every upload field, each beginning with CR LF and the boundary line;
// unencrypted puts the field that says so first.
std::string UploadFieldsPart(const MailJob& job, bool unencrypted = false);
// A file's field name: in the crash servers' convention the minidump is
// "upload_file_minidump".
std::string UploadFieldName(const MailJob& job, const PreparedFile& file);
std::string UploadFileHeader(const MailJob& job, const PreparedFile& file);
std::string UploadClosing(const MailJob& job);

// The answer's head so far: undecided until a final status line and its
// header block have arrived; then a 2xx is accepted, a 301, 302, 303, 307
// or 308 with a Location relocated, anything else rejected.
struct UploadAnswer {
  enum class Verdict { kUndecided, kAccepted, kRejected, kRelocated };
  Verdict verdict = Verdict::kUndecided;
  int status = 0;
  std::string location;          // of a relocation
  std::size_t headLength = 0;    // interim answers and the final head
  long long contentLength = -1;  // none given
  bool chunked = false;
};
UploadAnswer JudgeUploadAnswer(std::string_view received);

// The id a crash server answers with ("CrashID=<id>" at a line's start);
// empty when the body carries none.
std::string CrashIdOf(std::string_view body);

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
  static constexpr int kMaxRelocations = 5;
  // Milliseconds of a steady clock: the time limits hold for a whole
  // answer, however it is dripped.
  using Clock = std::function<std::int64_t()>;
  static std::int64_t SteadyMs();

  HttpUpload(DeliveryNetwork& network, DeliveryFiles& files, DeliveryProgress& progress,
             PageOpener& opener, UploadPolicy policy = {}, Clock clock = SteadyMs);

  // proxy: the system's proxy setting ("" for none).
  bool Run(const MailJob& job, const std::string& proxy);
  // Why the last Run failed; empty when not known.
  const std::string& failure() const { return failure_; }

 private:
  enum class Outcome { kSent, kFailed, kMoved };
  Outcome Attempt(const MailJob& job, UploadTarget& target, const std::string& proxy);
  std::unique_ptr<BlockingConnection> Open(const UploadTarget& target,
                                           const std::optional<HostPort>& via);
  bool SendFile(BlockingConnection& connection, const MailJob& job, const PreparedFile& file,
                std::uint64_t size);
  // Receives into received until done(received) or the end of the answer
  // (a close when untilClose); false on an error, a close that comes too
  // early, too much, or the deadline.
  bool ReceiveUntil(BlockingConnection& connection, std::string& received, std::int64_t deadline,
                    bool untilClose, const std::function<bool(const std::string&)>& done);
  Outcome AwaitAnswer(BlockingConnection& connection, const MailJob& job, UploadTarget& target);

  DeliveryNetwork& network_;
  DeliveryFiles& files_;
  DeliveryProgress& progress_;
  PageOpener& opener_;
  UploadPolicy policy_;
  Clock clock_;
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
