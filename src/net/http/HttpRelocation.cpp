#include "net/http/HttpRelocation.h"

#include "net/http/HttpHeaderText.h"
#include "net/http/NetUrl.h"

namespace corvan::http {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && LowerCase(text.substr(0, prefix.size())) == prefix;
}

bool IsHostRelative(std::string_view location) {
  return !location.empty() && location.front() == '/';
}

bool IsAbsolute(std::string_view location) {
  return StartsWithNoCase(location, "http://") || StartsWithNoCase(location, "https://");
}

// Credentials in a URL replace the request's only when both are given.
bool TakeCredentials(const TUrlParts& url, THttpTarget& target) {
  if (url.user.empty() || url.password.empty()) return false;
  target.user = url.user;
  target.password = url.password;
  return true;
}

THttpTarget DirectRelocation(THttpTarget next, std::string_view location, bool& credentialsGiven) {
  if (IsHostRelative(location)) {
    next.path = location;
    next.location = "http://" + next.targetHost + next.path;
    return next;
  }
  if (!IsAbsolute(location)) {
    next.path = UrlDirPart(next.path) + std::string(location);
    next.location = "http://" + next.targetHost + next.path;
    return next;
  }
  const TUrlParts url = SplitUrl(location, next.path);
  next.targetHost = url.host;
  next.path = url.path;
  next.targetPort = url.port.empty() ? DefaultPort(url.proto) : url.port;
  next.hostHeaderPort = next.targetPort;  // the new server's port goes into "Host:"
  next.protocol = url.proto;
  credentialsGiven = TakeCredentials(url, next);
  if (!url.proto.empty() && !url.host.empty()) {
    next.hostHeaderHost = next.targetHost;
    if (next.path.empty()) next.path = "/";
    next.location = url.proto + "://" + url.host + url.path;
    return next;
  }
  const std::string scheme = url.proto.empty() ? "http" : url.proto;
  if (next.path.empty()) {
    next.location = scheme + "://" + next.hostHeaderHost + "/" + next.targetHost;
    next.targetHost = next.hostHeaderHost;
    next.path = next.location;
  } else if (url.host.empty()) {
    next.location = scheme + "://" + next.hostHeaderHost + next.path;
    next.targetHost = next.hostHeaderHost;
  } else {
    next.hostHeaderHost = next.targetHost;
  }
  return next;
}

// Through a proxy the request path is a whole URL, and the connection
// always goes to the proxy: its host and port stay the target.
THttpTarget ProxyRelocation(THttpTarget next, std::string_view location, bool& credentialsGiven) {
  if (IsHostRelative(location)) {
    const TUrlParts current = SplitUrl(next.path);
    next.location = (current.proto.empty() ? "http" : current.proto) + "://" + current.host +
                    (current.port.empty() ? "" : ":" + current.port) + std::string(location);
    next.path = next.location;
    TakeCredentials(current, next);
    return next;
  }
  if (!IsAbsolute(location)) {
    next.path = UrlDirPart(next.path) + std::string(location);
    next.location = next.path;
    return next;
  }
  const TUrlParts url = SplitUrl(location);
  next.hostHeaderPort = url.port.empty() ? DefaultPort(url.proto) : url.port;
  // The protocol decides how the proxy is used (https: by a tunnel).
  next.protocol = url.proto.empty() ? "http" : url.proto;
  credentialsGiven = TakeCredentials(url, next);
  if (!url.proto.empty() && !url.host.empty()) {
    next.hostHeaderHost = url.host;
    next.location =
        url.proto + "://" + url.host + (url.port.empty() ? "" : ":" + url.port) + url.path;
    next.path = next.location;
    return next;
  }
  const std::string scheme = url.proto.empty() ? "http" : url.proto;
  if (url.path.empty()) {
    next.location = scheme + "://" + next.hostHeaderHost + "/" + url.host;
  } else if (url.host.empty()) {
    next.location = scheme + "://" + next.hostHeaderHost + url.path;
  } else {
    next.hostHeaderHost = url.host;
  }
  return next;
}

}  // namespace

bool SameServer(const THttpTarget& a, const THttpTarget& b) {
  return LowerCase(a.protocol) == LowerCase(b.protocol) &&
         LowerCase(a.hostHeaderHost) == LowerCase(b.hostHeaderHost) &&
         a.hostHeaderPort == b.hostHeaderPort;
}

THttpTarget RelocatedTarget(const THttpTarget& current, std::string_view location, bool viaProxy) {
  bool credentialsGiven = false;
  THttpTarget next = viaProxy ? ProxyRelocation(current, location, credentialsGiven)
                              : DirectRelocation(current, location, credentialsGiven);
  if (!credentialsGiven && !SameServer(current, next)) {
    next.user.clear();
    next.password.clear();
  }
  return next;
}

}  // namespace corvan::http
