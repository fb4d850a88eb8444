#include "crash/deliver/DeliveryIo.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>

namespace corvan::crash {
namespace {

class StdioReader final : public DeliveryFiles::Reader {
 public:
  explicit StdioReader(std::FILE* file) : file_(file) {}
  ~StdioReader() override { std::fclose(file_); }
  long Read(void* buffer, std::size_t size) override {
    const std::size_t n = std::fread(buffer, 1, size, file_);
    if (n < size && std::ferror(file_)) return -1;
    return static_cast<long>(n);
  }

 private:
  std::FILE* file_;
};

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class TlsConnection final : public BlockingConnection {
 public:
  TlsConnection(std::unique_ptr<BlockingConnection> plain, std::unique_ptr<net::TlsProvider> tls)
      : plain_(std::move(plain)), session_(std::move(tls)) {}

  // Runs the handshake; false with the session's reason (or the time-out).
  bool Handshake(int timeoutMs, std::string& failure) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    session_.Start();
    while (session_.state() == net::TlsSession::State::kHandshake) {
      if (!Flush() || !Pull(MsLeft(deadline))) break;
    }
    if (session_.Open() && Flush()) return true;
    failure = !session_.failure().empty() ? session_.failure()
              : session_.Open()           ? "the secure connection broke off"
                                          : "the server did not complete the secure connection";
    return false;
  }

  bool Send(const void* data, std::size_t size) override {
    return session_.Write(data, size) && Flush();
  }

  // The peer's end without close_notify counts as the end, too: the
  // transports judge complete answers only.
  long Receive(void* buffer, std::size_t size, int timeoutMs) override {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (session_.Readable() == 0 && session_.Open()) {
      if (!Pull(MsLeft(deadline))) return ended_ ? 0 : -1;
      if (!Flush()) return -1;  // a renegotiation's answer
    }
    if (session_.Readable() > 0) return static_cast<long>(session_.Read(buffer, size));
    return session_.state() == net::TlsSession::State::kClosed ? 0 : -1;
  }

 private:
  bool Flush() {
    if (!session_.HasOutgoing()) return true;
    const std::string out = session_.TakeOutgoing();
    return plain_->Send(out.data(), out.size());
  }
  // Feeds what arrives within timeoutMs; false on time-out, error or end.
  bool Pull(int timeoutMs) {
    char piece[32 * 1024];
    const long n = plain_->Receive(piece, sizeof piece, timeoutMs);
    if (n <= 0) {
      ended_ = n == 0;
      return false;
    }
    session_.Feed(piece, static_cast<std::size_t>(n));
    return true;
  }

  std::unique_ptr<BlockingConnection> plain_;
  net::TlsSession session_;
  bool ended_ = false;
};

}  // namespace

std::int64_t DeliveryNetwork::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<BlockingConnection> StartTls(std::unique_ptr<BlockingConnection> plain,
                                             std::unique_ptr<net::TlsProvider> provider,
                                             int timeoutMs, std::string& failure) {
  if (!plain || !provider) return nullptr;
  auto tls = std::make_unique<TlsConnection>(std::move(plain), std::move(provider));
  if (!tls->Handshake(timeoutMs, failure)) return nullptr;
  return tls;
}

bool StdioDeliveryFiles::Size(const std::string& path, std::uint64_t& size) {
#ifdef _WIN32
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0 || !(st.st_mode & _S_IFREG)) return false;
#else
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
#endif
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

std::unique_ptr<DeliveryFiles::Reader> StdioDeliveryFiles::Open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return nullptr;
  return std::make_unique<StdioReader>(file);
}

}  // namespace corvan::crash
