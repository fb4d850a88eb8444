#include "net/socket/NetSocksNegotiation.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/socket/NetAddress.h"

namespace corvan::net {
namespace {

constexpr std::uint8_t kSocks4ReplyVersion = 0;
constexpr std::uint8_t kSocks4Granted = 90;
constexpr std::size_t kSocks4ReplyLength = 8;
constexpr std::uint8_t kMethodNone = 0;
constexpr std::uint8_t kMethodUserPassword = 2;
constexpr std::uint8_t kAddressIPv4 = 1;
constexpr std::uint8_t kAddressName = 3;
constexpr std::uint8_t kAddressIPv6 = 4;
constexpr std::size_t kMaxField = 255;  // one length byte

void AppendPort(std::string& out, std::uint16_t port) {
  out += static_cast<char>(port >> 8);
  out += static_cast<char>(port & 0xFF);
}

// Length byte and bytes of a name or credential.
void AppendCounted(std::string& out, const std::string& text) {
  out += static_cast<char>(text.size());
  out += text;
}

std::string IPv6Text(const std::uint8_t* bytes) {
  std::string text;
  char group[8];
  for (int i = 0; i < 16; i += 2) {
    std::snprintf(group, sizeof group, "%s%x", i ? ":" : "", (bytes[i] << 8) | bytes[i + 1]);
    text += group;
  }
  return text;
}

}  // namespace

std::string Socks5ReplyText(int code) {
  static const char* const kTexts[] = {
      "general SOCKS server failure", "connection not allowed by ruleset",
      "network unreachable",          "host unreachable",
      "connection refused",           "time to live expired",
      "command not supported",        "address type not supported"};
  if (code >= 1 && code <= 8) return kTexts[code - 1];
  return "unassigned error #" + std::to_string(code);
}

void TSocksNegotiation::Reset() {
  state_ = failedIn_ = State::Idle;
  fill_ = 0;
  boundAddr_.clear();
  boundPort_.clear();
  error_ = 0;
  message_.clear();
}

TSocksStep TSocksNegotiation::Fail(int error, std::string message) {
  failedIn_ = state_;
  state_ = State::Failed;
  error_ = error;
  message_ = std::move(message);
  TSocksStep step;
  step.kind = TSocksStep::Failed;
  step.error = error_;
  step.message = message_;
  return step;
}

TSocksStep TSocksNegotiation::Begin(const TSocksRequest& request) {
  Reset();
  request_ = request;
  const bool tooLong = request.host.size() > kMaxField || request.usercode.size() > kMaxField ||
                       request.password.size() > kMaxField;
  if (tooLong) return Fail(socks::kLogicError, "socks request too long");
  if (request.level != TSocksRequest::Socks5) return ConnectRequest();
  TSocksStep step;
  step.kind = TSocksStep::Send;
  step.bytes = {5, 1, static_cast<char>(request.authenticate ? kMethodUserPassword : kMethodNone)};
  state_ = State::Methods;
  return step;
}

TSocksStep TSocksNegotiation::ConnectRequest() {
  TSocksStep step;
  step.kind = TSocksStep::Send;
  std::string& out = step.bytes;
  if (request_.level == TSocksRequest::Socks5) {
    out = {5, 1, 0, static_cast<char>(kAddressName)};
    AppendCounted(out, request_.host);
    AppendPort(out, request_.port);
  } else {
    out = {4, 1};
    AppendPort(out, request_.port);
    if (request_.level == TSocksRequest::Socks4) {
      out.append(reinterpret_cast<const char*>(&request_.address), 4);
    } else {
      out += std::string("\0\0\0\1", 4);  // 0.0.0.1: the name follows
    }
    out += request_.usercode;
    out += '\0';
    if (request_.level == TSocksRequest::Socks4A) {
      out += request_.host;
      out += '\0';
    }
  }
  state_ = State::Connect;
  fill_ = 0;
  return step;
}

std::size_t TSocksNegotiation::ExpectedLength() const {
  switch (state_) {
    case State::Methods:
    case State::Authenticate:
      return 2;
    case State::Connect:
      if (request_.level != TSocksRequest::Socks5) return kSocks4ReplyLength;
      if (fill_ < 5) return 5;
      switch (reply_[3]) {
        case kAddressIPv4:
          return 10;
        case kAddressName:
          return 7 + std::size_t{reply_[4]};
        case kAddressIPv6:
          return 22;
        default:
          return 5;
      }
    default:
      return 0;
  }
}

std::size_t TSocksNegotiation::ReadSize() const {
  const std::size_t expected = ExpectedLength();
  return expected > fill_ ? expected - fill_ : 0;
}

TSocksStep TSocksNegotiation::Feed(const std::uint8_t* data, std::size_t size) {
  TSocksStep step;
  if (state_ == State::Failed) {
    step.kind = TSocksStep::Failed;
    step.error = error_;
    step.message = message_;
    return step;
  }
  if (state_ == State::Granted) step.kind = TSocksStep::Granted;
  if (state_ == State::Idle || state_ == State::Granted) return step;

  std::size_t used = 0;
  while (used < size) {
    const std::size_t take = std::min(ReadSize(), size - used);
    std::memcpy(reply_ + fill_, data + used, take);
    fill_ += take;
    used += take;
    switch (state_) {
      case State::Methods:
        step = OnMethods();
        break;
      case State::Authenticate:
        step = OnAuthenticate();
        break;
      default:
        step = request_.level == TSocksRequest::Socks5 ? OnSocks5Reply() : OnSocks4Reply();
        break;
    }
    if (step.kind != TSocksStep::NeedMore) break;
  }
  step.consumed = used;
  return step;
}

TSocksStep TSocksNegotiation::OnMethods() {
  if (fill_ < 2) return {};
  if (reply_[0] != 5) return Fail(socks::kVersionError, "socks version error");
  fill_ = 0;
  if (reply_[1] == kMethodNone) {
    TSocksStep step = ConnectRequest();
    if (request_.authenticate) {
      step.hasAuthState = true;
      step.authState = socksAuthNotRequired;
    }
    return step;
  }
  if (reply_[1] != kMethodUserPassword) {
    return Fail(socks::kMethodNotAcceptable, "authentification method not acceptable");
  }
  TSocksStep step;
  step.kind = TSocksStep::Send;
  step.hasAuthState = true;
  step.authState = socksAuthStart;
  step.bytes = {1};
  AppendCounted(step.bytes, request_.usercode);
  AppendCounted(step.bytes, request_.password);
  state_ = State::Authenticate;
  return step;
}

TSocksStep TSocksNegotiation::OnAuthenticate() {
  if (fill_ >= 1 && reply_[0] != 1) return Fail(socks::kVersionError, "socks version error");
  if (fill_ < 2) return {};
  if (reply_[1] != 0) return Fail(socks::kAuthenticationFailed, "socks authentication failed");
  TSocksStep step = ConnectRequest();
  step.hasAuthState = true;
  step.authState = socksAuthSuccess;
  return step;
}

TSocksStep TSocksNegotiation::OnSocks4Reply() {
  if (fill_ < kSocks4ReplyLength) return {};
  fill_ = 0;
  if (reply_[0] != kSocks4ReplyVersion) return Fail(socks::kVersionError, "socks version error");
  switch (reply_[1]) {
    case kSocks4Granted: {
      state_ = State::Granted;
      TSocksStep step;
      step.kind = TSocksStep::Granted;
      return step;
    }
    case 91:
      return Fail(socks::kRequestRejected, "request rejected or failed");
    case 92:
      return Fail(20008, "connection refused");
    case 93:
      return Fail(socks::kAuthenticationFailed, "authentification failed");
    default:
      return Fail(socks::kUnassigned, "unassigned error #" + std::to_string(reply_[1]));
  }
}

TSocksStep TSocksNegotiation::OnSocks5Reply() {
  if (fill_ >= 1 && reply_[0] != 5) return Fail(socks::kVersionError, "socks version error");
  if (fill_ >= 2 && reply_[1] != 0) {
    const int code = reply_[1];
    return Fail(code <= 8 ? 20003 + code : socks::kUnassigned, Socks5ReplyText(code));
  }
  if (fill_ < 5) return {};
  const std::uint8_t type = reply_[3];
  if (type != kAddressIPv4 && type != kAddressName && type != kAddressIPv6) {
    return Fail(socks::kAddressTypeNotSupported, "address type not supported");
  }
  const std::size_t total = ExpectedLength();
  if (fill_ < total) return {};
  if (type == kAddressIPv4) {
    boundAddr_ =
        FormatDottedIP((std::uint32_t{reply_[4]} << 24) | (std::uint32_t{reply_[5]} << 16) |
                       (std::uint32_t{reply_[6]} << 8) | reply_[7]);
  } else if (type == kAddressName) {
    boundAddr_.assign(reinterpret_cast<const char*>(reply_ + 5), reply_[4]);
  } else {
    boundAddr_ = IPv6Text(reply_ + 4);
  }
  boundPort_ = std::to_string((reply_[total - 2] << 8) | reply_[total - 1]);
  fill_ = 0;
  state_ = State::Granted;
  TSocksStep step;
  step.kind = TSocksStep::Granted;
  return step;
}

}  // namespace corvan::net
