#pragma once
// The CONNECT exchange that opens a tunnel through an HTTP proxy, for TLS
// to the server behind it. Shared by the HTTP client and the report
// upload. Portable, pure.
#include <cstddef>
#include <string>
#include <string_view>

namespace corvan::net {

// "CONNECT host:port HTTP/1.1" with its Host line, a Proxy-Authorization
// line when one is given (its whole value), and the empty line.
inline std::string TunnelRequest(std::string_view host, std::string_view port,
                                 std::string_view proxyAuthorization = {}) {
  const std::string hostPort = std::string(host) + ":" + std::string(port);
  std::string request = "CONNECT " + hostPort + " HTTP/1.1\r\nHost: " + hostPort + "\r\n";
  if (!proxyAuthorization.empty())
    request += "Proxy-Authorization: " + std::string(proxyAuthorization) + "\r\n";
  return request + "\r\n";
}

enum class TunnelReply { kIncomplete, kOpen, kRefused };

// The proxy's reply so far. Interim 1xx answers are passed over; a 2xx
// opens the tunnel, and headLength counts the reply's bytes up to its empty
// line (what follows is the server's); anything else refuses. status: the
// final status code, 0 while incomplete or unreadable.
inline TunnelReply JudgeTunnelReply(std::string_view received, std::size_t& headLength,
                                    int& status) {
  headLength = 0;
  status = 0;
  for (;;) {
    const std::size_t end = received.find("\r\n\r\n", headLength);
    if (end == std::string_view::npos) return TunnelReply::kIncomplete;
    const std::string_view line = received.substr(headLength, end - headLength);
    const std::size_t blank = line.find(' ');
    if (!line.starts_with("HTTP/1.") || blank == std::string_view::npos ||
        line.size() < blank + 4) {
      return TunnelReply::kRefused;
    }
    const std::string_view code = line.substr(blank + 1, 3);
    for (const char c : code) {
      if (c < '0' || c > '9') return TunnelReply::kRefused;
    }
    headLength = end + 4;
    status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    if (code[0] == '1') {
      status = 0;
      continue;
    }
    return code[0] == '2' ? TunnelReply::kOpen : TunnelReply::kRefused;
  }
}

}  // namespace corvan::net
