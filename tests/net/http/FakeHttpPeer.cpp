#include "FakeHttpPeer.h"

#include <algorithm>
#include <cstring>

namespace corvan::http::testing {

FakeHttpPeer::FakeHttpPeer() {
  client.OnDocBegin = [this](THttpClient&) { log.push_back("DocBegin"); };
  client.OnDocEnd = [this](THttpClient&) { log.push_back("DocEnd"); };
  client.OnHeaderEnd = [this](THttpClient&) { log.push_back("HeaderEnd"); };
  client.OnSessionClosed = [this](THttpClient&) { log.push_back("SessionClosed"); };
  client.OnStateChange = [this](THttpClient& c) {
    if (c.State() == httpReady) log.push_back("Ready");
  };
  client.OnLocationChange = [this](THttpClient&) { log.push_back("LocationChange"); };
  client.OnRequestDone = [this](THttpClient&, THttpRequest, int error) {
    log.push_back("RequestDone " + std::to_string(error));
  };
}

void FakeHttpPeer::RunAll() {
  while (!events_.empty()) WaitAndProcessMessages();
}

void FakeHttpPeer::WaitAndProcessMessages() {
  if (terminateWhileWaiting) terminated_ = true;
  if (events_.empty()) {
    // Nothing can happen any more: the wait ends as at the application's
    // end, and the test fails instead of hanging.
    stalled_ = true;
    return;
  }
  auto event = std::move(events_.front());
  events_.pop_front();
  event();
}

void FakeHttpPeer::Post(int message) {
  Queue([this, message] { client.HandleMessage(message); });
}

void FakeHttpPeer::DnsLookup(const std::string& host) {
  lookups.push_back(host);
  if (host.empty() || lookupStartError) {
    // The socket leaves its last error as it was for an empty host.
    if (!host.empty()) lastError_ = lookupStartError;
    client.HandleSocketError(lastError_);
    client.HandleLookupDone(host.empty() ? 10022 : lookupStartError);
    return;
  }
  Queue([this] { client.HandleLookupDone(lookupError); });
}

void FakeHttpPeer::Connect(const std::string& address, const std::string& port,
                           const std::string&) {
  connects.push_back(address + ":" + port);
  if (connectSocketError) {
    lastError_ = connectSocketError;
    const int error = connectSocketError;
    client.HandleSocketError(error);
    Queue([this, error] {
      client.HandleSessionConnected(error);
      client.HandleTransportClosed(error);
    });
    return;
  }
  connecting_ = true;
  const int generation = ++generation_;
  Queue([this, generation] {
    if (generation != generation_) return;
    connecting_ = false;
    if (connectError) {
      lastError_ = connectError;
      client.HandleSessionConnected(connectError);
      client.HandleTransportClosed(connectError);
      return;
    }
    connected_ = true;
    client.HandleSessionConnected(0);
  });
}

bool FakeHttpPeer::StartTls(const std::string& host) {
  if (!tls || !connected_) return false;
  secured.push_back("tunnel:" + host);
  const int generation = generation_;
  Queue([this, generation] {
    if (generation == generation_) client.HandleSessionConnected(0);
  });
  return true;
}

int FakeHttpPeer::Receive(void* buffer, int size) {
  const std::size_t n = std::min(incoming_.size(), static_cast<std::size_t>(std::max(size, 0)));
  std::memcpy(buffer, incoming_.data(), n);
  incoming_.erase(0, n);
  return static_cast<int>(n);
}

void FakeHttpPeer::Send(const void* data, std::size_t size) {
  pending_.append(static_cast<const char*>(data), size);
  const std::size_t end = pending_.find("\r\n\r\n");
  if (end == std::string::npos) return;
  requests.push_back(pending_.substr(0, end + 4));
  pending_.erase(0, end + 4);
  ServeAnswer();
}

void FakeHttpPeer::ServeAnswer() {
  if (answers.empty()) return;
  const Answer answer = answers.front();
  answers.pop_front();
  const std::size_t piece = answer.pieceSize ? answer.pieceSize : answer.bytes.size();
  const int generation = generation_;
  for (std::size_t at = 0; at < answer.bytes.size(); at += piece) {
    std::string bytes = answer.bytes.substr(at, piece);
    Queue([this, generation, bytes] {
      if (generation == generation_ && connected_) Deliver(bytes);
    });
  }
  if (answer.closeAfter) {
    Queue([this, generation, error = answer.closeError] {
      if (generation != generation_ || !connected_) return;
      // Data still unread is delivered before the close, as a socket does.
      while (!incoming_.empty()) {
        const std::size_t before = incoming_.size();
        client.HandleDataAvailable(0);
        if (incoming_.size() == before) break;
      }
      connected_ = false;
      ++generation_;
      client.HandleTransportClosed(error);
    });
  }
}

void FakeHttpPeer::Deliver(std::string bytes) {
  incoming_ += bytes;
  // The receive loop: again while the handler takes something.
  while (!incoming_.empty()) {
    const std::size_t before = incoming_.size();
    client.HandleDataAvailable(0);
    if (incoming_.size() == before) break;
  }
}

void FakeHttpPeer::Close() {
  connected_ = false;
  connecting_ = false;
  incoming_.clear();
  ++generation_;
}

void FakeHttpPeer::CloseDelayed() {
  if (!connected_) return;
  const int generation = generation_;
  Queue([this, generation] {
    if (generation != generation_) return;
    connected_ = false;
    ++generation_;
    incoming_.clear();
    client.HandleTransportClosed(0);
  });
}

std::string FakeHttpPeer::ErrorDescription(int error) const {
  return error == 10061 ? "Connection refused" : "Error " + std::to_string(error);
}

}  // namespace corvan::http::testing
