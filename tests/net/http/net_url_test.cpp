#include "net/http/NetUrl.h"

#include <gtest/gtest.h>

namespace corvan::http {
namespace {

void ExpectParts(const TUrlParts& p, const char* proto, const char* user, const char* password,
                 const char* host, const char* port, const char* path) {
  EXPECT_EQ(p.proto, proto);
  EXPECT_EQ(p.user, user);
  EXPECT_EQ(p.password, password);
  EXPECT_EQ(p.host, host);
  EXPECT_EQ(p.port, port);
  EXPECT_EQ(p.path, path);
}

TEST(PosNth, CountsFromStartOrEnd) {
  EXPECT_EQ(PosNth(":", "a:b:c", -1), 4);
  EXPECT_EQ(PosNth(":", "a:b:c", 1), 2);
  EXPECT_EQ(PosNth(":", "a:b:c", 2), 4);
  EXPECT_EQ(PosNth(":", "a:b:c", 3), 6);  // behind the end: not found
  EXPECT_EQ(PosNth(":", "a:b:c", 0), 0);
  EXPECT_EQ(PosNth(":", "abc", -1), 0);
  EXPECT_EQ(PosNth("", "abc", 1), 4);
  EXPECT_EQ(PosNth("", "abc", -1), 0);
}

TEST(PosNth, MatchesMayOverlap) {
  EXPECT_EQ(PosNth("aa", "aaaa", 2), 2);
  EXPECT_EQ(PosNth("aa", "aaaa", 3), 3);
  EXPECT_EQ(PosNth("aa", "aaaa", 4), 5);
  EXPECT_EQ(PosNth("aa", "aaaa", -1), 3);
}

TEST(SplitUrl, AbsoluteUrls) {
  ExpectParts(SplitUrl("http://www.example.net/downloads/Setup_UltraVNC_64.exe"), "http", "", "",
              "www.example.net", "", "/downloads/Setup_UltraVNC_64.exe");
  ExpectParts(SplitUrl("http://u:p@h:8080/a?b"), "http", "u", "p", "h", "8080", "/a?b");
  ExpectParts(SplitUrl("HTTP://Host"), "http", "", "", "Host", "", "");
  ExpectParts(SplitUrl("ftp://u@h"), "ftp", "u", "", "h", "", "");
  ExpectParts(SplitUrl("http://h?q=1"), "http", "", "", "h", "", "?q=1");
  ExpectParts(SplitUrl("svn+ssh://h:22/r"), "svn+ssh", "", "", "h", "22", "/r");
  // A password may hold a colon; the user ends at the first one.
  ExpectParts(SplitUrl("http://u:p:q@h/"), "http", "u", "p:q", "h", "", "/");
  // A colon before the last "@" belongs to the user information.
  ExpectParts(SplitUrl("http://u:p@h/"), "http", "u", "p", "h", "", "/");
  ExpectParts(SplitUrl("://h/x"), "", "", "", "h", "", "/x");
}

TEST(SplitUrl, WithoutScheme) {
  ExpectParts(SplitUrl("h:81"), "", "", "", "h", "81", "");
  ExpectParts(SplitUrl("host"), "", "", "", "host", "", "");
  ExpectParts(SplitUrl("/a/b.htm"), "http", "", "", "", "", "/a/b.htm");
  ExpectParts(SplitUrl("/"), "http", "", "", "", "", "");
  // Protocol-relative: the host follows the two slashes.
  ExpectParts(SplitUrl("//h:81/p"), "http", "", "", "h", "81", "/p");
  ExpectParts(SplitUrl("http:/x"), "http", "", "", "", "", "/x");
  ExpectParts(SplitUrl("mailto:someone@example.org"), "mailto", "someone", "", "example.org", "",
              "");
}

TEST(SplitUrl, RejectedSchemeIsReadAsAuthority) {
  ExpectParts(SplitUrl("my host://x/y"), "http", "", "", "my host", "", "//x/y");
  ExpectParts(SplitUrl("a_b://h"), "http", "", "", "a_b", "", "//h");
}

TEST(SplitUrl, RelativeToBase) {
  EXPECT_EQ(SplitUrl("./c.htm", "/x/y/z.htm").path, "/x/y/c.htm");
  EXPECT_EQ(SplitUrl("../c.htm", "/x/y/z.htm").path, "/x/c.htm");
  EXPECT_EQ(SplitUrl("../../c.htm", "/x/y/z.htm").path, "/c.htm");
  EXPECT_EQ(SplitUrl("../../../../c.htm", "/x/y/z.htm").path, "/c.htm");
  EXPECT_EQ(SplitUrl("./c.htm", "nodir").path, "/c.htm");
  EXPECT_EQ(SplitUrl("../c", "").path, "/c");
  ExpectParts(SplitUrl("./c", "/a/"), "", "", "", "", "", "/a/c");
}

TEST(SplitUrl, OutputsAreClearedAndPathIsTheBase) {
  std::string proto = "x", user = "x", password = "x", host = "x", port = "x", path = "/d/e.htm";
  SplitUrl("./f.htm", proto, user, password, host, port, path);
  EXPECT_EQ(path, "/d/f.htm");
  EXPECT_TRUE(proto.empty() && user.empty() && password.empty() && host.empty() && port.empty());
  SplitUrl("", proto, user, password, host, port, path);
  EXPECT_TRUE(path.empty());
}

}  // namespace
}  // namespace corvan::http
