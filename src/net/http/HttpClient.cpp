#include "net/http/HttpClient.h"

#include <algorithm>

#include "net/http/HttpHeaderText.h"
#include "net/http/HttpRequestHeader.h"
#include "net/http/NetUrl.h"
#include "net/socket/HttpTunnel.h"

namespace corvan::http {
namespace {

// Status codes that make the synchronous wrapper raise.
bool IsErrorStatus(int status) { return status >= 400 && status != 401 && status != 407; }

// Windows Sockets' "invalid argument": the reason given for an empty host.
constexpr int kInvalidArgument = 10022;

template <typename... Args, typename Event>
void Fire(const Event& event, Args&&... args) {
  if (event) event(std::forward<Args>(args)...);
}

}  // namespace

THttpClient::THttpClient(IHttpTransport& transport, IHttpEnvironment& environment)
    : transport_(transport),
      environment_(environment),
      contentCoding_(
          [this](const std::uint8_t* data, std::size_t size) { WriteDocData(data, size); }) {}

void THttpClient::SetRequestVer(const std::string& version) {
  if (version == requestVer_) return;
  if (version != "1.0" && version != "1.1")
    throw EHttpException("Insupported HTTP version", httpexBadVersion);
  requestVer_ = version;
}

void THttpClient::SetMultiThreaded(bool value) {
  multiThreaded_ = value;
  transport_.SetMultiThreaded(value);
}

THttpClientOptions THttpClient::Options() const {
  THttpClientOptions options = options_ & ~(httpoEnableContentCoding | httpoUseQuality);
  if (contentCoding_.Enabled()) options |= httpoEnableContentCoding;
  if (contentCoding_.UseQuality()) options |= httpoUseQuality;
  return options;
}

void THttpClient::SetOptions(THttpClientOptions options) {
  options_ = options;
  contentCoding_.SetEnabled((options & httpoEnableContentCoding) != 0);
  contentCoding_.SetUseQuality((options & httpoUseQuality) != 0);
}

// ---------------------------------------------------------------- requests

void THttpClient::Get() {
  locationChangeCurCount_ = 0;
  RunRequest(rqGet);
}
void THttpClient::Head() { RunRequest(rqHead); }
void THttpClient::Post() { RunRequest(rqPost); }
void THttpClient::Put() { RunRequest(rqPut); }
void THttpClient::Close() { RunRequest(rqClose); }

void THttpClient::StartRequest(THttpRequest request) {
  // Ready but about to repeat itself for a challenge is busy all the same.
  if (request != rqClose && (state_ != httpReady || restart_.wanted)) {
    throw EHttpException("HTTP component " + Name + " is busy", httpexBusy);
  }
  if ((request == rqPost || request == rqPut) && !SendStream) {
    throw EHttpException("HTTP component has nothing to post or put", httpexNothingToSend);
  }
  // Steps an earlier request left on their way are not this request's.
  CallOffDeferredSteps();
  if (request == rqClose) {
    statusCode_ = 200;
    reasonPhrase_ = "OK";
    ChangeState(httpClosing);
    if (transport_.IsClosed())
      PostReady();
    else
      transport_.CloseDelayed();
    return;
  }
  requestType_ = request;
  ResetRequestState();
  if (!watchdog_) {
    environment_.StartWatchdog(kWatchdogTickMs);
    watchdog_ = true;
  }
  target_.user = Username;
  target_.password = Password;
  currentConnection_ = Connection;
  currentProxyConnection_ = ProxyConnection;

  std::string connectHost, connectPort;
  if (Proxy.empty()) {
    // A relative URL is resolved against the previous request's path.
    const TUrlParts url = SplitUrl(URL, target_.path);
    target_.hostHeaderHost = url.host;
    docName_ = url.path;
    target_.protocol = url.proto;
    target_.path = url.path;
    if (!url.user.empty()) target_.user = url.user;
    if (!url.password.empty()) target_.password = url.password;
    connectHost = url.host;
    connectPort = url.port.empty() ? DefaultPort(url.proto) : url.port;
    target_.hostHeaderPort = connectPort;
  } else {
    // Through a proxy the request line carries the whole URL.
    const TUrlParts url = SplitUrl(URL, "");
    target_.hostHeaderHost = url.host;
    target_.hostHeaderPort = url.port.empty() ? DefaultPort(url.proto) : url.port;
    docName_ = url.path;
    if (!url.user.empty()) target_.user = url.user;
    if (!url.password.empty()) target_.password = url.password;
    target_.path = (url.proto.empty() ? "http" : url.proto) + "://" + url.host +
                   (url.port.empty() ? "" : ":" + url.port) + url.path;
    target_.protocol = url.proto;
    const TUrlParts proxy = SplitUrl(Proxy, "");
    connectHost = proxy.host;
    connectPort = proxy.port.empty() ? ProxyPort : proxy.port;
  }
  if (target_.protocol.empty()) target_.protocol = "http";
  if (target_.path.empty()) target_.path = "/";
  docName_ = DeriveDocName(docName_);
  target_.targetHost = connectHost;
  target_.targetPort = connectPort;
  streamSizeAtDocBegin_ = ReceiveStream ? ReceiveStream->Size() : 0;
  // A tunnel serves only the server it leads to.
  const bool sameConnection =
      transport_.IsConnected() && target_.targetHost == lastHost_ &&
      target_.targetPort == lastPort_ && target_.protocol == lastProtocol_ &&
      (!tunnelOpen_ || lastTunnel_ == target_.hostHeaderHost + ":" + target_.hostHeaderPort);
  PresetAuthStates(sameConnection);

  if (transport_.IsConnected()) {
    if (sameConnection) {
      SessionConnected(0);  // the open connection serves this request too
      return;
    }
    DropConnection(true);
  }
  proxyConnected_ = false;
  tunnelOpen_ = false;
  ChangeState(httpNotConnected);
  Login();
}

void THttpClient::RunRequest(THttpRequest request) {
  StartRequest(request);
  while (state_ != httpReady || restart_.wanted) {
    environment_.WaitAndProcessMessages();
    if (environment_.Terminated()) {
      Abort();
      break;
    }
  }
  if (IsErrorStatus(statusCode_)) {
    throw EHttpException(reasonPhrase_, static_cast<std::uint16_t>(statusCode_));
  }
  // A failure the client found itself (an answer that did not arrive whole,
  // an abort). The error a connection reports when it closes does not
  // count by itself: the byte counts have judged the answer already.
  if (failed_) {
    throw EHttpException(reasonPhrase_, static_cast<std::uint16_t>(doneError_));
  }
}

void THttpClient::Abort() {
  if (state_ != httpReady) {
    const bool duringLookup = state_ == httpDnsLookup;
    ChangeState(httpAborting);
    if (duringLookup) {
      try {
        transport_.CancelDnsLookup();
      } catch (...) {
      }
    }
    statusCode_ = 404;
    reasonPhrase_ = "Connection aborted on request";
    doneError_ = httperrAborted;
    failed_ = true;
    if (!duringLookup) DropConnection(false);
    // The caller sees the end of the connection as after any close. No
    // ready message is posted: it would end the caller's next request.
    relocationClosePending_ = false;
    locationFlag_ = false;
    CallOffDeferredSteps();
    CloseDocument();
    Fire(OnSessionClosed, *this);
    ChangeState(httpReady);
    return;
  }
  state_ = httpAborting;
  const bool open = !transport_.IsClosed();
  if (open) DropConnection(true);
  statusCode_ = 200;
  reasonPhrase_ = "OK";
  doneError_ = 0;
  state_ = httpReady;
  if (open) Fire(OnSessionClosed, *this);
  Fire(OnStateChange, *this);
  Fire(OnRequestDone, *this, requestType_, 0);
}

void THttpClient::ResetRequestState() {
  receivedHeader_.clear();
  doneError_ = 0;
  docName_.clear();
  statusCode_ = 0;
  reasonPhrase_.clear();
  receivedCount_ = 0;
  sentCount_ = 0;
  headerLineCount_ = 0;
  headerBytes_ = 0;
  bodyLineCount_ = 0;
  contentLength_ = -1;
  contentType_.clear();
  transferEncoding_.clear();
  contentEncoding_.clear();
  allowedToSend_ = false;
  target_.location = URL;
  closeReq_ = requestVer_ == "1.0";
  headerInProgress_ = false;
  headerDone_ = false;
  docEnded_ = false;
  failed_ = false;
  buffer_.Clear();
  challenges_.clear();
}

void THttpClient::ChangeState(THttpState state) {
  if (state == state_) return;
  state_ = state;
  Fire(OnStateChange, *this);
  if (state == httpReady && !AuthenticationTakesOver()) environment_.Post(WM_HTTP_DONE);
}

void THttpClient::PostReady() { Defer(ready_, WM_HTTP_READY); }

void THttpClient::Defer(TDeferredStep& step, int message) {
  step.wanted = true;
  if (step.posted) return;  // the message on its way serves this wish too
  step.posted = true;
  environment_.Post(message);
}

bool THttpClient::TakeDeferred(TDeferredStep& step) {
  step.posted = false;
  const bool wanted = step.wanted;
  step.wanted = false;
  return wanted;
}

void THttpClient::CallOffDeferredSteps() {
  ready_.wanted = false;
  restart_.wanted = false;
}

void THttpClient::HandleMessage(int message) {
  switch (message) {
    case WM_HTTP_DONE:
      Fire(OnRequestDone, *this, requestType_, doneError_);
      break;
    case WM_HTTP_READY:
      if (TakeDeferred(ready_)) ChangeState(httpReady);
      break;
    case WM_HTTP_RESTART:
      if (TakeDeferred(restart_)) Login();
      break;
  }
}

// -------------------------------------------------------------- connecting

void THttpClient::Login() {
  relocationClosePending_ = false;
  silentTicks_ = 0;
  if (transport_.IsConnected()) {
    SessionConnected(0);
    return;
  }
  ChangeState(httpDnsLookup);
  if (target_.targetHost.empty()) {
    ConnectFailed(kInvalidArgument);  // nothing to look up
    return;
  }
  try {
    transport_.DnsLookup(target_.targetHost);
  } catch (const std::exception& e) {
    statusCode_ = 404;
    reasonPhrase_ = e.what();
    connected_ = false;
    ChangeState(httpReady);
  }
}

void THttpClient::Logout() {
  DropConnection(false);
  connected_ = false;
}

void THttpClient::HandleLookupDone(int error) {
  // Aborted, or ended by an error the lookup reported before its completion.
  if (state_ != httpDnsLookup || failed_) return;
  if (error != 0) {
    {
      doneError_ = error;
      statusCode_ = 404;
      reasonPhrase_ = "can't resolve hostname to IP address";
      HandleSessionClosed(error);
    }
    return;
  }
  ChangeState(httpDnsLookupDone);
  lastHost_ = target_.targetHost;
  lastPort_ = target_.targetPort;
  lastProtocol_ = target_.protocol;
  // https goes over TLS, through a proxy by a CONNECT tunnel; it never goes
  // in clear text instead.
  const bool secure = target_.protocol == "https";
  tunnel_ = secure && !Proxy.empty();
  tunnelOpen_ = false;
  if ((target_.protocol != "http" && !secure) ||
      !transport_.SetSecure(secure && !tunnel_ ? target_.hostHeaderHost : std::string())) {
    RefuseRequest(501, "Protocol \"" + target_.protocol + "\" not implemented");
    return;
  }
  try {
    connectionOpen_ = true;
    transport_.Connect(transport_.DnsResult(), target_.targetPort, LocalAddr);
  } catch (...) {
    ConnectFailed(transport_.LastError());
  }
}

void THttpClient::RefuseRequest(int statusCode, const std::string& reason) {
  doneError_ = transport_.LastError();
  statusCode_ = statusCode;
  reasonPhrase_ = reason;
  DropConnection(false);
  HandleSessionClosed(transport_.LastError());
}

void THttpClient::SendTunnelRequest() {
  tunnelReply_.clear();
  std::string server, proxy;
  AuthorizationHeaders(server, proxy);
  // Only Basic can go with the CONNECT: the tunnel has no second round.
  if (!proxy.starts_with("Basic ")) proxy.clear();
  const std::string request =
      net::TunnelRequest(target_.hostHeaderHost, target_.hostHeaderPort, proxy);
  transport_.Send(request.data(), request.size());
}

void THttpClient::ReadTunnelReply() {
  char piece[1024];
  for (int n; (n = transport_.Receive(piece, sizeof piece)) > 0;) {
    tunnelReply_.append(piece, static_cast<std::size_t>(n));
  }
  std::size_t headLength = 0;
  int status = 0;
  const net::TunnelReply reply = net::JudgeTunnelReply(tunnelReply_, headLength, status);
  const std::string tunnel = target_.hostHeaderHost + ":" + target_.hostHeaderPort;
  if (reply == net::TunnelReply::kIncomplete && tunnelReply_.size() <= MaxHeaderSize) return;
  if (reply != net::TunnelReply::kOpen || tunnelReply_.size() != headLength) {
    RefuseRequest(status >= 400 ? status : 502, "The proxy opened no tunnel to " + tunnel);
    return;
  }
  tunnelOpen_ = true;
  lastTunnel_ = tunnel;
  if (!transport_.StartTls(target_.hostHeaderHost)) {
    RefuseRequest(501, "Protocol \"https\" not implemented");
  }
}

void THttpClient::ConnectFailed(int error) {
  doneError_ = error;
  statusCode_ = 404;
  reasonPhrase_ = "can't connect: " + transport_.ErrorDescription(error) + " (Error #" +
                  std::to_string(error) + ")";
  // Whatever the connection reports of this attempt later is no news.
  failed_ = true;
  DropConnection(false);
  HandleSessionClosed(error);
}

void THttpClient::HandleSocketError(int error) {
  Fire(OnSocketError, *this);
  // A lookup or connect that failed at once: no completion event follows.
  if (failed_) return;
  if (state_ == httpNotConnected || state_ == httpDnsLookup || state_ == httpDnsLookupDone) {
    ConnectFailed(error);
  }
}

void THttpClient::HandleSessionConnected(int error) {
  // Only a connect of the current request counts: after an error already
  // ended it, the connection's late report must not touch the results.
  if (state_ != httpDnsLookupDone || failed_) return;
  SessionConnected(error);
}

void THttpClient::SessionConnected(int error) {
  if (error != 0) {
    doneError_ = error;
    statusCode_ = 404;
    reasonPhrase_ = transport_.ErrorDescription(error) + " (Error #" + std::to_string(error) + ")";
    Fire(OnSessionConnected, *this);
    return;  // the connection closes itself next
  }
  if (tunnel_ && !tunnelOpen_) {
    SendTunnelRequest();  // the state stays until TLS through it is up
    return;
  }
  locationFlag_ = false;
  connected_ = true;
  silentTicks_ = 0;
  ChangeState(httpConnected);
  Fire(OnSessionConnected, *this);
  next_ = &THttpClient::GetHeaderLineNext;
  try {
    ChangeState(httpWaitingHeader);
    switch (requestType_) {
      case rqGet:
        SendRequest("GET", requestVer_);
        break;
      case rqHead:
        SendRequest("HEAD", requestVer_);
        break;
      case rqPost:
      case rqPut:
        SendRequest(requestType_ == rqPost ? "POST" : "PUT", requestVer_);
        if (NtlmNegotiating()) break;
        Fire(OnSendBegin, *this);
        allowedToSend_ = true;
        HandleDataSent(0);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    FailRequest(httperrDataHandling, e.what());
  } catch (...) {
    FailRequest(httperrDataHandling, "request could not be sent");
  }
}

// ---------------------------------------------------------------- sending

void THttpClient::SendRequest(const std::string& method, const std::string& version) {
  bandwidthCount_ = 0;
  if (options_ & httpoBandwidthControl) {
    environment_.StopTimer();
    environment_.StartTimer(static_cast<unsigned>(BandwidthSampling));
    bandwidthMax_ = static_cast<std::int64_t>(BandwidthLimit) * BandwidthSampling / 1000;
    bandwidthPaused_ = false;
    transport_.SetReceiveLoop(false);
  }
  Fire(OnRequestHeaderBegin, *this);
  TRequestHeaderFields fields;
  fields.method = method;
  // Inside a tunnel the request is the server's own, not the proxy's.
  fields.requestPath = tunnelOpen_ ? SplitUrl(target_.path, "").path : target_.path;
  if (fields.requestPath.empty()) fields.requestPath = "/";
  fields.version = version;
  fields.sender = Sender;
  fields.accept = Accept;
  fields.reference = Reference;
  fields.connection = currentConnection_;
  fields.acceptLanguage = AcceptLanguage;
  fields.acceptEncoding = contentCoding_.GetHeaderValue();
  fields.contentType = ContentTypePost;
  fields.agent = Agent;
  fields.hostHeaderHost = target_.hostHeaderHost;
  fields.hostHeaderPort = target_.hostHeaderPort;
  fields.noCache = NoCache;
  fields.proxyConnection = tunnelOpen_ ? std::string() : currentProxyConnection_;
  if ((method == "POST" || method == "PUT") && SendStream) {
    // The first message of an NTLM exchange goes without the body.
    fields.contentLength = NtlmNegotiating() ? 0 : SendStream->Size() - SendStream->Position();
  }
  AuthorizationHeaders(fields.authorization, fields.proxyAuthorization);
  if (tunnelOpen_) fields.proxyAuthorization.clear();
  fields.modifiedSince = ModifiedSince;
  fields.cookie = Cookie;
  fields.rangeBegin = ContentRangeBegin;
  fields.rangeEnd = ContentRangeEnd;
  std::vector<std::string> lines = BuildRequestHeader(fields);
  ContentRangeBegin.clear();
  ContentRangeEnd.clear();
  acceptRanges_.clear();

  Fire(OnBeforeHeaderSend, *this, method, lines);
  std::string header;
  for (std::string& line : lines) WriteRequestLine(std::move(line), header);
  Fire(OnRequestHeaderEnd, *this);
  header += "\r\n";
  transport_.Send(header.data(), header.size());
}

void THttpClient::WriteRequestLine(std::string line, std::string& header) {
  Fire(OnCommand, *this, line);
  header += line;
  header += "\r\n";
}

void THttpClient::HandleDataSent(int /*error*/) {
  silentTicks_ = 0;
  if (!allowedToSend_ || !SendStream) return;
  std::uint8_t block[8193];
  const std::size_t count = SendStream->Read(block, sizeof block);
  if (count > 0) {
    sentCount_ += static_cast<long long>(count);
    Fire(OnSendData, *this, block, count);
    transport_.Send(block, count);
  } else {
    allowedToSend_ = false;
    Fire(OnSendEnd, *this);
  }
}

// -------------------------------------------------------------- receiving

void THttpClient::HandleDataAvailable(int /*error*/) {
  // A proxy's reply counts towards the connection's limit, not as news.
  if (tunnel_ && !tunnelOpen_ && state_ == httpDnsLookupDone) {
    ReadTunnelReply();
    return;
  }
  silentTicks_ = 0;
  // Whatever goes wrong while the response is handled (a failing stream
  // write, a handler, a broken number) ends the request as failed; it must
  // not vanish in the connection's receive loop.
  try {
    ProcessReceived();
  } catch (const std::exception& e) {
    FailRequest(httperrDataHandling, e.what());
  } catch (...) {
    FailRequest(httperrDataHandling, "response could not be handled");
  }
}

bool THttpClient::ReceiveBodyDirect() {
  // Body bytes need no line splitting: with nothing left in the line
  // buffer they are read in large slices straight into the document, which
  // saves most of the per-read cost of the connection.
  if (state_ != httpWaitingBody || !next_ || buffer_.Fill() != 0 || requestType_ == rqHead ||
      (options_ & httpoBandwidthControl)) {
    return false;
  }
  if (bodySlice_.empty()) bodySlice_.resize(kBodySliceSize);
  const int count = transport_.Receive(bodySlice_.data(), static_cast<int>(bodySlice_.size()));
  if (count <= 0) return true;
  std::size_t length = static_cast<std::size_t>(count);
  if (transferEncoding_ != "chunked" && contentLength_ >= 0) {
    length = static_cast<std::size_t>(
        std::min<long long>(count, std::max<long long>(contentLength_ - receivedCount_, 0)));
  }
  bodyData_ = bodySlice_.data();
  bodyDataLength_ = length;
  GetBodyLineNext();
  bodyDataLength_ = 0;
  if (failed_) return true;
  // Bytes behind the end of the document stay for whoever reads next.
  const std::size_t rest = static_cast<std::size_t>(count) - bodyConsumed_;
  if (rest > 0) {
    const std::size_t keep = std::min(rest, buffer_.FreeSpace());
    std::copy_n(bodySlice_.data() + bodyConsumed_, keep, buffer_.WritePointer());
    buffer_.Commit(keep);
  }
  if (!next_) {
    if (locationFlag_)
      StartRelocation();
    else
      PostReady();
  }
  return true;
}

void THttpClient::ProcessReceived() {
  if (ReceiveBodyDirect()) return;
  int count = 0;
  if (buffer_.FreeSpace() > 0) {
    count = transport_.Receive(buffer_.WritePointer(), static_cast<int>(buffer_.FreeSpace()));
  } else {
    // A line longer than the buffer: look for its end in a small probe.
    std::uint8_t probe[THttpReceiveBuffer::kOverflowProbe];
    const int n = transport_.Receive(probe, sizeof probe);
    if (n <= 0 || !buffer_.AcceptOverflow(probe, static_cast<std::size_t>(n))) return;
  }
  if (requestType_ == rqNone) return;
  if (count > 0) {
    bandwidthCount_ += count;
    if ((options_ & httpoBandwidthControl) && bandwidthCount_ > bandwidthMax_ &&
        !bandwidthPaused_) {
      bandwidthPaused_ = true;
      transport_.Pause();
    }
    buffer_.Commit(static_cast<std::size_t>(count));
  } else if (buffer_.FreeSpace() > 0) {
    return;  // nothing arrived
  }
  if (relocationClosePending_) {
    // The rest of a relocation answer, up to the close that starts the
    // relocated request: nobody's document.
    buffer_.Clear();
    return;
  }

  if (state_ == httpWaitingBody) {
    if (requestType_ == rqHead) {
      // A body after a HEAD answer: not wanted, the connection goes.
      buffer_.Clear();
      DropConnection(true);
      HandleSessionClosed(0);
      return;
    }
    if (next_) DeliverBufferedBody();
    if (failed_) return;
    if (!next_) {
      if (locationFlag_)
        StartRelocation();
      else
        PostReady();
    }
    return;
  }
  SplitLines();
}

void THttpClient::SplitLines() {
  while (buffer_.Fill() > 0 && !failed_) {
    std::optional<std::string> line = buffer_.TakeLine();
    if (!line) break;
    lastLine_ = std::move(*line);
    if (state_ == httpWaitingHeader || state_ == httpWaitingBody) {
      if (next_)
        (this->*next_)();
      else
        PostReady();
    } else {
      Fire(OnDataPush, *this, 0);
    }
  }
}

void THttpClient::DeliverBufferedBody() {
  std::size_t length = buffer_.Fill();
  if (contentLength_ >= 0) {
    length = static_cast<std::size_t>(
        std::min<long long>(static_cast<long long>(length), contentLength_ - receivedCount_));
  }
  bodyData_ = buffer_.Data();
  bodyDataLength_ = length;
  GetBodyLineNext();
  buffer_.Consume(bodyConsumed_);
  bodyDataLength_ = 0;
}

void THttpClient::GetHeaderLineNext() {
  if (headerLineCount_ == 0) {
    Fire(OnHeaderBegin, *this);
    headerInProgress_ = true;
  }
  if (headerLineCount_ < 0) headerLineCount_ = 0;  // after an interim answer
  ++headerLineCount_;
  const std::string& line = lastLine_;
  headerBytes_ += line.size() + 2;
  if (headerLineCount_ > MaxHeaderLines || headerBytes_ > MaxHeaderSize) {
    FailRequest(httperrHeaderTooLarge, "Response header too large");
    return;
  }

  if (headerLineCount_ == 1 && LowerCase(line.substr(0, 6)) == "<html>") {
    // A server that answers with a bare document: all of it is the body,
    // this line included.
    if (contentType_.empty()) contentType_ = "text/html";
    ChangeState(httpWaitingBody);
    next_ = &THttpClient::GetBodyLineNext;
    headerInProgress_ = false;
    Fire(OnHeaderEnd, *this);
    const std::string firstLine = line + "\r\n";
    bodyData_ = reinterpret_cast<const std::uint8_t*>(firstLine.data());
    bodyDataLength_ = firstLine.size();
    GetBodyLineNext();
    bodyDataLength_ = 0;
    if (next_ && !failed_ && buffer_.Fill() > 0) DeliverBufferedBody();
    return;
  }
  if (line.empty()) {
    HeaderComplete();
    return;
  }
  receivedHeader_.push_back(line);
  if (headerLineCount_ == 1) {
    if (!IsHttpStatusLine(line)) {
      Fire(OnDataPush2, *this);
      Fire(OnHeaderData, *this);
      return;
    }
    responseVersion_ = line.substr(5, 3);
    closeReq_ = requestVer_ == "1.0" || responseVersion_ == "1.0";
    if (const auto status = ParseStatusLine(line)) {
      statusCode_ = status->statusCode;
      reasonPhrase_ = status->reasonPhrase;
    } else {
      statusCode_ = 0;  // no usable code: the request fails when it ends
    }
    Fire(OnHeaderData, *this);
    return;
  }
  if (const auto field = ParseHeaderField(line)) {
    const std::string& name = field->name;
    const std::string& value = field->value;
    if (name == "location") {
      LocationHeader(value);
    } else if (name == "content-length") {
      contentLength_ = ParseDecimal(value).value_or(-1);
      if (contentLength_ < 0) contentLength_ = -1;
    } else if (name == "transfer-encoding") {
      transferEncoding_ = LowerCase(value);
    } else if (name == "content-range") {
      const std::size_t dash = value.find('-');
      const std::size_t slash = value.find('/');
      ContentRangeBegin =
          value.size() > 6
              ? value.substr(6, dash == std::string::npos ? std::string::npos : dash - 6)
              : "";
      ContentRangeEnd = dash == std::string::npos
                            ? ""
                            : value.substr(dash + 1, slash == std::string::npos ? std::string::npos
                                                                                : slash - dash - 1);
    } else if (name == "accept-ranges") {
      acceptRanges_ = value;
    } else if (name == "content-type") {
      contentType_ = LowerCase(value);
    } else if (name == "www-authenticate" || name == "proxy-authenticate") {
      challenges_.push_back(value);
    } else if (name == "set-cookie") {
      bool accept = true;
      Fire(OnCookie, *this, value, accept);
    } else if (name == "connection" || name == "proxy-connection") {
      const std::string mode = LowerCase(Trim(value));
      if (mode == "close")
        closeReq_ = true;
      else if (mode == "keep-alive")
        closeReq_ = false;
    } else if (name == "content-encoding") {
      contentEncoding_ = value;
    }
  }
  Fire(OnHeaderData, *this);
}

void THttpClient::HeaderComplete() {
  // Every 1xx answer but "101 Switching Protocols" is interim: the real
  // status line follows.
  if (statusCode_ >= 100 && statusCode_ < 200 && statusCode_ != 101) {
    receivedHeader_.clear();
    headerLineCount_ = -1;
    return;
  }
  headerInProgress_ = false;
  headerDone_ = true;
  Fire(OnHeaderEnd, *this);
  if (state_ == httpReady) {
    buffer_.Clear();
    return;
  }
  if (statusCode_ == 0) {
    // No status line, or one without a code: whatever follows cannot be
    // told apart from a broken answer.
    FailRequest(httperrNoStatusLine, "No valid status line received");
    return;
  }
  if (!BodyFollows()) {
    next_ = nullptr;
    if (locationFlag_) {
      StartRelocation();
    } else if (!closeReq_) {
      PostReady();
    } else {
      if (requestType_ == rqHead) {
        buffer_.Clear();
        ChangeState(httpWaitingBody);
      }
      transport_.CloseDelayed();
    }
    return;
  }
  if (MaxDocumentSize >= 0 && contentLength_ > MaxDocumentSize) {
    FailRequest(httperrDocumentTooLarge, "Document larger than the limit");
    return;
  }
  docName_ = HtmlDocName(docName_, contentType_);
  ChangeState(httpWaitingBody);
  next_ = &THttpClient::GetBodyLineNext;
  if (buffer_.Fill() > 0) DeliverBufferedBody();
  if (!next_ && !failed_) {
    if (locationFlag_)
      StartRelocation();
    else
      PostReady();
  }
}

void THttpClient::GetBodyLineNext() {
  ReceiveBody();
  if (docTooLarge_ && !failed_)
    FailRequest(httperrDocumentTooLarge, "Document larger than the limit");
}

void THttpClient::ReceiveBody() {
  if (bodyLineCount_ == 0) {
    docBytes_ = 0;
    docTooLarge_ = false;
    chunks_.Reset();
    Fire(OnDocBegin, *this);
    contentCoding_.Prepare(contentEncoding_);
    streamSizeAtDocBegin_ = ReceiveStream ? ReceiveStream->Size() : 0;
  }
  ++bodyLineCount_;
  bodyConsumed_ = 0;
  if (transferEncoding_ != "chunked") {
    if (bodyDataLength_ > 0) {
      receivedCount_ += static_cast<long long>(bodyDataLength_);
      contentCoding_.Write(bodyData_, bodyDataLength_);
      bodyConsumed_ = bodyDataLength_;
    }
    if (receivedCount_ == contentLength_) DocumentDone(false);
    return;
  }
  bodyConsumed_ =
      chunks_.Feed(bodyData_, bodyDataLength_, [this](const std::uint8_t* data, std::size_t size) {
        receivedCount_ += static_cast<long long>(size);
        contentCoding_.Write(data, size);
      });
  if (chunks_.Failed()) {
    FailRequest(httperrBadChunkSize, "Invalid chunk size in the response body");
  } else if (chunks_.Done()) {
    DocumentDone(true);
  }
}

void THttpClient::DocumentDone(bool chunked) {
  lastLine_.clear();
  next_ = nullptr;
  docEnded_ = true;
  ChangeState(httpBodyReceived);
  if (options_ & httpoBandwidthControl) environment_.StopTimer();
  contentCoding_.Complete();
  if (docTooLarge_) {
    docEnded_ = false;  // GetBodyLineNext fails the request, which ends the document
    return;
  }
  Fire(OnDocEnd, *this);
  if (closeReq_) {
    transport_.CloseDelayed();
  } else if (!chunked && !locationFlag_) {
    PostReady();
  }
}

void THttpClient::WriteDocData(const std::uint8_t* data, std::size_t size) {
  docBytes_ += static_cast<long long>(size);
  if (docTooLarge_ || (MaxDocumentSize >= 0 && docBytes_ > MaxDocumentSize)) {
    docTooLarge_ = true;  // a compressed body may grow past any header's length
    return;
  }
  if (ReceiveStream) ReceiveStream->WriteBuffer(data, size);
  Fire(OnDocData, *this, data, size);
}

// ---------------------------------------------------------------- closing

void THttpClient::DropConnection(bool abort) {
  connectionOpen_ = false;
  if (abort)
    transport_.Abort();
  else
    transport_.Close();
}

void THttpClient::HandleTransportClosed(int error) {
  // Reports of a connection the client already dropped itself (a failed
  // attempt, an aborted request) belong to no request any more.
  if (!connectionOpen_) return;
  connectionOpen_ = false;
  if (relocationClosePending_)
    HandleRelocationClosed(error);
  else
    HandleSessionClosed(error);
}

void THttpClient::RecordIncompleteResponse() {
  if (failed_ || requestType_ == rqNone) return;
  int failure = httperrNone;
  std::string reason;
  if (headerInProgress_ || (state_ == httpWaitingHeader && !headerDone_)) {
    failure = statusCode_ == 0 ? httperrNoStatusLine : httperrHeaderIncomplete;
    reason = statusCode_ == 0 ? "No valid status line received"
                              : "Connection closed before the response header was complete";
  } else if (state_ == httpWaitingBody && next_) {
    if (transferEncoding_ == "chunked") {
      failure = httperrChunkedIncomplete;
      reason = "Connection closed before the last chunk of the body";
    } else if (contentLength_ >= 0 && receivedCount_ < contentLength_) {
      failure = httperrBodyIncomplete;
      reason = "Connection closed after " + std::to_string(receivedCount_) + " of " +
               std::to_string(contentLength_) + " body bytes";
    } else if (contentLength_ < 0 && !transport_.ClosedCleanly()) {
      // A body read until the close ends only with the peer's close_notify:
      // anyone on the path can cut the connection.
      failure = httperrBodyIncomplete;
      reason = "Connection closed without the server's close_notify after " +
               std::to_string(receivedCount_) + " body bytes";
    }
  }
  if ((state_ == httpWaitingBody || state_ == httpBodyReceived) && failure == httperrNone &&
      statusCode_ == 0) {
    failure = httperrNoStatusLine;
    reason = "No valid status line received";
  }
  if (failure == httperrNone) return;
  failed_ = true;
  doneError_ = failure;
  // An error status already makes the request fail with the server's
  // reason; keep that text.
  if (!IsErrorStatus(statusCode_)) reasonPhrase_ = reason;
}

bool THttpClient::BodyFollows() {
  const bool chunked = transferEncoding_ == "chunked";
  // A chunked body brings its own length; a Content-Length beside it must
  // not cut the raw chunks short.
  if (chunked) contentLength_ = -1;
  if (requestType_ == rqHead || contentLength_ == 0) return false;
  if (contentLength_ > 0) return true;
  // These answers never have a body, whatever their header says.
  if (statusCode_ < 200 || statusCode_ == 204 || statusCode_ == 304) return false;
  // A chunked relocation or challenge is read whole all the same: the
  // connection may serve the next request.
  return chunked ||
         !(statusCode_ == 301 || statusCode_ == 302 || statusCode_ == 401 || statusCode_ == 407);
}

void THttpClient::CloseDocument() {
  connected_ = false;
  proxyConnected_ = false;
  if (headerInProgress_) {
    headerInProgress_ = false;
    Fire(OnHeaderEnd, *this);
  } else if (bodyLineCount_ > 0 && !docEnded_) {
    docEnded_ = true;
    if (options_ & httpoBandwidthControl) environment_.StopTimer();
    Fire(OnDocEnd, *this);
  }
  next_ = nullptr;
}

void THttpClient::HandleSessionClosed(int error) {
  if (error != 0 && !failed_) doneError_ = error;
  RecordIncompleteResponse();
  CloseDocument();
  if (locationFlag_ && !failed_) {
    HandleRelocationClosed(error);
    return;
  }
  Fire(OnSessionClosed, *this);
  if (state_ != httpReady) PostReady();
}

void THttpClient::FailRequest(int doneError, const std::string& reason) {
  failed_ = true;
  doneError_ = doneError;
  reasonPhrase_ = reason;
  locationFlag_ = false;
  relocationClosePending_ = false;
  buffer_.Clear();
  if (!transport_.IsClosed()) {
    // The connection goes on our account; the caller sees it as a close.
    DropConnection(true);
    CloseDocument();
    Fire(OnSessionClosed, *this);
  } else {
    CloseDocument();
  }
  if (state_ != httpReady) PostReady();
}

// ------------------------------------------------------------- relocation

void THttpClient::LocationHeader(const std::string& value) {
  if (requestType_ == rqPut) {
    target_.location = value;
    return;
  }
  if (!FollowRelocation) return;
  const THttpTarget before = target_;
  const THttpTarget next = RelocatedTarget(target_, value, !Proxy.empty());
  if (LowerCase(before.protocol) == "https" && LowerCase(next.protocol) != "https") {
    // Never from TLS to clear text: the relocation answer is the result.
    target_.location = value;
    reasonPhrase_ = "Relocation from https to " + next.protocol + " refused";
    return;
  }
  locationFlag_ = true;
  target_ = next;
  if (!SameServer(before, target_)) {
    // What was settled with one server means nothing to another.
    authBasicState_ = 0;
    authNTLMState_ = 0;
  }
}

bool THttpClient::RelocationLimitReached() {
  ++locationChangeCurCount_;
  if (locationChangeCurCount_ <= LocationChangeMaxCount) return false;
  bool allow = false;
  Fire(OnLocationChangeExceeded, *this, locationChangeCurCount_, allow);
  if (allow) return false;
  // The relocation answer is the final one.
  locationFlag_ = false;
  PostReady();
  return true;
}

void THttpClient::CutBackStreams() {
  if (ReceiveStream) {
    ReceiveStream->SetSize(streamSizeAtDocBegin_);
    ReceiveStream->Seek(streamSizeAtDocBegin_);
  }
  if (SendStream) SendStream->Seek(SendStream->Position() - sentCount_);
}

void THttpClient::StartRelocation() {
  receivedCount_ = 0;
  buffer_.Clear();
  headerLineCount_ = 0;
  bodyLineCount_ = 0;
  if (RelocationLimitReached()) return;
  if (target_.targetHost != lastHost_ || target_.targetPort != lastPort_ ||
      target_.protocol != lastProtocol_ || closeReq_ ||
      (tunnelOpen_ && lastTunnel_ != target_.hostHeaderHost + ":" + target_.hostHeaderPort)) {
    relocationClosePending_ = true;
    transport_.CloseDelayed();
    return;
  }
  Fire(OnLocationChange, *this);
  const std::string location = target_.location;
  CutBackStreams();
  ResetRequestState();
  target_.location = location;
  docName_ = DeriveDocName(target_.path);
  if (requestType_ == rqPost) requestType_ = rqGet;
  Defer(restart_, WM_HTTP_RESTART);
}

void THttpClient::HandleRelocationClosed(int /*error*/) {
  relocationClosePending_ = false;
  const std::string target = target_.location.substr(0, target_.location.find('#'));
  docName_ = DeriveDocName(SplitUrl(target, "").path);
  connected_ = false;
  proxyConnected_ = false;
  locationFlag_ = false;
  if (requestType_ == rqPost) requestType_ = rqGet;
  if (RelocationLimitReached()) return;
  Fire(OnLocationChange, *this);
  CutBackStreams();
  const std::string location = target_.location;
  const std::string docName = docName_;
  ResetRequestState();
  target_.location = location;
  docName_ = docName;
  Defer(restart_, WM_HTTP_RESTART);
}

void THttpClient::StopWatchdog() {
  if (!watchdog_) return;
  watchdog_ = false;
  environment_.StopWatchdog();
}

void THttpClient::WatchdogTick() {
  if (state_ == httpReady && !restart_.wanted) {
    StopWatchdog();
    return;
  }
  if (state_ == httpReady || state_ == httpAborting || failed_) return;
  ++silentTicks_;
  const bool connecting =
      state_ == httpNotConnected || state_ == httpDnsLookup || state_ == httpDnsLookupDone;
  const int limit = connecting ? ConnectTimeout : IdleTimeout;
  if (limit <= 0 || static_cast<long long>(silentTicks_) * kWatchdogTickMs < limit) return;
  if (state_ == httpDnsLookup) {
    try {
      transport_.CancelDnsLookup();
    } catch (...) {
    }
  }
  const std::string seconds = std::to_string(limit / 1000) + " s";
  FailRequest(httperrTimeout, connecting ? "No connection within " + seconds
                                         : "The server sent nothing for " + seconds);
}

void THttpClient::BandwidthTick() {
  if (!bandwidthPaused_) return;
  bandwidthPaused_ = false;
  bandwidthCount_ -= bandwidthMax_;
  transport_.Resume();
}

}  // namespace corvan::http
