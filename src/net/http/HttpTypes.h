#pragma once
// Shared vocabulary of the HTTP client: states, request kinds, options,
// failure codes and the exception it raises. Portable.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvan::http {

enum THttpState {
  httpReady,
  httpNotConnected,
  httpConnected,
  httpDnsLookup,
  httpDnsLookupDone,
  httpWaitingHeader,
  httpWaitingBody,
  httpBodyReceived,
  httpWaitingProxyConnect,
  httpClosing,
  httpAborting,
};

const char* HttpStateName(int state);

enum THttpRequest { rqNone = 0, rqGet = 1, rqPost = 2, rqPut = 3, rqHead = 4, rqClose = 5 };

enum THttpClientOption : unsigned {
  httpoNoBasicAuth = 1u << 0,
  httpoNoNTLMAuth = 1u << 1,
  httpoBandwidthControl = 1u << 2,
  httpoEnableContentCoding = 1u << 3,
  httpoUseQuality = 1u << 4,
};
using THttpClientOptions = unsigned;

// Credentials sent before any challenge asks for them.
enum THttpAuthKind { httpAuthNone = 0, httpAuthBasic = 1, httpAuthNtlm = 2 };

// DoneError values of the client itself; other values are socket errors.
enum HttpDoneError : int {
  httperrNone = 0,
  httperrAborted = 3,
  // A response that did not arrive whole. The client reports these as
  // failures instead of handing a broken document to its caller.
  httperrNoStatusLine = 20,
  httperrHeaderIncomplete = 21,
  httperrBodyIncomplete = 22,
  httperrChunkedIncomplete = 23,
  httperrBadChunkSize = 24,
  httperrDataHandling = 25,
  // More than the client's limits allow (a hostile or broken server).
  httperrHeaderTooLarge = 26,
  httperrDocumentTooLarge = 27,
  // The server took longer than ConnectTimeout or IdleTimeout.
  httperrTimeout = 28,
};

// EHttpException codes that are not HTTP status codes.
enum HttpExceptionCode : std::uint16_t {
  httpexBusy = 1,
  httpexNothingToSend = 2,
  httpexBadVersion = 5,
  httpexAuthState = 6,
};

class EHttpException : public std::runtime_error {
 public:
  EHttpException(const std::string& message, std::uint16_t code)
      : std::runtime_error(message), code_(code) {}
  std::uint16_t ErrorCode() const { return code_; }

 private:
  std::uint16_t code_;
};

}  // namespace corvan::http
