// THttpClient's answers to "401" (server) and "407" (proxy) challenges:
// Basic and NTLM version 1, and credentials sent before any challenge.
//
// Four state machines, one per side and scheme, reset at each request:
//   NTLM  0 none -> 1 negotiate message to send (a challenge offered NTLM,
//         or NTLM was asked for beforehand) -> 3 authenticate message to
//         send (the server's challenge arrived) -> 4 done (an answer other
//         than 401/407 came); 3 answered by another challenge -> 0, and the
//         request ends with it; 4 falls back to 0 on a new challenge.
//   Basic 0 none -> 1 credentials to send -> 2 done; 1 answered by another
//         challenge (credentials rejected) -> 0, and the request ends.
// The decision is taken each time the request reaches httpReady: a step
// that repeats the request cuts its answer away and restarts it.
#include <algorithm>

#include "common/Base64.h"
#include "net/http/HttpClient.h"
#include "net/http/HttpHeaderText.h"

namespace corvan::http {
namespace {

bool StartsWithNoCase(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() && LowerCase(text.substr(0, prefix.size())) == prefix;
}

// The last challenge of a scheme (the server's preference comes last).
const std::string* LastChallenge(const std::vector<std::string>& challenges,
                                 std::string_view scheme) {
  const auto found =
      std::find_if(challenges.rbegin(), challenges.rend(),
                   [scheme](const std::string& c) { return StartsWithNoCase(c, scheme); });
  return found == challenges.rend() ? nullptr : &*found;
}

std::string EncodeBasic(const std::string& user, const std::string& password) {
  return Base64Encode(user + ":" + password);
}

}  // namespace

void THttpClient::KeepAliveFor(std::string& connectionValue) const {
  if (requestVer_ == "1.0" || responseVersion_ == "1.0" || responseVersion_.empty()) {
    connectionValue = "Keep-alive";
  }
}

void THttpClient::PresetAuthStates(bool sameConnection) {
  authNTLMState_ = proxyAuthNTLMState_ = authBasicState_ = proxyAuthBasicState_ = 0;
  if (!Proxy.empty() && ProxyAuthKind != httpAuthNone && !ProxyUsername.empty() &&
      !ProxyPassword.empty()) {
    // An open connection to the proxy has been authenticated already.
    if (ProxyAuthKind == httpAuthNtlm) {
      proxyAuthNTLMState_ = sameConnection ? 4 : 1;
      KeepAliveFor(currentProxyConnection_);
    } else {
      proxyAuthBasicState_ = sameConnection ? 2 : 1;
    }
  }
  if (ServerAuthKind != httpAuthNone && !target_.user.empty() && !target_.password.empty()) {
    if (ServerAuthKind == httpAuthNtlm) {
      authNTLMState_ = 1;
      KeepAliveFor(currentConnection_);
    } else {
      authBasicState_ = 1;
    }
  }
}

void THttpClient::AuthorizationHeaders(std::string& server, std::string& proxy) const {
  server.clear();
  proxy.clear();
  if (proxyAuthNTLMState_ != 1) {
    if (authNTLMState_ == 1) {
      server = "NTLM " + NtlmMessage1();
    } else if (authNTLMState_ == 3) {
      server = "NTLM " + NtlmMessage3("", transport_.LocalHostName(), target_.user,
                                      target_.password, serverMsg2_.Challenge);
    } else if (authBasicState_ == 1) {
      server = "Basic " + EncodeBasic(target_.user, target_.password);
    }
  }
  if (proxyAuthNTLMState_ == 1) {
    proxy = "NTLM " + NtlmMessage1();
  } else if (proxyAuthNTLMState_ == 3) {
    proxy = "NTLM " + NtlmMessage3("", transport_.LocalHostName(), ProxyUsername, ProxyPassword,
                                   proxyMsg2_.Challenge);
  } else if (proxyAuthBasicState_ == 1) {
    proxy = "Basic " + EncodeBasic(ProxyUsername, ProxyPassword);
  }
}

void THttpClient::SettleAuthStates() {
  const bool server = statusCode_ == 401, proxy = statusCode_ == 407;
  if (authNTLMState_ == 3 && !server && !proxy) authNTLMState_ = 4;
  if (authNTLMState_ == 4 && server) authNTLMState_ = 0;
  if (proxyAuthNTLMState_ == 3 && !proxy) proxyAuthNTLMState_ = 4;
  if (proxyAuthNTLMState_ == 4 && proxy) proxyAuthNTLMState_ = 0;
  if (authBasicState_ == 1 && !server && !proxy) authBasicState_ = 2;
  if (authBasicState_ == 2 && server) authBasicState_ = 0;
  if (proxyAuthBasicState_ == 1 && !proxy) proxyAuthBasicState_ = 2;
  if (proxyAuthBasicState_ == 2 && proxy) proxyAuthBasicState_ = 0;
}

bool THttpClient::AuthenticationTakesOver() {
  // Only a challenge the server really sent is answered.
  if (requestType_ == rqNone || requestType_ == rqClose || failed_) return false;
  SettleAuthStates();
  bool again = false;
  bool handled = false;
  try {
    handled = PrepareNTLMAuth(again) || PrepareBasicAuth(again);
  } catch (const EHttpException&) {
    return false;  // a state no exchange leads to: the answer stands
  }
  if (!handled) return false;
  if (statusCode_ == 401) {
    // The proxy's authentication is needed again for the repeated request
    // when its connection goes.
    if (closeReq_) {
      if (proxyAuthNTLMState_ == 4) {
        proxyAuthNTLMState_ = 1;
      } else if (proxyAuthBasicState_ == 2) {
        proxyAuthBasicState_ = 1;
      }
    } else if (proxyAuthNTLMState_ < 4) {
      proxyAuthNTLMState_ = 0;
    } else if (proxyAuthBasicState_ < 2) {
      proxyAuthBasicState_ = 0;
    }
  }
  if (again) {
    // The challenge's own page is nobody's document.
    CutBackStreams();
    buffer_.Clear();
    const std::string docName = docName_, location = target_.location;
    ResetRequestState();
    docName_ = docName;
    target_.location = location;
  }
  return true;
}

bool THttpClient::PrepareNTLMAuth(bool& again) {
  const bool allowed = !(options_ & httpoNoNTLMAuth) ||
                       (statusCode_ == 401 && ServerAuthKind == httpAuthNtlm) ||
                       (statusCode_ == 407 && ProxyAuthKind == httpAuthNtlm);
  if (!allowed || challenges_.empty()) return false;
  if (statusCode_ == 401 && authBasicState_ == 0 && !target_.user.empty() &&
      !target_.password.empty()) {
    if (!LastChallenge(challenges_, "ntlm")) return false;
    StartAuthNTLM();
    again = authNTLMState_ == 1 || authNTLMState_ == 3;
    return true;
  }
  if (statusCode_ == 407 && proxyAuthBasicState_ == 0 && !ProxyUsername.empty() &&
      !ProxyPassword.empty()) {
    if (!LastChallenge(challenges_, "ntlm")) return false;
    StartProxyAuthNTLM();
    again = proxyAuthNTLMState_ == 1 || proxyAuthNTLMState_ == 3;
    return true;
  }
  return false;
}

bool THttpClient::PrepareBasicAuth(bool& again) {
  const bool allowed = !(options_ & httpoNoBasicAuth) ||
                       (statusCode_ == 401 && ServerAuthKind == httpAuthBasic) ||
                       (statusCode_ == 407 && ProxyAuthKind == httpAuthBasic);
  if (!allowed || !LastChallenge(challenges_, "basic")) return false;
  if (statusCode_ == 401 && authNTLMState_ == 0 && !target_.user.empty() &&
      !target_.password.empty()) {
    StartAuthBasic();
    again = authBasicState_ == 1;
    return true;
  }
  if (statusCode_ == 407 && proxyAuthNTLMState_ == 0 && !ProxyUsername.empty() &&
      !ProxyPassword.empty()) {
    StartProxyAuthBasic();
    again = proxyAuthBasicState_ == 1;
    return true;
  }
  return false;
}

// One step of an NTLM exchange (ntlm, the other scheme's state basic).
void THttpClient::NtlmStep(TAuthSide side) {
  switch (side.ntlm) {
    case 0:
      side.ntlm = 1;
      side.basic = 0;
      KeepAliveFor(side.connection);  // the exchange needs one connection
      Defer(restart_, WM_HTTP_RESTART);
      break;
    case 1: {
      // A bare "NTLM" here refuses the negotiate message: no challenge to
      // answer, so the request ends with this 401/407 like a refusal.
      const std::string& challenge = *LastChallenge(challenges_, "ntlm");
      if (challenge.size() > 5) {
        side.msg2 = NtlmParseMessage2(std::string_view(challenge).substr(5, 1000));
        side.ntlm = 3;
        Defer(restart_, WM_HTTP_RESTART);
        break;
      }
      [[fallthrough]];
    }
    case 3:  // the authenticate message was refused
      challenges_.clear();
      side.ntlm = 0;
      environment_.Post(WM_HTTP_DONE);
      break;
    default:
      throw EHttpException(
          side.proxy ? "Unexpected ProxyAuthNTLMState" : "Unexpected AuthNTLMState",
          httpexAuthState);
  }
}

void THttpClient::BasicStep(TAuthSide side) {
  switch (side.basic) {
    case 0:
      side.basic = 1;
      side.ntlm = 0;
      Defer(restart_, WM_HTTP_RESTART);
      break;
    case 1:  // the credentials were refused
      challenges_.clear();
      side.basic = 0;
      environment_.Post(WM_HTTP_DONE);
      break;
    default:
      throw EHttpException(
          side.proxy ? "Unexpected ProxyAuthBasicState" : "Unexpected AuthBasicState",
          httpexAuthState);
  }
}

THttpClient::TAuthSide THttpClient::ServerSide() {
  return {authNTLMState_, authBasicState_, currentConnection_, serverMsg2_, false};
}

THttpClient::TAuthSide THttpClient::ProxySide() {
  return {proxyAuthNTLMState_, proxyAuthBasicState_, currentProxyConnection_, proxyMsg2_, true};
}

void THttpClient::StartAuthNTLM() { NtlmStep(ServerSide()); }
void THttpClient::StartProxyAuthNTLM() { NtlmStep(ProxySide()); }
void THttpClient::StartAuthBasic() { BasicStep(ServerSide()); }
void THttpClient::StartProxyAuthBasic() { BasicStep(ProxySide()); }

}  // namespace corvan::http
