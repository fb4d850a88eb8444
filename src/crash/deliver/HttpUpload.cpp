#include "crash/deliver/HttpUpload.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <vector>

#include "common/Base64.h"
#include "crash/deliver/MailAddress.h"
#include "crash/deliver/MimeMessage.h"
#include "crash/util/TextParts.h"
#include "net/socket/HttpTunnel.h"

namespace corvan::crash {
namespace {

constexpr std::size_t kFilePiece = 64 * 1024;
constexpr std::size_t kMaxAnswer = 64 * 1024;

constexpr char kUnencryptedField[] = "Encryption";
constexpr char kUnencryptedValue[] = "none: sent in clear text (HttpClearText)";

std::string_view WithoutScheme(std::string_view text) {
  const std::size_t scheme = text.find("://");
  if (scheme != std::string_view::npos) text.remove_prefix(scheme + 3);
  return text;
}

// The entry of a proxy list that serves the protocol: "http=" or
// "https=", or one without "=" that serves them all; empty when none.
std::string_view ProxyEntry(std::string_view list, bool secure) {
  const std::string_view wanted = secure ? "https=" : "http=";
  std::string_view any;
  while (!list.empty()) {
    const std::size_t start = list.find_first_not_of(" ;\t");
    if (start == std::string_view::npos) break;
    list.remove_prefix(start);
    const std::size_t end = list.find_first_of(" ;\t");
    const std::string_view entry = list.substr(0, end);
    list.remove_prefix(entry.size());
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (any.empty()) any = entry;
    } else if (LowerCase(entry.substr(0, equals + 1)) == wanted) {
      return entry.substr(equals + 1);
    }
  }
  return any;
}

std::optional<std::uint16_t> PortNumber(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0 ||
      value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::uint64_t FilePartLength(const MailJob& job, const PreparedFile& file, std::uint64_t size) {
  return UploadFileHeader(job, file).size() + size;
}

std::string Boundary(const MailJob& job) {
  return job.boundary.empty() ? std::string(kMimeBoundary) : job.boundary;
}

}  // namespace

UploadTarget SplitUploadUrl(std::string_view url, std::uint16_t defaultPort) {
  UploadTarget target;
  url = Trimmed(url);
  target.secure = LowerCase(url.substr(0, 8)) == "https://";
  if (target.secure && defaultPort == 80) defaultPort = 443;
  url = WithoutScheme(url);
  const std::size_t slash = url.find('/');
  std::string_view host = url.substr(0, slash);
  if (slash != std::string_view::npos) target.path = std::string(url.substr(slash));
  target.server.port = defaultPort;
  const std::size_t colon = host.rfind(':');
  if (colon != std::string_view::npos) {
    if (const auto port = PortNumber(host.substr(colon + 1))) {
      target.server.port = *port;
      host = host.substr(0, colon);
    }
  }
  target.server.host = std::string(host);
  return target;
}

std::optional<HostPort> ParseProxySetting(std::string_view setting, bool secure) {
  setting = WithoutScheme(ProxyEntry(setting, secure));
  setting = setting.substr(0, setting.find('/'));
  const std::size_t colon = setting.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  const auto port = PortNumber(setting.substr(colon + 1));
  if (!port) return std::nullopt;
  return HostPort{std::string(setting.substr(0, colon)), *port};
}

std::optional<UploadTarget> RelocatedUploadTarget(const UploadTarget& current,
                                                  std::string_view location) {
  if (location.starts_with("/") && !location.starts_with("//")) {
    UploadTarget next = current;
    next.path = std::string(location);
    return next;
  }
  const std::size_t scheme = location.find_first_of(":/?#");
  if (scheme == std::string_view::npos || location[scheme] != ':') {
    // A reference relative to the upload's folder.
    UploadTarget next = current;
    next.path = current.path.substr(0, current.path.rfind('/') + 1) + std::string(location);
    return next;
  }
  if (!IsWebPage(location)) return std::nullopt;
  const std::string_view rest = location.substr(location.find("//") + 2);
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  UploadTarget next = SplitUploadUrl(location, 80);
  if (next.server.host.empty()) return std::nullopt;
  return next;
}

std::string UploadRequestHead(const MailJob& job, const UploadTarget& target, bool proxied,
                              std::uint64_t contentLength) {
  const std::string hostPort = target.server.host + ":" + std::to_string(target.server.port);
  std::string head = "POST " + (proxied ? "http://" + hostPort : std::string()) + target.path +
                     " HTTP/1.1\r\nHost: " + hostPort +
                     "\r\nConnection: close\r\nPragma: no-cache\r\nUser-Agent: zelExcept/3.0\r\n"
                     "Content-Type: multipart/form-data; boundary=" +
                     Boundary(job) + "\r\nContent-Length: " + std::to_string(contentLength);
  if (!job.sender.empty())
    head += "\r\nFrom: " + FormatAngleAddress(SingleHeaderLine(job.sender), false);
  if (!job.account.empty() || !job.password.empty()) {
    head += "\r\nAuthorization: Basic " + Base64Encode(job.account + ":" + job.password);
  }
  return head + "\r\n";
}

std::string UploadFieldsPart(const MailJob& job, bool unencrypted) {
  std::string part;
  std::vector<std::pair<std::string, std::string>> fields;
  if (unencrypted) fields.emplace_back(kUnencryptedField, kUnencryptedValue);
  fields.insert(fields.end(), job.uploadFields.begin(), job.uploadFields.end());
  for (const auto& [name, value] : fields) {
    part += "\r\n--" + Boundary(job) + "\r\nContent-Disposition: form-data; name=\"" +
            QuotedParameter(name) + "\"\r\n\r\n" + value;
  }
  return part;
}

std::string UploadFieldName(const MailJob& job, const PreparedFile& file) {
  return job.crashServer && file.field == "MiniDump" ? "upload_file_minidump" : file.field;
}

std::string UploadFileHeader(const MailJob& job, const PreparedFile& file) {
  return "\r\n--" + Boundary(job) + "\r\nContent-Disposition: form-data; name=\"" +
         QuotedParameter(UploadFieldName(job, file)) + "\"; filename=\"" +
         QuotedParameter(file.sendAs) + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

std::string UploadClosing(const MailJob& job) { return "\r\n--" + Boundary(job) + "--\r\n"; }

bool IsWebPage(std::string_view url) {
  const std::string lower = LowerCase(url.substr(0, 8));
  return (lower.starts_with("http://") && url.size() > 7) ||
         (lower.starts_with("https://") && url.size() > 8);
}

bool IsOwnWebPage(std::string_view url, std::string_view uploadHost) {
  if (!IsWebPage(url) || uploadHost.empty()) return false;
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '\\') return false;
  }
  const std::string_view rest = url.substr(url.find("//") + 2);
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.find('@') != std::string_view::npos) return false;
  const std::size_t colon = authority.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
  }
  return LowerCase(authority.substr(0, colon)) == LowerCase(uploadHost);
}

UploadAnswer JudgeUploadAnswer(std::string_view received) {
  UploadAnswer answer;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = received.find("\r\n\r\n", start);
    if (end == std::string_view::npos) return answer;
    const std::string_view head = received.substr(start, end + 2 - start);
    // "HTTP/1.x ddd ...": the status is the second word.
    const std::size_t blank = head.find(' ');
    const std::string_view code =
        blank == std::string_view::npos ? std::string_view() : head.substr(blank + 1, 3);
    if (!head.starts_with("HTTP/") || code.size() < 3 ||
        code.find_first_not_of("0123456789") != std::string_view::npos) {
      answer.verdict = UploadAnswer::Verdict::kRejected;
      return answer;
    }
    start = end + 4;
    if (code[0] == '1') continue;
    answer.headLength = start;
    answer.status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
         at = head.find("\r\n", at + 2)) {
      const std::string_view line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      const std::string name = LowerCase(Trimmed(line.substr(0, colon)));
      const std::string_view value = Trimmed(line.substr(colon + 1));
      if (name == "location") {
        answer.location = std::string(value);
      } else if (name == "content-length") {
        unsigned long long length = 0;
        const auto [stop, error] =
            std::from_chars(value.data(), value.data() + value.size(), length);
        if (error == std::errc() && stop == value.data() + value.size())
          answer.contentLength = static_cast<long long>(length);
      } else if (name == "transfer-encoding") {
        answer.chunked = LowerCase(value).find("chunked") != std::string::npos;
      }
    }
    const bool relocation = answer.status == 301 || answer.status == 302 || answer.status == 303 ||
                            answer.status == 307 || answer.status == 308;
    answer.verdict = code[0] == '2'                           ? UploadAnswer::Verdict::kAccepted
                     : relocation && !answer.location.empty() ? UploadAnswer::Verdict::kRelocated
                                                              : UploadAnswer::Verdict::kRejected;
    if (answer.verdict != UploadAnswer::Verdict::kRelocated) answer.location.clear();
    return answer;
  }
}

std::string CrashIdOf(std::string_view body) {
  static constexpr std::string_view kKey = "CrashID=";
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t end = std::min(body.find_first_of("\r\n", at), body.size());
    const std::string_view line = body.substr(at, end - at);
    if (line.starts_with(kKey)) {
      const std::string_view id = line.substr(kKey.size());
      const std::size_t stop =
          id.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_");
      if (stop == std::string_view::npos && !id.empty()) return std::string(id);
    }
    at = end + 1;
  }
  return {};
}

std::int64_t HttpUpload::SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

HttpUpload::HttpUpload(DeliveryNetwork& network, DeliveryFiles& files, DeliveryProgress& progress,
                       PageOpener& opener, UploadPolicy policy, Clock clock)
    : network_(network),
      files_(files),
      progress_(progress),
      opener_(opener),
      policy_(policy),
      clock_(std::move(clock)) {}

bool HttpUpload::Run(const MailJob& job, const std::string& proxy) {
  failure_.clear();
  UploadTarget target = SplitUploadUrl(job.uploadUrl, job.port);
  if (target.server.host.empty()) return false;
  for (int moves = 0;; ++moves) {
    const Outcome outcome = Attempt(job, target, proxy);
    if (outcome != Outcome::kMoved) return outcome == Outcome::kSent;
    if (moves == kMaxRelocations) {
      failure_ = "the upload was relocated more than " + std::to_string(kMaxRelocations) + " times";
      return false;
    }
  }
}

HttpUpload::Outcome HttpUpload::Attempt(const MailJob& job, UploadTarget& target,
                                        const std::string& proxy) {
  const std::string url = (target.secure ? "https://" : "http://") + target.server.host + ":" +
                          std::to_string(target.server.port) + target.path;
  if (!target.secure && !policy_.clearText) {
    failure_ = url + " is not https, and clear text is not allowed (HttpClearText)";
    return Outcome::kFailed;
  }
  if (!target.secure && !policy_.clearTextAuth && (!job.account.empty() || !job.password.empty())) {
    failure_ = "the account and password would go to " + url +
               " in clear text, which is not allowed (HttpClearAuth)";
    return Outcome::kFailed;
  }
  const std::optional<HostPort> via = ParseProxySetting(proxy, target.secure);

  // The files as they are now; their parts carry exactly these sizes.
  std::vector<std::pair<const PreparedFile*, std::uint64_t>> files;
  for (const PreparedFile& file : job.files) {
    std::uint64_t size = 0;
    if (files_.Size(file.path, size)) files.emplace_back(&file, size);
  }
  const std::string fields = UploadFieldsPart(job, !target.secure);
  const std::string closing = UploadClosing(job);
  // The body's first CR LF is the empty line that ends the header block.
  std::uint64_t length = fields.size() + closing.size() - 2;
  for (const auto& [file, size] : files) length += FilePartLength(job, *file, size);

  const DeliveryTexts& t = job.texts;
  progress_.ClearAreas();
  progress_.AddArea(t.prepare, 1000);
  progress_.AddArea(t.connect, 100);
  progress_.AddArea("", 100);
  progress_.AddArea(t.fields, fields.size() + 100);
  for (const auto& [file, size] : files) {
    progress_.AddArea(t.sendAttachments, FilePartLength(job, *file, size) / 16);
  }
  progress_.AddArea("", 100);
  progress_.AddArea(t.finalize, 500);
  progress_.AreaDone();

  std::unique_ptr<BlockingConnection> connection = Open(target, via);
  if (!connection) return Outcome::kFailed;
  const std::string start =
      UploadRequestHead(job, target, via.has_value() && !target.secure, length) + fields;
  if (!connection->Send(start.data(), start.size())) return Outcome::kFailed;
  progress_.AreaDone();
  for (const auto& [file, size] : files) {
    if (!SendFile(*connection, job, *file, size)) return Outcome::kFailed;
  }
  if (!connection->Send(closing.data(), closing.size())) return Outcome::kFailed;
  progress_.AreaDone();
  const Outcome outcome = AwaitAnswer(*connection, job, target);
  progress_.AreaDone();
  return outcome;
}

std::unique_ptr<BlockingConnection> HttpUpload::Open(const UploadTarget& target,
                                                     const std::optional<HostPort>& via) {
  const HostPort& peer = via ? *via : target.server;
  std::unique_ptr<BlockingConnection> connection =
      network_.Connect(peer.host, peer.port, progress_);
  if (!connection) {
    failure_ = "no connection to " + peer.host + ":" + std::to_string(peer.port);
    return nullptr;
  }
  if (!target.secure) return connection;
  if (via) {
    const std::string port = std::to_string(target.server.port);
    const std::string request = net::TunnelRequest(target.server.host, port);
    std::string received;
    std::size_t headLength = 0;
    int status = 0;
    net::TunnelReply reply = net::TunnelReply::kIncomplete;
    const bool answered = connection->Send(request.data(), request.size()) &&
                          ReceiveUntil(*connection, received, clock_() + kAnswerTimeoutMs, false,
                                       [&](const std::string& text) {
                                         reply = net::JudgeTunnelReply(text, headLength, status);
                                         return reply != net::TunnelReply::kIncomplete;
                                       });
    if (!answered || reply != net::TunnelReply::kOpen || received.size() != headLength) {
      failure_ =
          "the proxy " + peer.host + " opened no tunnel to " + target.server.host + ":" + port;
      return nullptr;
    }
  }
  return network_.Secure(std::move(connection), target.server.host, failure_);
}

bool HttpUpload::SendFile(BlockingConnection& connection, const MailJob& job,
                          const PreparedFile& file, std::uint64_t size) {
  const std::string header = UploadFileHeader(job, file);
  if (!connection.Send(header.data(), header.size())) return false;
  if (size > 0) {
    std::unique_ptr<DeliveryFiles::Reader> reader = files_.Open(file.path);
    if (!reader) return false;
    std::vector<std::uint8_t> piece(kFilePiece);
    for (std::uint64_t sent = 0; sent < size;) {
      const std::uint64_t left = size - sent;
      const long n = reader->Read(piece.data(), left < piece.size() ? left : piece.size());
      if (n <= 0 || !connection.Send(piece.data(), static_cast<std::size_t>(n))) return false;
      sent += static_cast<std::uint64_t>(n);
      progress_.SetPosition(static_cast<int>(sent * 1000 / size));
    }
  }
  progress_.AreaDone();
  return true;
}

bool HttpUpload::ReceiveUntil(BlockingConnection& connection, std::string& received,
                              std::int64_t deadline, bool untilClose,
                              const std::function<bool(const std::string&)>& done) {
  char buffer[5120];
  while (!done(received)) {
    const std::int64_t left = deadline - clock_();
    if (left <= 0) {
      failure_ = "no whole answer within " + std::to_string(kAnswerTimeoutMs / 1000) + " s";
      return false;
    }
    if (received.size() >= kMaxAnswer) {
      failure_ = "the answer is too long";
      return false;
    }
    const long n = connection.Receive(buffer, sizeof buffer, static_cast<int>(left));
    if (n == 0 && untilClose) return true;
    if (n <= 0) {
      failure_ = n == 0
                     ? "the server closed the connection before its answer was whole"
                     : "no whole answer within " + std::to_string(kAnswerTimeoutMs / 1000) + " s";
      return false;
    }
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

HttpUpload::Outcome HttpUpload::AwaitAnswer(BlockingConnection& connection, const MailJob& job,
                                            UploadTarget& target) {
  // One limit for the whole answer: a server that drips it holds no send.
  const std::int64_t deadline = clock_() + kAnswerTimeoutMs;
  std::string received;
  UploadAnswer answer;
  if (!ReceiveUntil(connection, received, deadline, false, [&](const std::string& text) {
        answer = JudgeUploadAnswer(text);
        return answer.verdict != UploadAnswer::Verdict::kUndecided;
      })) {
    return Outcome::kFailed;
  }
  const std::string status = "the server answered " + std::to_string(answer.status);
  if (answer.verdict == UploadAnswer::Verdict::kAccepted) {
    if (!job.crashServer) return Outcome::kSent;
    // A crash server took the report when its 200 names the crash's id.
    const bool untilClose = answer.contentLength < 0 && !answer.chunked;
    const bool whole =
        ReceiveUntil(connection, received, deadline, untilClose, [&](const std::string& text) {
          const std::string_view body = std::string_view(text).substr(answer.headLength);
          if (answer.chunked)
            return body.starts_with("0\r\n") || body.find("\r\n0\r\n") != std::string_view::npos;
          return answer.contentLength >= 0 &&
                 body.size() >= static_cast<std::size_t>(answer.contentLength);
        });
    if (!whole) return Outcome::kFailed;
    if (answer.status == 200 && !CrashIdOf(received.substr(answer.headLength)).empty())
      return Outcome::kSent;
    failure_ = status + " without a crash id";
    return Outcome::kFailed;
  }
  if (answer.verdict != UploadAnswer::Verdict::kRelocated) {
    failure_ = status;
    return Outcome::kFailed;
  }
  std::optional<UploadTarget> next = RelocatedUploadTarget(target, answer.location);
  if (!next || !EqualsIgnoreCase(next->server.host, target.server.host)) {
    failure_ = status + ", relocating the upload to another host: " + answer.location;
    return Outcome::kFailed;
  }
  if (target.secure && !next->secure) {
    failure_ = status + ", relocating the upload from https to http: " + answer.location;
    return Outcome::kFailed;
  }
  // A 303, or a 302 that keeps the scheme, names the server's page about
  // the upload it took: the plain form is sent (its page opens), while a
  // crash server answers with an id.
  const bool answerPage =
      answer.status == 303 || (answer.status == 302 && next->secure == target.secure);
  if (answerPage) {
    if (job.crashServer) {
      failure_ = status + " without a crash id";
      return Outcome::kFailed;
    }
    if (IsOwnWebPage(answer.location, target.server.host)) opener_.Open(answer.location);
    return Outcome::kSent;
  }
  target = *next;
  return Outcome::kMoved;
}

}  // namespace corvan::crash
