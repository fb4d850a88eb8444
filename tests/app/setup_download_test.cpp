#include "app/SetupDownload.h"

#include <gtest/gtest.h>

#include "net/http/FakeHttpPeer.h"
#include "net/http/HttpTypes.h"

namespace corvan::app {
namespace {

TEST(SetupSource, UrlsAndFileNames) {
  const SetupSource x64 = SetupSourceFor(true, "web.example");
  EXPECT_EQ(x64.url, "http://web.example/downloads/Setup_UltraVNC_64.exe");
  EXPECT_EQ(x64.fileName, "Setup_UltraVNC_64.exe");
  const SetupSource x86 = SetupSourceFor(false);
  EXPECT_EQ(x86.url, "http://" + std::string(kSetupHost) + "/downloads/Setup_UltraVNC_32.exe");
  EXPECT_EQ(x86.fileName, "Setup_UltraVNC_32.exe");
}

DownloadFacts Facts(bool raised, int status, int doneError, std::string reason,
                    std::string head = "MZ", long long size = 1234) {
  return {raised, status, doneError, std::move(reason), size, std::move(head)};
}

TEST(JudgeDownload, OnlyAWholeProgramWithSuccessStatusCounts) {
  auto v = JudgeDownload(Facts(false, 200, 0, "OK"));
  EXPECT_TRUE(v.ok);
  EXPECT_EQ(v.info, "1234 bytes ontvangen.");

  v = JudgeDownload(Facts(false, 200, 0, "OK", "<h"));
  EXPECT_FALSE(v.ok);
  EXPECT_EQ(v.info, "Download mislukt : het ontvangen bestand is geen installatieprogramma");
  EXPECT_FALSE(JudgeDownload(Facts(false, 200, 0, "OK", "M", 1)).ok);
  EXPECT_FALSE(JudgeDownload(Facts(false, 200, 0, "OK", "", 0)).ok);

  v = JudgeDownload(Facts(false, 401, 0, "Unauthorized"));
  EXPECT_FALSE(v.ok);
  EXPECT_EQ(v.info, "Download mislukt : Unauthorized");
  v = JudgeDownload(Facts(false, 302, 0, ""));
  EXPECT_EQ(v.info, "Download mislukt : onverwacht antwoord van de server (status 302)");
}

TEST(JudgeDownload, FailuresShowTheServerReasonOrOurs) {
  EXPECT_EQ(JudgeDownload(Facts(true, 404, 0, "Not Found")).info, "Download mislukt : Not Found");
  EXPECT_EQ(JudgeDownload(Facts(true, 404, 10061, "Connection refused (Error #10061)")).info,
            "Download mislukt : Connection refused (Error #10061)");
  EXPECT_EQ(JudgeDownload(Facts(true, 404, 11001, "can't resolve hostname to IP address")).info,
            "Download mislukt : can't resolve hostname to IP address");
  EXPECT_EQ(
      JudgeDownload(Facts(true, 404, http::httperrAborted, "Connection aborted on request")).info,
      "Download mislukt : Connection aborted on request");
  EXPECT_EQ(JudgeDownload(Facts(true, 200, http::httperrBodyIncomplete,
                                "Connection closed after 1 of 2 body bytes"))
                .info,
            "Download mislukt : verbinding verbroken, bestand onvolledig ontvangen");
  EXPECT_EQ(
      JudgeDownload(Facts(true, 0, http::httperrNoStatusLine, "No valid status line received"))
          .info,
      "Download mislukt : geen geldig antwoord van de server");
  // A truncated error page keeps the server's reason.
  EXPECT_EQ(
      JudgeDownload(Facts(true, 500, http::httperrBodyIncomplete, "Internal Server Error")).info,
      "Download mislukt : Internal Server Error");
}

// The whole download path with the connection's own close errors: a reset
// or abort right after the whole program keeps it; before its end it is a
// broken download.
TEST(DownloadInto, CloseErrorsAfterTheWholeProgram) {
  using namespace std::string_literals;
  for (int error : {0, 10053, 10054}) {
    for (std::size_t piece : {0u, 1u, 7u}) {
      SCOPED_TRACE(std::to_string(error) + " / " + std::to_string(piece));
      http::testing::FakeHttpPeer peer;
      http::TMemoryStream file;
      peer.client.URL = SetupSourceFor(true, "web.example").url;
      peer.answers.push_back(
          {"HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nMZ\x90\0\3\0"s, piece, true, error});
      const DownloadFacts facts = DownloadInto(peer.client, file);
      EXPECT_FALSE(facts.raised);
      EXPECT_EQ(facts.doneError, error);
      const DownloadVerdict verdict = JudgeDownload(facts);
      EXPECT_TRUE(verdict.ok);
      EXPECT_EQ(verdict.info, "6 bytes ontvangen.");
      EXPECT_EQ(peer.client.ReceiveStream, nullptr);

      http::TMemoryStream truncated;
      peer.answers.push_back(
          {"HTTP/1.0 200 OK\r\nContent-Length: 600\r\n\r\nMZ\x90\0\3\0"s, piece, true, error});
      EXPECT_EQ(JudgeDownload(DownloadInto(peer.client, truncated)).info,
                "Download mislukt : verbinding verbroken, bestand onvolledig ontvangen");
    }
  }
}

// A server that announces or sends more than any setup is cut off.
TEST(DownloadInto, SecurityOversizedSetupIsRefused) {
  using namespace std::string_literals;
  http::testing::FakeHttpPeer peer;
  http::TMemoryStream file;
  peer.client.URL = SetupSourceFor(true, "web.example").url;
  peer.answers.push_back(
      {"HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kSetupMaxSize + 1) + "\r\n\r\nMZ"s, 0,
       true, 0});
  const DownloadFacts facts = DownloadInto(peer.client, file);
  EXPECT_TRUE(facts.raised);
  EXPECT_EQ(facts.doneError, http::httperrDocumentTooLarge);
  EXPECT_EQ(JudgeDownload(facts).info, "Download mislukt : het bestand is te groot");
  EXPECT_EQ(peer.client.MaxDocumentSize, -1) << "the client's own limit is back";
}

}  // namespace
}  // namespace corvan::app
