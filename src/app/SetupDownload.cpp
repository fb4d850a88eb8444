#include "app/SetupDownload.h"

#include "net/http/HttpClient.h"
#include "net/http/HttpTypes.h"

namespace corvan::app {
namespace {

constexpr char kFailed[] = "Download mislukt : ";

// Our own words for failures the server did not explain.
std::string DutchReason(int doneError) {
  switch (doneError) {
    case http::httperrNoStatusLine:
      return "geen geldig antwoord van de server";
    case http::httperrHeaderIncomplete:
    case http::httperrBodyIncomplete:
    case http::httperrChunkedIncomplete:
      return "verbinding verbroken, bestand onvolledig ontvangen";
    case http::httperrBadChunkSize:
      return "ongeldig antwoord van de server";
    case http::httperrDataHandling:
      return "fout bij het opslaan van het bestand";
    case http::httperrHeaderTooLarge:
      return "ongeldig antwoord van de server";
    case http::httperrDocumentTooLarge:
      return "het bestand is te groot";
    default:
      return "onbekende fout";
  }
}

// Only the client's own codes: a socket error (10000 and up) is no verdict
// on the answer.
bool OwnFailure(int doneError) {
  return doneError >= http::httperrNoStatusLine && doneError <= http::httperrDocumentTooLarge;
}

}  // namespace

SetupSource SetupSourceFor(bool sixtyFourBit, std::string_view host) {
  const std::string name = sixtyFourBit ? "Setup_UltraVNC_64.exe" : "Setup_UltraVNC_32.exe";
  return {"http://" + std::string(host) + "/downloads/" + name, name};
}

DownloadFacts DownloadInto(http::THttpClient& client, http::TStream& file) {
  struct StreamReset {
    http::THttpClient& client;
    long long maxSize = client.MaxDocumentSize;
    ~StreamReset() {
      client.ReceiveStream = nullptr;
      client.MaxDocumentSize = maxSize;
    }
  } reset{client};
  client.ReceiveStream = &file;
  client.MaxDocumentSize = kSetupMaxSize;
  DownloadFacts facts;
  try {
    client.Get();
  } catch (const http::EHttpException&) {
    facts.raised = true;
  }
  facts.statusCode = client.StatusCode();
  facts.doneError = client.DoneError();
  facts.reasonPhrase = client.ReasonPhrase();
  facts.fileSize = file.Size();
  char head[2] = {};
  file.Seek(0);
  facts.firstBytes.assign(head, file.Read(head, sizeof head));
  return facts;
}

DownloadVerdict JudgeDownload(const DownloadFacts& facts) {
  if (facts.raised) {
    // Failures the client found itself carry English texts meant for
    // programmers; the user gets ours. Server and network reasons stay.
    if (OwnFailure(facts.doneError) && facts.statusCode < 400) {
      return {false, kFailed + DutchReason(facts.doneError)};
    }
    return {false, kFailed + facts.reasonPhrase};
  }
  if (facts.statusCode < 200 || facts.statusCode > 299) {
    if (facts.reasonPhrase.empty()) {
      return {false, kFailed + std::string("onverwacht antwoord van de server (status ") +
                         std::to_string(facts.statusCode) + ")"};
    }
    return {false, kFailed + facts.reasonPhrase};
  }
  if (facts.firstBytes != "MZ") {
    return {false, kFailed + std::string("het ontvangen bestand is geen installatieprogramma")};
  }
  return {true, std::to_string(facts.fileSize) + " bytes ontvangen."};
}

}  // namespace corvan::app
