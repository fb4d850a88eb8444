#pragma once
// THttpClient: an event-driven HTTP/1.0 and 1.1 client. One request at a
// time runs through lookup, connect, request header (and upload), response
// header and body; everything happens on the owner's thread, moved on by
// the connection's events. RunRequest/Get wait for the end while the
// message loop keeps turning. Portable: the connection and the thread are
// reached through IHttpTransport and IHttpEnvironment.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/http/HttpChunkDecoder.h"
#include "net/http/HttpContentCoding.h"
#include "net/http/HttpReceiveBuffer.h"
#include "net/http/HttpRelocation.h"
#include "net/http/HttpStream.h"
#include "net/http/HttpTransport.h"
#include "net/http/HttpTypes.h"
#include "net/http/NtlmMessages.h"

namespace corvan::http {

class THttpClient {
 public:
  // Messages posted to the client's own window.
  static constexpr int WM_HTTP_DONE = 1025;
  static constexpr int WM_HTTP_READY = 1026;
  static constexpr int WM_HTTP_RESTART = 1027;

  using TNotifyEvent = std::function<void(THttpClient&)>;

  THttpClient(IHttpTransport& transport, IHttpEnvironment& environment);
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  // --- Settings (their defaults are the component's). ---
  std::string Name = "HttpClient";
  std::string URL;
  std::string LocalAddr = "0.0.0.0";
  std::string Proxy;
  std::string ProxyPort = "80";
  std::string Sender;
  std::string Agent = "Mozilla/4.0 (compatible; NetHttp)";
  std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string AcceptLanguage;
  std::string Reference;
  std::string Connection;
  std::string ProxyConnection;
  std::string Username, Password;
  std::string ProxyUsername, ProxyPassword;
  THttpAuthKind ServerAuthKind = httpAuthNone;
  THttpAuthKind ProxyAuthKind = httpAuthNone;
  bool NoCache = false;
  double ModifiedSince = 0;
  std::string Cookie;
  std::string ContentTypePost = "application/x-www-form-urlencoded";
  std::string ContentRangeBegin, ContentRangeEnd;
  bool FollowRelocation = true;
  int LocationChangeMaxCount = 5;
  int BandwidthLimit = 10000;
  int BandwidthSampling = 1000;
  // What a server may send before the request fails: header lines of one
  // answer, header bytes of one request (interim answers included), and
  // the bytes of one document after decoding (-1: no limit).
  int MaxHeaderLines = 100;
  std::size_t MaxHeaderSize = 64 * 1024;
  long long MaxDocumentSize = -1;
  // Time limits in ms (0: none), counted in ticks of the environment's
  // watchdog: from the lookup until the connection (TLS and a proxy's
  // tunnel included) is ready, and for a silence of the server while an
  // answer is awaited.
  int ConnectTimeout = 60 * 1000;
  int IdleTimeout = 2 * 60 * 1000;
  TStream* ReceiveStream = nullptr;  // caller-owned
  TStream* SendStream = nullptr;     // caller-owned

  // The wait loop of RunRequest: the connection's own message pump instead
  // of the application's; passed on to the connection.
  bool MultiThreaded() const { return multiThreaded_; }
  void SetMultiThreaded(bool value);
  const std::string& RequestVer() const { return requestVer_; }
  // "1.0" or "1.1"; anything else raises "Insupported HTTP version".
  void SetRequestVer(const std::string& version);
  THttpClientOptions Options() const;
  void SetOptions(THttpClientOptions options);

  // --- Results of the last request. ---
  THttpState State() const { return state_; }
  int StatusCode() const { return statusCode_; }
  const std::string& ReasonPhrase() const { return reasonPhrase_; }
  const std::string& ResponseVersion() const { return responseVersion_; }
  long long ContentLength() const { return contentLength_; }
  const std::string& ContentType() const { return contentType_; }
  const std::string& TransferEncoding() const { return transferEncoding_; }
  const std::string& ContentEncoding() const { return contentEncoding_; }
  const std::string& AcceptRanges() const { return acceptRanges_; }
  const std::vector<std::string>& ReceivedHeader() const { return receivedHeader_; }
  const std::string& DocName() const { return docName_; }
  const std::string& Location() const { return target_.location; }
  long long ReceivedCount() const { return receivedCount_; }
  long long SentCount() const { return sentCount_; }
  int DoneError() const { return doneError_; }
  int LocationChangeCurCount() const { return locationChangeCurCount_; }
  THttpRequest RequestType() const { return requestType_; }
  // Authentication states: NTLM 0 none, 1 negotiate to send, 3
  // authenticate to send, 4 done; Basic 0 none, 1 credentials to send, 2
  // done.
  int AuthNTLMState() const { return authNTLMState_; }
  int ProxyAuthNTLMState() const { return proxyAuthNTLMState_; }
  int AuthBasicState() const { return authBasicState_; }
  int ProxyAuthBasicState() const { return proxyAuthBasicState_; }

  // --- Events (fired only when set). ---
  TNotifyEvent OnStateChange, OnSessionConnected, OnSessionClosed;
  TNotifyEvent OnRequestHeaderBegin, OnRequestHeaderEnd;
  std::function<void(THttpClient&, const std::string& method, std::vector<std::string>& lines)>
      OnBeforeHeaderSend;
  std::function<void(THttpClient&, std::string& line)> OnCommand;
  TNotifyEvent OnHeaderBegin, OnHeaderEnd, OnHeaderData;
  std::function<void(THttpClient&, const std::string& cookie, bool& accept)> OnCookie;
  TNotifyEvent OnDocBegin, OnDocEnd;
  std::function<void(THttpClient&, const std::uint8_t* data, std::size_t size)> OnDocData;
  TNotifyEvent OnSendBegin, OnSendEnd;
  std::function<void(THttpClient&, const std::uint8_t* data, std::size_t size)> OnSendData;
  std::function<void(THttpClient&, THttpRequest request, int error)> OnRequestDone;
  TNotifyEvent OnLocationChange;
  std::function<void(THttpClient&, int count, bool& allow)> OnLocationChangeExceeded;
  std::function<void(THttpClient&, int error)> OnDataPush;
  TNotifyEvent OnDataPush2;
  TNotifyEvent OnSocketError;

  // --- Operations. ---
  void Get();
  void Head();
  void Post();
  void Put();
  void Close();
  // Starts a request and returns; OnRequestDone tells when it is over.
  void StartRequest(THttpRequest request);
  // Starts a request and waits for its end. Raises EHttpException for a
  // status of 400 or more (but 401 and 407) with the reason phrase, and for
  // a response that did not arrive whole (DoneError tells which).
  void RunRequest(THttpRequest request);
  void Abort();

  // --- Events of the connection and the environment. ---
  void HandleLookupDone(int error);
  void HandleSessionConnected(int error);
  void HandleDataAvailable(int error);
  void HandleDataSent(int error);
  void HandleTransportClosed(int error);
  // The connection reported an error instead of completing an operation.
  void HandleSocketError(int error);
  void HandleMessage(int message);
  void BandwidthTick();
  // One tick of the watchdog (every kWatchdogTickMs while a request runs).
  void WatchdogTick();
  static constexpr unsigned kWatchdogTickMs = 1000;

 private:
  using LineHandler = void (THttpClient::*)();

  void SessionConnected(int error);
  // https through a proxy: the CONNECT, its reply, then TLS to the server.
  void SendTunnelRequest();
  void ReadTunnelReply();
  void RefuseRequest(int statusCode, const std::string& reason);
  void StopWatchdog();
  // Closes (or aborts) the connection on the client's own account.
  void DropConnection(bool abort);
  void ChangeState(THttpState state);
  // Deferred steps run from the message loop. Each is on its way at most
  // once, and a step called off (abort, a new request) does nothing when
  // its message arrives: a late message never ends or restarts the wrong
  // request.
  struct TDeferredStep {
    bool wanted = false;
    bool posted = false;
  };
  void Defer(TDeferredStep& step, int message);
  bool TakeDeferred(TDeferredStep& step);
  void CallOffDeferredSteps();
  void PostReady();
  void ResetRequestState();
  void Login();
  void Logout();
  void SendRequest(const std::string& method, const std::string& version);
  void WriteRequestLine(std::string line, std::string& header);
  void GetHeaderLineNext();
  void GetBodyLineNext();
  void ReceiveBody();
  void HeaderComplete();
  void DeliverBufferedBody();
  void DocumentDone(bool chunked);
  bool BodyFollows();
  // The connection is gone: ends an open header or document.
  void CloseDocument();
  void HandleSessionClosed(int error);
  void HandleRelocationClosed(int error);
  void LocationHeader(const std::string& value);
  void StartRelocation();
  bool RelocationLimitReached();
  void WriteDocData(const std::uint8_t* data, std::size_t size);
  void ProcessReceived();
  bool ReceiveBodyDirect();
  void SplitLines();
  void FailRequest(int doneError, const std::string& reason);
  void RecordIncompleteResponse();
  void CutBackStreams();
  void ConnectFailed(int error);

  // Authentication (HttpClientAuth.cpp).
  void PresetAuthStates(bool sameConnection);
  void AuthorizationHeaders(std::string& server, std::string& proxy) const;
  bool NtlmNegotiating() const { return authNTLMState_ == 1 || proxyAuthNTLMState_ == 1; }
  // Run when the request reaches httpReady: true when an authentication
  // step takes the request over (it is repeated, or ended by the step).
  bool AuthenticationTakesOver();
  void SettleAuthStates();
  bool PrepareNTLMAuth(bool& again);
  bool PrepareBasicAuth(bool& again);
  // The states and values of one side (server or proxy) of authentication.
  struct TAuthSide {
    std::uint8_t& ntlm;
    std::uint8_t& basic;
    std::string& connection;  // its Connection or Proxy-Connection value
    TNTLM_Msg2_Info& msg2;
    bool proxy;
  };
  TAuthSide ServerSide();
  TAuthSide ProxySide();
  void NtlmStep(TAuthSide side);
  void BasicStep(TAuthSide side);
  void StartAuthNTLM();
  void StartProxyAuthNTLM();
  void StartAuthBasic();
  void StartProxyAuthBasic();
  // The "Keep-alive" a version-1.0 exchange needs to keep its connection.
  void KeepAliveFor(std::string& connectionValue) const;

  IHttpTransport& transport_;
  IHttpEnvironment& environment_;
  THttpContentCodingHandler contentCoding_;
  THttpReceiveBuffer buffer_;
  THttpChunkDecoder chunks_;

  std::string requestVer_ = "1.0";
  bool multiThreaded_ = false;
  THttpClientOptions options_ = 0;

  THttpState state_ = httpReady;
  THttpRequest requestType_ = rqNone;
  int statusCode_ = 0;
  std::string reasonPhrase_;
  std::string responseVersion_;
  long long contentLength_ = -1;
  std::string contentType_, transferEncoding_, contentEncoding_, acceptRanges_;
  std::vector<std::string> receivedHeader_;
  std::string docName_;
  long long receivedCount_ = 0;
  long long sentCount_ = 0;
  int doneError_ = 0;
  int locationChangeCurCount_ = 0;

  // The request in progress.
  bool closeReq_ = true;  // close the connection after the response
  THttpTarget target_;
  std::string lastHost_, lastPort_, lastProtocol_;
  bool connected_ = false;
  bool connectionOpen_ = false;  // a connection of ours exists or is being made
  bool proxyConnected_ = false;
  bool tunnel_ = false;      // https through the proxy: by a CONNECT tunnel
  bool tunnelOpen_ = false;  // the connection is a tunnel to lastTunnel_
  std::string tunnelReply_, lastTunnel_;
  bool watchdog_ = false;
  int silentTicks_ = 0;  // watchdog ticks since the connection last moved
  std::string currentConnection_, currentProxyConnection_;
  int headerLineCount_ = 0;
  std::size_t headerBytes_ = 0;
  int bodyLineCount_ = 0;
  long long docBytes_ = 0;    // decoded bytes of the document so far
  bool docTooLarge_ = false;  // MaxDocumentSize passed: the rest is dropped
  LineHandler next_ = nullptr;
  std::string lastLine_;
  const std::uint8_t* bodyData_ = nullptr;
  std::size_t bodyDataLength_ = 0;
  bool locationFlag_ = false;
  bool headerInProgress_ = false;
  bool allowedToSend_ = false;
  bool relocationClosePending_ = false;
  bool headerDone_ = false;  // the empty line after the header arrived
  bool docEnded_ = false;    // OnDocEnd fired for this document
  bool failed_ = false;      // the request failed on our side; nothing more to judge
  std::size_t bodyConsumed_ = 0;
  static constexpr std::size_t kBodySliceSize = 256 * 1024;
  std::vector<std::uint8_t> bodySlice_;  // allocated with the first body
  std::int64_t streamSizeAtDocBegin_ = 0;
  std::int64_t bandwidthCount_ = 0;
  std::int64_t bandwidthMax_ = 0;
  bool bandwidthPaused_ = false;
  TDeferredStep ready_, restart_;

  std::uint8_t authNTLMState_ = 0, proxyAuthNTLMState_ = 0;
  std::uint8_t authBasicState_ = 0, proxyAuthBasicState_ = 0;
  std::vector<std::string> challenges_;  // www- and proxy-authenticate values
  TNTLM_Msg2_Info serverMsg2_, proxyMsg2_;
};

}  // namespace corvan::http
