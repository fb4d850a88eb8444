// The system's TLS provider as the program binds it at run time, from the
// system folder: the first handshake step is a ClientHello that names the
// host, made without any network; a provider that never shook hands
// refuses everything else in words, without calling into the system.
#include <gtest/gtest.h>

#include <string>

#include "net/socket/TlsSession.h"

namespace corvan::net {
namespace {

using Result = TlsProvider::Result;

TEST(SystemTlsProvider, TheFirstStepIsAClientHelloNamingTheHost) {
  const auto tls = SystemTlsProvider("reports.corvan.test");
  std::string hello;
  std::size_t consumed = 1;
  ASSERT_EQ(tls->Handshake(nullptr, 0, hello, consumed), Result::kContinue) << tls->Failure();
  EXPECT_EQ(consumed, 0u);
  ASSERT_GT(hello.size(), 9u);
  EXPECT_EQ(static_cast<unsigned char>(hello[0]), 0x16);            // a handshake record
  EXPECT_EQ(static_cast<unsigned char>(hello[5]), 0x01);            // holding a ClientHello
  EXPECT_NE(hello.find("reports.corvan.test"), std::string::npos);  // server name
}

TEST(SystemTlsProvider, WithoutAHandshakeThereIsNoPeerAndNoClose) {
  const auto tls = SystemTlsProvider("reports.corvan.test");
  EXPECT_NE(tls->CheckPeer(), "");
  EXPECT_EQ(tls->Shutdown(), "");
}

}  // namespace
}  // namespace corvan::net
