#include "net/http/HttpRequestHeader.h"

#include <cstdio>

#include "net/http/HttpHeaderText.h"

namespace corvan::http {

std::string SanitizeRequestPath(std::string_view path) {
  std::string clean;
  if (!path.empty() && path.front() == '?') clean = "/";
  for (char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      clean += escaped;
    } else {
      clean += c;
    }
  }
  return clean;
}

std::vector<std::string> BuildRequestHeader(const TRequestHeaderFields& f) {
  std::vector<std::string> lines;
  auto add = [&lines](std::string_view name, const std::string& value) {
    if (!value.empty()) lines.push_back(std::string(name) + value);
  };
  const bool connect = f.method == "CONNECT";
  const bool upload = f.method == "POST" || f.method == "PUT";
  if (connect) {
    lines.push_back("CONNECT " + f.hostHeaderHost + ":" + f.hostHeaderPort + " HTTP/" + f.version);
  } else {
    lines.push_back(f.method + " " + SanitizeRequestPath(f.requestPath) + " HTTP/" + f.version);
    add("From: ", f.sender);
    add("Accept: ", f.accept);
    add("Referer: ", f.reference);
    add("Connection: ", f.connection);
    add("Accept-Language: ", f.acceptLanguage);
    if (f.method != "HEAD") add("Accept-Encoding: ", f.acceptEncoding);
    if (upload) add("Content-Type: ", f.contentType);
  }
  add("User-Agent: ", f.agent);
  if (f.hostHeaderPort.empty() || f.hostHeaderPort == "80") {
    lines.push_back("Host: " + f.hostHeaderHost);
  } else {
    lines.push_back("Host: " + f.hostHeaderHost + ":" + f.hostHeaderPort);
  }
  if (f.noCache) lines.push_back("Pragma: no-cache");
  add("Proxy-Connection: ", f.proxyConnection);
  if (connect) {
    lines.push_back("Content-Length: 0");
  } else if (upload && f.contentLength >= 0) {
    lines.push_back("Content-Length: " + std::to_string(f.contentLength));
  }
  if (f.modifiedSince != 0)
    lines.push_back("If-Modified-Since: " + FormatHttpDate(f.modifiedSince));
  add("Authorization: ", f.authorization);
  add("Proxy-Authorization: ", f.proxyAuthorization);
  add("Cookie: ", f.cookie);
  if (!f.rangeBegin.empty() || !f.rangeEnd.empty()) {
    lines.push_back("Range: bytes=" + f.rangeBegin + "-" + f.rangeEnd);
  }
  return lines;
}

}  // namespace corvan::http
