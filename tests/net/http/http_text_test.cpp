// The portable text and byte rules of the HTTP client.
#include <gtest/gtest.h>

#include "net/http/HttpChunkDecoder.h"
#include "net/http/HttpContentCoding.h"
#include "net/http/HttpHeaderText.h"
#include "net/http/HttpReceiveBuffer.h"
#include "net/http/HttpRequestHeader.h"

namespace corvan::http {
namespace {

TEST(StatusLine, CodeAndReason) {
  auto s = ParseStatusLine("HTTP/1.1 404 Not Found");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, "1.1");
  EXPECT_EQ(s->statusCode, 404);
  EXPECT_EQ(s->reasonPhrase, "Not Found");
  s = ParseStatusLine("HTTP/1.0   200");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->statusCode, 200);
  EXPECT_EQ(s->reasonPhrase, "");
  EXPECT_FALSE(ParseStatusLine("HTTP/1.0 2x0 Bad"));
  EXPECT_FALSE(ParseStatusLine("HTTP/1.0 20"));
  EXPECT_FALSE(ParseStatusLine("HTTP/2 200 OK"));
  EXPECT_FALSE(ParseStatusLine("http/1.0 200 OK"));
}

TEST(HeaderField, NameLowerValueWithoutLeadingBlanks) {
  auto f = ParseHeaderField("Content-Length:   42 ");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->name, "content-length");
  EXPECT_EQ(f->value, "42 ");
  EXPECT_FALSE(ParseHeaderField("no colon here"));
  EXPECT_EQ(ParseDecimal(" 42 "), 42);
  EXPECT_FALSE(ParseDecimal("4 2"));
  EXPECT_FALSE(ParseDecimal("99999999999999999999"));
}

TEST(DocNames, FromPathsAndTypes) {
  EXPECT_EQ(DeriveDocName("/downloads/Setup.exe"), "Setup.exe");
  EXPECT_EQ(DeriveDocName("/a/b/?x=/y"), "document.htm");
  EXPECT_EQ(DeriveDocName("/a/page.php?x=1"), "page.php");
  EXPECT_EQ(DeriveDocName(""), "document.htm");
  EXPECT_EQ(HtmlDocName("Setup.exe", "text/html"), "Setup.htm");
  EXPECT_EQ(HtmlDocName("readme", "text/html"), "readme.htm");
  EXPECT_EQ(HtmlDocName("Setup.exe", "application/octet-stream"), "Setup.exe");
  EXPECT_EQ(HtmlDocName("page.php", "text/html"), "page.php");
  EXPECT_EQ(UrlDirPart("/a/b/c.htm?x=/y"), "/a/b/");
  EXPECT_EQ(UrlDirPart("c.htm"), "");
}

TEST(HttpDate, DayNamesAndFields) {
  // 2020-01-01 is day 43831 and a Wednesday.
  EXPECT_EQ(FormatHttpDate(43831.5), "Wed, 01 Jan 2020 12:00:00 GMT");
  EXPECT_EQ(FormatHttpDate(36526 + 59 + 0.25), "Tue, 29 Feb 2000 06:00:00 GMT");
}

TEST(HttpDate, SecondsAreTruncatedNotRounded) {
  const double day = 43831;  // 2020-01-01
  auto at = [day](int h, int m, int s, int ms) {
    return day + (((h * 60 + m) * 60 + s) * 1000 + ms) / 86400000.0;
  };
  EXPECT_EQ(FormatHttpDate(at(10, 20, 30, 700)), "Wed, 01 Jan 2020 10:20:30 GMT");
  EXPECT_EQ(FormatHttpDate(at(10, 20, 30, 0)), "Wed, 01 Jan 2020 10:20:30 GMT");
  EXPECT_EQ(FormatHttpDate(at(10, 20, 30, 999)), "Wed, 01 Jan 2020 10:20:30 GMT");
  EXPECT_EQ(FormatHttpDate(at(23, 59, 59, 999)), "Wed, 01 Jan 2020 23:59:59 GMT");
}

TEST(HttpDate, DatesBeforeDayZero) {
  // Day 0 is Saturday 1899-12-30; -1.25 is Friday 1899-12-29, 06:00.
  EXPECT_EQ(FormatHttpDate(0), "Sat, 30 Dec 1899 00:00:00 GMT");
  EXPECT_EQ(FormatHttpDate(-1.25), "Fri, 29 Dec 1899 06:00:00 GMT");
  // 1800-01-01 was a Wednesday, 1601-01-01 a Monday.
  EXPECT_EQ(FormatHttpDate(-36522), "Wed, 01 Jan 1800 00:00:00 GMT");
  EXPECT_EQ(FormatHttpDate(-109205.5), "Mon, 01 Jan 1601 12:00:00 GMT");
}

TEST(RequestHeader, OptionalLinesInOrder) {
  TRequestHeaderFields f;
  f.method = "POST";
  f.requestPath = "/form";
  f.version = "1.1";
  f.sender = "me@example.nl";
  f.accept = "*/*";
  f.connection = "Keep-Alive";
  f.acceptEncoding = "identity;q=0";
  f.contentType = "text/plain";
  f.agent = "A";
  f.hostHeaderHost = "h";
  f.hostHeaderPort = "8080";
  f.noCache = true;
  f.contentLength = 12;
  f.cookie = "c=1";
  f.rangeBegin = "10";
  EXPECT_EQ(BuildRequestHeader(f),
            (std::vector<std::string>{"POST /form HTTP/1.1", "From: me@example.nl", "Accept: */*",
                                      "Connection: Keep-Alive", "Accept-Encoding: identity;q=0",
                                      "Content-Type: text/plain", "User-Agent: A", "Host: h:8080",
                                      "Pragma: no-cache", "Content-Length: 12", "Cookie: c=1",
                                      "Range: bytes=10-"}));
  f.method = "HEAD";
  const auto head = BuildRequestHeader(f);
  EXPECT_EQ(std::count_if(head.begin(), head.end(),
                          [](const std::string& l) {
                            return l.starts_with("Accept-Encoding") || l.starts_with("Content-");
                          }),
            0);
}

TEST(ReceiveBuffer, LinesAcrossNulAndOverflow) {
  THttpReceiveBuffer b;
  const std::string data("ab\0c\r\nd\n\r\n", 10);
  std::copy(data.begin(), data.end(), b.WritePointer());
  b.Commit(data.size());
  EXPECT_EQ(b.TakeLine(), std::string("ab\0c", 4));
  EXPECT_EQ(b.TakeLine(), "d");
  EXPECT_EQ(b.TakeLine(), "");
  EXPECT_FALSE(b.TakeLine());
  // Fill it to the brim with one line, then find its end in a probe.
  std::fill_n(b.WritePointer(), b.FreeSpace(), 'x');
  b.Commit(b.FreeSpace());
  EXPECT_EQ(b.Fill(), THttpReceiveBuffer::kCapacity);
  const std::string noEnd(25, 'y');
  EXPECT_FALSE(b.AcceptOverflow(reinterpret_cast<const std::uint8_t*>(noEnd.data()), 25));
  const std::string end = "yyy\r\nnext\n";
  EXPECT_TRUE(b.AcceptOverflow(reinterpret_cast<const std::uint8_t*>(end.data()), end.size()));
  EXPECT_EQ(b.Fill(), THttpReceiveBuffer::kCapacity);
  const auto cut = b.TakeLine();
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->find_first_not_of('x'), std::string::npos);
  EXPECT_EQ(b.TakeLine(), "next");
  EXPECT_EQ(b.Fill(), 0u);
}

std::string Decode(THttpChunkDecoder& d, const std::string& in, std::size_t* used = nullptr) {
  std::string out;
  const std::size_t n = d.Feed(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(),
                               [&](const std::uint8_t* p, std::size_t k) {
                                 out.append(reinterpret_cast<const char*>(p), k);
                               });
  if (used) *used = n;
  return out;
}

TEST(ChunkDecoder, EndsAfterTrailerAndLeavesTheRest) {
  THttpChunkDecoder d;
  std::size_t used = 0;
  const std::string in = "3\r\nabc\r\n0\r\nT: 1\r\n\r\nEXTRA";
  EXPECT_EQ(Decode(d, in, &used), "abc");
  EXPECT_TRUE(d.Done());
  EXPECT_EQ(in.substr(used), "EXTRA");
}

TEST(ChunkDecoder, RejectsSizesWithoutDigitsOrTooLarge) {
  for (const char* bad : {"\r\n", "x\r\n", ";ext\r\n", "80000000\r\n", "FFFFFFFFF\r\n"}) {
    THttpChunkDecoder d;
    Decode(d, bad);
    EXPECT_TRUE(d.Failed()) << bad;
  }
  THttpChunkDecoder d;
  Decode(d, "7FFFFFFF\r\n");
  EXPECT_FALSE(d.Failed());
  EXPECT_EQ(d.state(), THttpChunkDecoder::State::Data);
}

TEST(ContentCoding, UnknownCodingLeavesBodyAsIs) {
  std::string out;
  THttpContentCodingHandler h([&](const std::uint8_t* p, std::size_t n) {
    out.append(reinterpret_cast<const char*>(p), n);
  });
  EXPECT_EQ(h.GetHeaderValue(), "");
  h.SetEnabled(true);
  EXPECT_EQ(h.GetHeaderValue(), "");
  h.SetUseQuality(true);
  EXPECT_EQ(h.GetHeaderValue(), "identity;q=0, *;q=0");
  EXPECT_TRUE(h.Prepare("Identity"));
  EXPECT_FALSE(h.Prepare("gzip"));
  h.Write(reinterpret_cast<const std::uint8_t*>("\x1f\x8b"), 2);
  EXPECT_EQ(out, "\x1f\x8b");
  EXPECT_EQ(SplitCommaText(" a , \"b, c\" ,, d"), (std::vector<std::string>{"a", "b, c", "d"}));
}

}  // namespace
}  // namespace corvan::http
