#include <gtest/gtest.h>

#include "net/socket/NetAddress.h"
#include "net/socket/NetSocketTypes.h"

namespace corvan::net {
namespace {

TEST(NetSocketIsDottedIP, AcceptsFourGroupsBelow256) {
  for (const char* text : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "  10.1.2.3", "10.1.2.3   ",
                           "001.002.003.004"}) {
    EXPECT_TRUE(NetSocketIsDottedIP(text)) << '"' << text << '"';
  }
  for (const char* text : {"", ".1.2.3", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.", "256.1.1.1",
                           "1.2.3.4x", "1.2.3.4 x", "a.b.c.d", "1.2.3.99999999999999999999",
                           "\t1.2.3.4", "1.2.3.-4", "localhost"}) {
    EXPECT_FALSE(NetSocketIsDottedIP(text)) << '"' << text << '"';
  }
}

TEST(FormatDottedIP, HostOrder) {
  EXPECT_EQ(FormatDottedIP(0x7F000001), "127.0.0.1");
  EXPECT_EQ(FormatDottedIP(0xFFFFFFFF), "255.255.255.255");
}

TEST(ParsePortText, NumbersAndNames) {
  auto p = ParsePortText("80", "tcp");
  EXPECT_TRUE(p.isNumber);
  EXPECT_EQ(p.number, 80);
  p = ParsePortText("65535", "tcp");
  EXPECT_EQ(p.number, 65535);
  p = ParsePortText("8080abc", "tcp");  // reading stops at the first non-digit
  EXPECT_EQ(p.number, 8080);
  p = ParsePortText(" http ", "tcp");
  EXPECT_FALSE(p.isNumber);
  EXPECT_EQ(p.name, "http");
}

TEST(ParsePortText, LargeNumbersAreErrorsNotWrapped) {
  for (const char* text : {"65536", "131152", "4294967376", "99999999999999999999"}) {
    EXPECT_THROW(ParsePortText(text, "tcp"), ESocketException) << text;
  }
}

TEST(ParsePortText, InvalidTexts) {
  try {
    ParsePortText("", "tcp");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "NetSocketResolvePort: Invalid Port.");
  }
  EXPECT_THROW(ParsePortText(std::string(32, '1'), "tcp"), ESocketException);
  EXPECT_NO_THROW(ParsePortText(std::string(31, '0'), "tcp"));
  try {
    ParsePortText("80", "");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "NetSocketResolvePort: Invalid Proto.");
  }
}

TEST(ParseProtoText, NumbersNamesAndLimits) {
  EXPECT_EQ(ParseProtoText("tcp").number, 6);
  EXPECT_EQ(ParseProtoText(" UDP ").number, 17);
  EXPECT_EQ(ParseProtoText("raw").number, 255);
  EXPECT_EQ(ParseProtoText("6").number, 6);
  auto named = ParseProtoText("Icmp");
  EXPECT_FALSE(named.isNumber);
  EXPECT_EQ(named.name, "icmp");
  for (const char* text : {"", "65536", "70000"}) {
    try {
      ParseProtoText(text);
      FAIL() << text;
    } catch (const ESocketException& e) {
      EXPECT_STREQ(e.what(), "NetSocketResolveProto: Invalid Protocol.");
    }
  }
}

TEST(SocketTypeForProtocol, StreamDatagramRaw) {
  EXPECT_EQ(SocketTypeForProtocol(6), 1);
  EXPECT_EQ(SocketTypeForProtocol(17), 2);
  EXPECT_EQ(SocketTypeForProtocol(1), 3);
}

TEST(TrimText, SpacesAndControls) {
  EXPECT_EQ(TrimText("  a b\t\r\n"), "a b");
  EXPECT_EQ(TrimText("   "), "");
}

}  // namespace
}  // namespace corvan::net
