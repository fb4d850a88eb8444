#include "net/socket/TlsSession.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace corvan::net {
namespace {

// Used input is dropped from the front only past this much, so that a
// large download does not move its buffer for every record.
constexpr std::size_t kCompactAt = 64 * 1024;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsIpAddress(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;
  return !host.empty() && std::all_of(host.begin(), host.end(),
                                      [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

}  // namespace

bool CertificateNameMatches(const std::string& pattern, const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || pattern.empty()) return false;
  if (pattern.rfind("*.", 0) != 0) return EqualNoCase(pattern, name);
  const std::string rest = pattern.substr(1);  // ".example.com"
  if (IsIpAddress(name) || std::count(rest.begin(), rest.end(), '.') < 2) return false;
  const std::size_t dot = name.find('.');
  return dot != std::string::npos && dot > 0 && EqualNoCase(name.substr(dot), rest);
}

TlsSession::TlsSession(std::unique_ptr<TlsProvider> provider) : provider_(std::move(provider)) {}

void TlsSession::Fail(std::string reason) {
  state_ = State::kFailed;
  failure_ = reason.empty() ? "the secure connection failed" : std::move(reason);
  outgoing_.clear();
}

void TlsSession::Start() {
  if (state_ != State::kIdle) return;
  state_ = State::kHandshake;
  std::size_t consumed = 0;
  const auto result = provider_->Handshake(nullptr, 0, outgoing_, consumed);
  if (result != TlsProvider::Result::kContinue && result != TlsProvider::Result::kDone)
    Fail(provider_->Failure());
}

void TlsSession::Feed(const void* data, std::size_t size) {
  if (state_ != State::kHandshake && state_ != State::kOpen) return;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (inputUsed_ >= kCompactAt || inputUsed_ == input_.size()) {
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputUsed_));
    inputUsed_ = 0;
  }
  input_.insert(input_.end(), bytes, bytes + size);
  Advance();
}

// Works through the whole records in the input, stopping at an incomplete
// one, at the end of the input, or when the session leaves its state.
void TlsSession::Advance() {
  while (inputUsed_ < input_.size()) {
    std::uint8_t* at = input_.data() + inputUsed_;
    const std::size_t left = input_.size() - inputUsed_;
    std::size_t consumed = 0;
    if (state_ == State::kHandshake || renegotiating_) {
      const auto result = provider_->Handshake(at, left, outgoing_, consumed);
      if (result == TlsProvider::Result::kIncomplete) return;
      if ((result != TlsProvider::Result::kContinue && result != TlsProvider::Result::kDone) ||
          consumed > left) {
        Fail(provider_->Failure());
        return;
      }
      inputUsed_ += consumed;
      if (result == TlsProvider::Result::kContinue) {
        // A step that took nothing waits for more bytes, never loops.
        if (consumed == 0) return;
        continue;
      }
      if (renegotiating_) {
        renegotiating_ = false;
        continue;
      }
      if (std::string why = provider_->CheckPeer(); !why.empty()) {
        Fail(std::move(why));
        return;
      }
      state_ = State::kOpen;
      continue;
    }
    if (state_ != State::kOpen) return;
    const auto result = provider_->Decrypt(at, left, plain_, consumed);
    switch (result) {
      case TlsProvider::Result::kIncomplete:
        return;
      case TlsProvider::Result::kDone:
        if (consumed == 0 || consumed > left) {
          Fail(provider_->Failure());
          return;
        }
        inputUsed_ += consumed;
        break;
      case TlsProvider::Result::kRenegotiate:
        inputUsed_ += std::min(consumed, left);
        renegotiating_ = true;
        break;
      case TlsProvider::Result::kClosed:
        inputUsed_ = input_.size();
        state_ = State::kClosed;
        return;
      default:
        Fail(provider_->Failure());
        return;
    }
  }
}

bool TlsSession::Write(const void* data, std::size_t size) {
  if (state_ != State::kOpen) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::size_t most = std::max<std::size_t>(provider_->MaxPayload(), 1);
  while (size > 0) {
    const std::size_t n = std::min(size, most);
    if (!provider_->Encrypt(bytes, n, outgoing_)) {
      Fail(provider_->Failure());
      return false;
    }
    bytes += n;
    size -= n;
  }
  return true;
}

void TlsSession::Close() {
  if (state_ != State::kOpen) return;
  outgoing_ += provider_->Shutdown();
  state_ = State::kClosed;
}

std::string TlsSession::TakeOutgoing() { return std::exchange(outgoing_, std::string()); }

std::size_t TlsSession::Read(void* buffer, std::size_t size) {
  const std::size_t n = std::min(size, Readable());
  std::memcpy(buffer, plain_.data() + plainRead_, n);
  plainRead_ += n;
  if (plainRead_ == plain_.size()) {
    plain_.clear();
    plainRead_ = 0;
  } else if (plainRead_ >= kCompactAt) {
    plain_.erase(0, plainRead_);
    plainRead_ = 0;
  }
  return n;
}

}  // namespace corvan::net
