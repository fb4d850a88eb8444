// The next target of a relocation, case by case: every kind of Location
// value, directly and through a proxy.
#include "net/http/HttpRelocation.h"

#include <gtest/gtest.h>

namespace corvan::http {
namespace {

// A request for http://www.example.nl:8000/dir/page.htm?q=1 as user "u".
THttpTarget Direct() {
  return {"www.example.nl",
          "8000",
          "www.example.nl",
          "8000",
          "http",
          "/dir/page.htm?q=1",
          "http://www.example.nl:8000/dir/page.htm?q=1",
          "u",
          "p"};
}

// The same request through the proxy proxy.local:3128.
THttpTarget ViaProxy() {
  THttpTarget t = Direct();
  t.targetHost = "proxy.local";
  t.targetPort = "3128";
  t.path = "http://www.example.nl:8000/dir/page.htm?q=1";
  return t;
}

// Credentials stay with the server they were given for.
void Anonymous(THttpTarget& t) { t.user = t.password = ""; }

struct Case {
  const char* name;
  bool proxy;
  const char* location;
  // What changes against the starting target.
  void (*expect)(THttpTarget&);
};

const Case kCases[] = {
    // Host-relative: same server; the location names it without port.
    {"path", false, "/new/file.exe",
     [](THttpTarget& t) {
       t.path = "/new/file.exe";
       t.location = "http://www.example.nl/new/file.exe";
     }},
    // Relative to the current directory, the query dropped.
    {"relative", false, "other.htm?x",
     [](THttpTarget& t) {
       t.path = "/dir/other.htm?x";
       t.location = "http://www.example.nl/dir/other.htm?x";
     }},
    {"empty is the directory", false, "",
     [](THttpTarget& t) {
       t.path = "/dir/";
       t.location = "http://www.example.nl/dir/";
     }},
    // Absolute: another server and port; both go into "Host:".
    {"absolute", false, "http://mirror.example.org:8080/x.exe",
     [](THttpTarget& t) {
       t.targetHost = t.hostHeaderHost = "mirror.example.org";
       t.targetPort = t.hostHeaderPort = "8080";
       t.path = "/x.exe";
       t.location = "http://mirror.example.org/x.exe";
       Anonymous(t);
     }},
    {"absolute without port or path", false, "HTTP://Mirror.example.org",
     [](THttpTarget& t) {
       t.targetHost = t.hostHeaderHost = "Mirror.example.org";
       t.targetPort = t.hostHeaderPort = "80";
       t.path = "/";
       t.location = "http://Mirror.example.org";
       Anonymous(t);
     }},
    {"https relocation goes to port 443 over TLS", false, "https://secure.example/a",
     [](THttpTarget& t) {
       t.targetHost = t.hostHeaderHost = "secure.example";
       t.targetPort = t.hostHeaderPort = "443";
       t.protocol = "https";
       t.path = "/a";
       t.location = "https://secure.example/a";
       Anonymous(t);
     }},
    // Credentials replace the request's only when both are given.
    {"credentials", false, "http://v:w@h2/a",
     [](THttpTarget& t) {
       t.targetHost = t.hostHeaderHost = "h2";
       t.targetPort = t.hostHeaderPort = "80";
       t.path = "/a";
       t.location = "http://h2/a";
       t.user = "v";
       t.password = "w";
     }},
    {"user alone is ignored", false, "http://v@h2/a",
     [](THttpTarget& t) {
       t.targetHost = t.hostHeaderHost = "h2";
       t.targetPort = t.hostHeaderPort = "80";
       t.path = "/a";
       t.location = "http://h2/a";
       Anonymous(t);
     }},
    // An absolute URL without a host stays on the current server.
    {"absolute without host", false, "http:///a",
     [](THttpTarget& t) {
       t.targetPort = t.hostHeaderPort = "80";
       t.path = "/a";
       t.location = "http://www.example.nl/a";
       Anonymous(t);
     }},

    // Through the proxy: the connection stays with it.
    {"proxy path", true, "/new",
     [](THttpTarget& t) { t.path = t.location = "http://www.example.nl:8000/new"; }},
    {"proxy relative", true, "b.htm",
     [](THttpTarget& t) { t.path = t.location = "http://www.example.nl:8000/dir/b.htm"; }},
    {"proxy absolute", true, "http://other.example:81/b",
     [](THttpTarget& t) {
       t.hostHeaderHost = "other.example";
       t.hostHeaderPort = "81";
       t.path = t.location = "http://other.example:81/b";
       Anonymous(t);
     }},
    {"proxy https relocation carries the protocol", true, "https://secure.example/a",
     [](THttpTarget& t) {
       t.hostHeaderHost = "secure.example";
       t.hostHeaderPort = "443";
       t.protocol = "https";
       t.path = t.location = "https://secure.example/a";
       Anonymous(t);
     }},
    {"proxy absolute with credentials", true, "http://v:w@other.example/b",
     [](THttpTarget& t) {
       t.hostHeaderHost = "other.example";
       t.hostHeaderPort = "80";
       t.path = t.location = "http://other.example/b";
       t.user = "v";
       t.password = "w";
     }},
    {"proxy absolute without host", true, "http:///b",
     [](THttpTarget& t) {
       t.hostHeaderPort = "80";
       t.location = "http://www.example.nl/b";
       Anonymous(t);
     }},
};

TEST(RelocatedTarget, EveryKindOfLocation) {
  for (const Case& c : kCases) {
    const THttpTarget start = c.proxy ? ViaProxy() : Direct();
    THttpTarget expected = start;
    c.expect(expected);
    const THttpTarget next = RelocatedTarget(start, c.location, c.proxy);
    EXPECT_EQ(next.targetHost, expected.targetHost) << c.name;
    EXPECT_EQ(next.targetPort, expected.targetPort) << c.name;
    EXPECT_EQ(next.hostHeaderHost, expected.hostHeaderHost) << c.name;
    EXPECT_EQ(next.hostHeaderPort, expected.hostHeaderPort) << c.name;
    EXPECT_EQ(next.protocol, expected.protocol) << c.name;
    EXPECT_EQ(next.path, expected.path) << c.name;
    EXPECT_EQ(next.location, expected.location) << c.name;
    EXPECT_EQ(next.user, expected.user) << c.name;
    EXPECT_EQ(next.password, expected.password) << c.name;
  }
}

TEST(RelocatedTarget, SameServerMeansSchemeHostAndPort) {
  THttpTarget other = Direct();
  EXPECT_TRUE(SameServer(Direct(), other));
  other.hostHeaderHost = "WWW.Example.NL";
  EXPECT_TRUE(SameServer(Direct(), other));
  other.hostHeaderPort = "80";
  EXPECT_FALSE(SameServer(Direct(), other));
  other = Direct();
  other.protocol = "https";
  EXPECT_FALSE(SameServer(Direct(), other));
  other = Direct();
  other.targetHost = "proxy.local";  // the connection is not the server
  EXPECT_TRUE(SameServer(Direct(), other));
}

TEST(RelocatedTarget, ProxyPathKeepsTheCredentialsOfTheCurrentUrl) {
  THttpTarget start = ViaProxy();
  start.path = "http://a:b@www.example.nl/x";
  const THttpTarget next = RelocatedTarget(start, "/y", true);
  EXPECT_EQ(next.location, "http://www.example.nl/y");
  EXPECT_EQ(next.user, "a");
  EXPECT_EQ(next.password, "b");
}

}  // namespace
}  // namespace corvan::http
