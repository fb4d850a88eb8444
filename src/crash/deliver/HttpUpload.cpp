#include "crash/deliver/HttpUpload.h"

#include <charconv>
#include <vector>

#include "common/Base64.h"
#include "crash/deliver/MailAddress.h"
#include "crash/deliver/MimeMessage.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr std::size_t kFilePiece = 64 * 1024;
constexpr std::size_t kMaxAnswer = 64 * 1024;

// Drops a scheme ("...://") and picks the "http=" entry of a per-protocol
// list, which ends at a blank or ";".
std::string_view WithoutScheme(std::string_view text) {
  const std::size_t http = LowerCase(text).find("http=");
  if (http != std::string_view::npos) {
    text.remove_prefix(http + 5);
    text = text.substr(0, text.find_first_of(" ;"));
  }
  const std::size_t scheme = text.find("://");
  if (scheme != std::string_view::npos) text.remove_prefix(scheme + 3);
  return text;
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
  target.secure = LowerCase(Trimmed(url).substr(0, 8)) == "https://";
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

std::optional<HostPort> ParseProxySetting(std::string_view setting) {
  setting = Trimmed(WithoutScheme(Trimmed(setting)));
  setting = setting.substr(0, setting.find('/'));
  const std::size_t colon = setting.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  const auto port = PortNumber(setting.substr(colon + 1));
  if (!port) return std::nullopt;
  return HostPort{std::string(setting.substr(0, colon)), *port};
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

std::string UploadFieldsPart(const MailJob& job) {
  std::string part;
  for (const auto& [name, value] : job.uploadFields) {
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
  for (;;) {
    const std::size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos) return answer;
    const std::string_view head = received.substr(0, end + 2);
    // "HTTP/1.x ddd ...": the status is the second word.
    const std::size_t blank = head.find(' ');
    if (!head.starts_with("HTTP/") || blank == std::string_view::npos || head.size() < blank + 4) {
      answer.verdict = UploadAnswer::Verdict::kRejected;
      return answer;
    }
    const std::string_view status = head.substr(blank + 1, 3);
    if (status[0] == '1') {
      received.remove_prefix(end + 4);
      continue;
    }
    answer.verdict = UploadAnswer::Verdict::kRejected;
    if (status[0] == '2') {
      answer.verdict = UploadAnswer::Verdict::kAccepted;
    } else if (status == "302" || status == "303") {
      for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
           at = head.find("\r\n", at + 2)) {
        const std::string_view line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
        if (line.size() > 9 && EqualsIgnoreCase(line.substr(0, 9), "location:")) {
          answer.location = std::string(Trimmed(line.substr(9)));
          if (!answer.location.empty()) answer.verdict = UploadAnswer::Verdict::kAccepted;
          break;
        }
      }
    }
    return answer;
  }
}

HttpUpload::HttpUpload(DeliveryNetwork& network, DeliveryFiles& files, DeliveryProgress& progress,
                       PageOpener& opener)
    : network_(network), files_(files), progress_(progress), opener_(opener) {}

bool HttpUpload::Run(const MailJob& job, const std::string& proxy) {
  const UploadTarget target = SplitUploadUrl(job.uploadUrl, job.port);
  if (target.server.host.empty()) return false;
  const std::optional<HostPort> via = ParseProxySetting(proxy);

  // The files as they are now; their parts carry exactly these sizes.
  std::vector<std::pair<const PreparedFile*, std::uint64_t>> files;
  for (const PreparedFile& file : job.files) {
    std::uint64_t size = 0;
    if (files_.Size(file.path, size)) files.emplace_back(&file, size);
  }
  const std::string fields = UploadFieldsPart(job);
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
  if (!connection) return false;
  const std::string start =
      UploadRequestHead(job, target, via.has_value() && !target.secure, length) + fields;
  if (!connection->Send(start.data(), start.size())) return false;
  progress_.AreaDone();
  for (const auto& [file, size] : files) {
    if (!SendFile(*connection, job, *file, size)) return false;
  }
  if (!connection->Send(closing.data(), closing.size())) return false;
  progress_.AreaDone();
  const bool accepted = AwaitAnswer(*connection, target.server.host);
  progress_.AreaDone();
  return accepted;
}

std::unique_ptr<BlockingConnection> HttpUpload::Open(const UploadTarget& target,
                                                     const std::optional<HostPort>& via) {
  failure_.clear();
  const HostPort& peer = via ? *via : target.server;
  std::unique_ptr<BlockingConnection> connection =
      network_.Connect(peer.host, peer.port, progress_);
  if (!connection) {
    failure_ = "no connection to " + peer.host + ":" + std::to_string(peer.port);
    return nullptr;
  }
  if (!target.secure) return connection;
  if (via) {
    const std::string hostPort = target.server.host + ":" + std::to_string(target.server.port);
    const std::string request =
        "CONNECT " + hostPort + " HTTP/1.1\r\nHost: " + hostPort + "\r\n\r\n";
    std::string received;
    char buffer[1024];
    UploadAnswer answer;
    if (!connection->Send(request.data(), request.size())) return nullptr;
    while (answer.verdict == UploadAnswer::Verdict::kUndecided && received.size() < kMaxAnswer) {
      const long n = connection->Receive(buffer, sizeof buffer, kAnswerTimeoutMs);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
      answer = JudgeUploadAnswer(received);
    }
    if (answer.verdict != UploadAnswer::Verdict::kAccepted || !answer.location.empty()) {
      failure_ = "the proxy " + peer.host + " opened no tunnel to " + hostPort;
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

bool HttpUpload::AwaitAnswer(BlockingConnection& connection, const std::string& host) {
  std::string received;
  char buffer[5120];
  UploadAnswer answer;
  while (answer.verdict == UploadAnswer::Verdict::kUndecided && received.size() < kMaxAnswer) {
    const long n = connection.Receive(buffer, sizeof buffer, kAnswerTimeoutMs);
    if (n <= 0) return false;
    received.append(buffer, static_cast<std::size_t>(n));
    answer = JudgeUploadAnswer(received);
  }
  if (answer.verdict != UploadAnswer::Verdict::kAccepted) return false;
  if (IsOwnWebPage(answer.location, host)) opener_.Open(answer.location);
  return true;
}

}  // namespace corvan::crash
