#pragma once
// The request header lines the client writes, in their fixed order.
// Portable.
#include <string>
#include <string_view>
#include <vector>

namespace corvan::http {

struct TRequestHeaderFields {
  std::string method;  // "GET", "POST", "PUT", "HEAD" or "CONNECT"
  std::string requestPath;
  std::string version;  // "1.0" or "1.1"
  std::string sender, accept, reference, connection, acceptLanguage;
  std::string acceptEncoding;  // empty: no line; never for HEAD
  std::string contentType;     // POST and PUT only
  std::string agent;
  std::string hostHeaderHost, hostHeaderPort;
  bool noCache = false;
  std::string proxyConnection;
  // POST/PUT body length, or 0 for CONNECT; negative: no line.
  long long contentLength = -1;
  double modifiedSince = 0;                       // day count; 0: no line
  std::string authorization, proxyAuthorization;  // whole values, or empty
  std::string cookie;
  std::string rangeBegin, rangeEnd;
};

// The lines without their CR LF; the empty line that ends the header is
// not included.
std::vector<std::string> BuildRequestHeader(const TRequestHeaderFields& fields);

// A request path fit for the request line: control characters and blanks
// percent-encoded, a bare query given its "/".
std::string SanitizeRequestPath(std::string_view path);

}  // namespace corvan::http
