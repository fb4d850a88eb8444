#pragma once
// What the installer downloads and how it judges what arrived. Portable.
#include <string>
#include <string_view>

namespace corvan::http {
class THttpClient;
class TStream;
}  // namespace corvan::http

namespace corvan::app {

// The vendor's web server, plain HTTP on port 80. What it serves runs only
// when signed by kSetupPublisher (SetupSignature.h).
inline constexpr std::string_view kSetupHost = "www.corvan-ng.nl";

// The largest setup the installer takes (UltraVNC's are a few MB): a server
// cannot fill the disk with an endless download.
inline constexpr long long kSetupMaxSize = 64LL * 1024 * 1024;

struct SetupSource {
  std::string url;       // "http://" + host + "/downloads/Setup_UltraVNC_NN.exe"
  std::string fileName;  // in the temporary folder
};
SetupSource SetupSourceFor(bool sixtyFourBit, std::string_view host = kSetupHost);

// What the download left behind.
struct DownloadFacts {
  bool raised = false;  // Get raised EHttpException
  int statusCode = 0;
  int doneError = 0;
  std::string reasonPhrase;
  long long fileSize = 0;
  std::string firstBytes;  // the file's first two bytes (fewer when shorter)
};

// Downloads the client's URL into file with Get and notes what came of it;
// raises nothing of the client's. The client's ReceiveStream is file, and
// its MaxDocumentSize kSetupMaxSize, only for the call.
DownloadFacts DownloadInto(http::THttpClient& client, http::TStream& file);

struct DownloadVerdict {
  bool ok = false;
  std::string info;  // the status text shown
};

// Only a 2xx answer that arrived whole and holds a Windows program
// ("MZ") is a setup program; everything else is a failed download with
// the server's reason, or a Dutch reason of ours where it gave none.
DownloadVerdict JudgeDownload(const DownloadFacts& facts);

}  // namespace corvan::app
