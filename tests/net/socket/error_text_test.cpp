#include <gtest/gtest.h>

#include "net/socket/NetSocketErrors.h"

namespace corvan::net {
namespace {

TEST(NetSocketErrorDesc, KnownAndUnknownCodes) {
  EXPECT_EQ(NetSocketErrorDesc(0), "No Error");
  EXPECT_EQ(NetSocketErrorDesc(10004), "Interrupted system call");
  EXPECT_EQ(NetSocketErrorDesc(10054), "Connection reset by peer");
  EXPECT_EQ(NetSocketErrorDesc(10058), "Can't send after socket shutdown");
  EXPECT_EQ(NetSocketErrorDesc(10093), "WinSock not initialized");
  EXPECT_EQ(NetSocketErrorDesc(11004), "No Data");
  for (int code : {-1, 1, 10000, 10072, 10090, 10094, 11000, 11005, 12001}) {
    EXPECT_EQ(NetSocketErrorDesc(code), "Not a WinSock error") << code;
  }
}

TEST(NetSocketErrorDesc, EveryCodeOfTheRangesHasItsOwnText) {
  // The table covers 10035..10071 without gaps; a missing row would show
  // up as the fallback text.
  for (int code = 10035; code <= 10071; ++code) {
    EXPECT_NE(NetSocketErrorDesc(code), "Not a WinSock error") << code;
  }
}

TEST(SocketErrorMessage, NamesCodeFunctionAndDescription) {
  EXPECT_EQ(SocketErrorMessage(10057, "Send"),
            "Error 10057 in function Send\r\nSocket is not connected");
}

}  // namespace
}  // namespace corvan::net
