#pragma once
// Where the next request of a relocation goes: the value of a "Location"
// answer header applied to the current request's target. Portable, pure.
#include <string>
#include <string_view>

namespace corvan::http {

// The parts of a request that decide where it goes and what it asks for.
struct THttpTarget {
  std::string targetHost, targetPort;          // where the connection goes (server or proxy)
  std::string hostHeaderHost, hostHeaderPort;  // what the "Host:" line names
  std::string protocol;
  std::string path;            // the request path; through a proxy the whole URL
  std::string location;        // the URL the request is taken to ask for
  std::string user, password;  // credentials of the request

  bool operator==(const THttpTarget&) const = default;
};

// The target after a relocation to the header value location (leading
// blanks already removed):
// - "/path" stays on the same server;
// - a relative reference ("page.htm") is taken against the directory of
//   the current path;
// - an absolute "http://" or "https://" URL names the new server, its port
//   ("80" when none) and, when it carries both, new credentials.
// The request's credentials never go to another server (scheme, host or
// port): unless the URL brings its own, they are dropped.
// Through a proxy (viaProxy) the connection keeps going to the proxy: the
// target host and port stay, and the request path is the whole new URL.
THttpTarget RelocatedTarget(const THttpTarget& current, std::string_view location, bool viaProxy);

// Whether two targets name the same server: scheme, "Host:" host (in any
// case) and port.
bool SameServer(const THttpTarget& a, const THttpTarget& b);

}  // namespace corvan::http
