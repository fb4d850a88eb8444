#pragma once
// TNetSocket: an event-driven, non-blocking TCP/UDP socket on Windows
// Sockets 1.1. Network events, lookup replies and deferred requests arrive
// as messages at a hidden window on the thread that created the component
// and are turned into the On... events below. Outgoing data is queued in a
// chain of 1460-byte buffers and written whenever the network accepts it.
//
// Class chain: TCustomNetSocket (this file's core) <- TCustomSocksNetSocket
// <- TCustomLineNetSocket <- TCustomSyncNetSocket <- TNetSocket. The SOCKS and
// line layers pass everything through with their default settings.
#include "net/socket/NetWinsock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/NetAddress.h"
#include "net/socket/NetLineBuffer.h"
#include "net/socket/NetLogger.h"
#include "net/socket/NetSockBuf.h"
#include "net/socket/NetSocketErrors.h"
#include "net/socket/NetSocketTypes.h"
#include "net/socket/NetSocketWindow.h"
#include "net/socket/NetSocksNegotiation.h"

namespace corvan::net {

class TCustomNetSocket;

// Event types: a function bound to its object (usually a lambda capturing
// it). Each event fires only when assigned.
using TSessionEvent = std::function<void(TCustomNetSocket* sender, int error)>;
using TNotifyEvent = std::function<void(TCustomNetSocket* sender)>;
using TSendDataEvent = std::function<void(TCustomNetSocket* sender, int count)>;
using TChangeStateEvent =
    std::function<void(TCustomNetSocket* sender, TSocketState oldState, TSocketState newState)>;
using TBgExceptionEvent =
    std::function<void(TCustomNetSocket* sender, const std::exception& error, bool& canClose)>;

// Blocking helpers (raise ESocketException directly).
// Address in network byte order; a dotted text is converted, a name is
// looked up with the blocking gethostbyname.
std::uint32_t NetSocketResolveHost(const std::string& host);
// Port number in host order (numbers up to 65535 or service names).
int NetSocketResolvePort(const std::string& port, const std::string& proto);
// Protocol number ("tcp" 6, "udp" 17, "raw" 255, numbers, or names).
int NetSocketResolveProto(const std::string& proto);
// The machine's host name; "Winsock.GetHostName failed" on failure.
std::string NetSocketLocalHostName();

class TCustomNetSocket : private ISocketWindowClient {
 public:
  TCustomNetSocket();
  virtual ~TCustomNetSocket();
  TCustomNetSocket(const TCustomNetSocket&) = delete;
  TCustomNetSocket& operator=(const TCustomNetSocket&) = delete;

  // ---- Properties ----------------------------------------------------
  // Remote host, port and protocol; changeable only in wsClosed ("Cannot
  // change Addr if not closed", ...). Values are trimmed; an empty value
  // marks the property unassigned. After a close, Addr and Port read as
  // before but count as unassigned until set again.
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return port_; }
  virtual void SetPort(const std::string& value);
  const std::string& Proto() const { return proto_; }
  virtual void SetProto(const std::string& value);
  const std::string& LocalAddr() const { return localAddr_; }
  void SetLocalAddr(const std::string& value);                 // "" stores "0.0.0.0"
  const std::string& LocalPort() const { return localPort_; }  // after bind: the port used
  void SetLocalPort(const std::string& value);

  TSocketState State() const { return state_; }
  int LastError() const { return lastError_; }
  // A handler may set -1 to end the receive loop after its pass.
  void SetLastError(int code) { lastError_ = code; }
  std::int64_t ReadCount() const { return readCount_; }
  // Bytes waiting to be read (FIONREAD), -1 on error.
  int RcvdCount() { return GetRcvdCount(); }
  const std::string& DnsResult() const { return dnsResult_; }
  const std::vector<std::string>& DnsResultList() const { return dnsResultList_; }
  std::string PeerAddr() { return GetPeerAddr(); }  // "error" unless connected
  std::string PeerPort() { return GetPeerPort(); }

  bool MultiThreaded() const { return multiThreaded_; }
  void SetMultiThreaded(bool value) { multiThreaded_ = value; }
  TNetSocketOptions ComponentOptions() const { return options_; }
  void SetComponentOptions(TNetSocketOptions value) { options_ = value; }
  TSocketSendFlags SendFlags() const { return sendFlags_; }
  void SetSendFlags(TSocketSendFlags value);  // "Invalid SendFlags" for other values
  TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
  void SetLingerOnOff(TSocketLingerOnOff value) { lingerOnOff_ = value; }
  int LingerTimeout() const { return lingerTimeout_; }
  void SetLingerTimeout(int seconds) { lingerTimeout_ = seconds; }
  TSocketKeepAliveOnOff KeepAliveOnOff() const { return keepAliveOnOff_; }
  void SetKeepAliveOnOff(TSocketKeepAliveOnOff value) { keepAliveOnOff_ = value; }
  int KeepAliveTime() const { return keepAliveTime_; }
  void SetKeepAliveTime(int ms) { keepAliveTime_ = ms; }
  int KeepAliveInterval() const { return keepAliveInterval_; }
  void SetKeepAliveInterval(int ms) { keepAliveInterval_ = ms; }
  // Datagram settings: multicast sending (TTL, interface = LocalAddr) and
  // receiving (group joined by Listen on the interface LocalAddr, or Addr
  // when LocalAddr is "0.0.0.0"); ReuseAddr for a listening datagram socket.
  bool MultiCast() const { return multiCast_; }
  void SetMultiCast(bool value) { multiCast_ = value; }
  const std::string& MultiCastAddrStr() const { return multiCastAddr_; }
  void SetMultiCastAddrStr(const std::string& value) { multiCastAddr_ = TrimText(value); }
  int MultiCastIpTTL() const { return multiCastTtl_; }
  void SetMultiCastIpTTL(int value) { multiCastTtl_ = value; }
  bool ReuseAddr() const { return reuseAddr_; }
  void SetReuseAddr(bool value) { reuseAddr_ = value; }
  int ListenBacklog() const { return listenBacklog_; }
  void SetListenBacklog(int value) { listenBacklog_ = value; }
  int FlushTimeout() const { return flushTimeout_; }
  void SetFlushTimeout(int seconds) { flushTimeout_ = seconds; }
  // Capacity of send buffers created from now on (1460).
  int BufSize() const { return sendChain_.BufferSize(); }
  void SetBufSize(int size) { sendChain_.SetBufferSize(size); }

  // Diagnostic lines go to this logger while it exists (not owned: the
  // socket lets go when the logger is destroyed).
  void SetNetLogger(const std::shared_ptr<TNetLogger>& logger) { logger_ = logger; }
  std::shared_ptr<TNetLogger> NetLogger() const { return logger_.lock(); }
  // True when a logger is attached and wants the category.
  bool CheckLogOptions(TLogOption category) const;
  void DebugLog(TLogOption category, const std::string& text);

  SOCKET HSocket() const { return socket_; }
  HWND Handle() const { return window_ ? window_->Handle() : nullptr; }
  bool AllSent() const { return allSent_; }
  std::int64_t BufferedByteCount() const { return sendChain_.BufferedCount(); }
  bool Paused() const { return paused_; }
  // Set when a message pump of this component met WM_QUIT.
  bool Terminated() const { return terminated_; }

  // ---- Events ----------------------------------------------------------
  TSessionEvent OnSessionConnected;  // connect finished (0 = connected)
  TSessionEvent OnSessionAvailable;  // listening socket: a connection waits
  TSessionEvent OnDataAvailable;     // data can be read (call Receive)
  TSessionEvent OnDataSent;          // the send chain became empty
  TSendDataEvent OnSendData;         // each accepted send call, with its byte count
  TSessionEvent OnSessionClosed;     // once per connection
  TChangeStateEvent OnChangeState;
  TSessionEvent OnDnsLookupDone;    // lookup finished (0 = success)
  TNotifyEvent OnError;             // socket error reported (instead of an exception)
  TBgExceptionEvent OnBgException;  // an exception escaped a message handler

  // ---- Operations --------------------------------------------------------
  // Starts an asynchronous lookup ending in OnDnsLookupDone. A dotted
  // address is answered before DnsLookup returns.
  virtual void DnsLookup(const std::string& host);
  virtual void ReverseDnsLookup(const std::string& address);
  virtual void ReverseDnsLookupNow(const std::string& address);
  // Fires OnDnsLookupDone(10004) when a lookup was running.
  virtual void CancelDnsLookup();

  // Opens the socket and starts a non-blocking connect to Addr:Port.
  virtual void Connect();
  // Binds Addr:Port and listens (TCP), or receives datagrams (UDP; joins
  // MultiCastAddrStr with MultiCast) or raw packets ("raw_" + protocol).
  virtual void Listen();
  // Takes a waiting connection of a listening socket: its handle (usually
  // handed to another component's Dup), or INVALID_SOCKET after reporting.
  virtual SOCKET Accept();
  // Adopts a connected handle (from Accept): closes an open socket of this
  // component first, then the handle's events come here (wsConnected).
  virtual void Dup(SOCKET handle);
  // One datagram to the given address (nothing is queued); sendto's result.
  virtual int SendTo(const sockaddr_in& to, const void* data, int length);
  // One recvfrom: bytes read (LastError on -1) and the sender's address.
  virtual int ReceiveFrom(void* buffer, int size, sockaddr_in& from);

  // Graceful close: shutdown for sending, then closesocket.
  virtual void Close();
  // Close from the message loop, after the current handler returns.
  virtual void CloseDelayed();
  // Deletes the component from the message loop; only for a component
  // created with new that nobody else owns.
  virtual void Release();
  // Discards queued data and closes without the shutdown step.
  virtual void Abort();
  // Sends until the chain is empty, pumping messages.
  virtual void Flush();
  virtual void WaitForClose();
  virtual void Shutdown(int how);

  // One recv: bytes read, 0 at end of stream, -1 on error (LastError).
  virtual int Receive(void* buffer, int size);
  // What RcvdCount reports (255 bytes when it reports 0); empty on error.
  virtual std::string ReceiveStr();
  // Queues and starts sending; returns length, or -1 when not connected.
  virtual int Send(const void* data, int length);
  int SendStr(const std::string& text);

  // Stop and restart delivery of network events.
  virtual void Pause();
  virtual void Resume();

  // Processes pending messages of the calling thread without waiting.
  virtual void PumpMessages();
  // Waits up to timeoutMs for a message to arrive (returns at once when
  // one is pending), then pumps. For wait loops built on PumpMessages.
  void WaitAndPumpMessages(unsigned timeoutMs);

  virtual std::string GetBoundAddr();
  virtual std::string GetBoundPort();

  // Move the component's window to another thread.
  virtual void DetachFromThread();
  virtual void AttachToThread();

  // Winsock version requested by WSAStartup; changeable only while the
  // library is not loaded (socket error otherwise).
  void SetReqVerLow(int value);
  void SetReqVerHigh(int value);

 protected:
  // ---- Steps that later layers replace ----------------------------------
  virtual LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam);
  virtual void TryToSend();
  virtual void ResetToDefaults();
  virtual void CloseInternal(bool shut, int error);
  virtual void AbortInternal(int error);
  virtual int GetRcvdCount();
  virtual void BindLocal();
  virtual int SendRaw(const char* data, int length);
  virtual int RecvRaw(void* buffer, int size, int flags);
  virtual void RaiseSocketError(const std::string& message);
  // Reports the error code of the last socket call (or code when given):
  // "Error <code> in function <function>" + CR LF + description.
  virtual void ReportSocketError(const std::string& function, int code = -1);
  virtual void HandleBackgroundException(const std::exception& error);
  // Fires OnDataAvailable; false when no handler is assigned.
  virtual bool TriggerDataAvailable(int error);
  virtual void TriggerSessionAvailable(int error);
  virtual void SessionConnectedHook(int error);
  virtual void TriggerSessionConnected(int error);
  virtual void TriggerSessionClosed(int error);
  virtual void TriggerDataSent(int error);
  virtual void TriggerSendData(int count);
  virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
  virtual void TriggerDnsLookupDone(int error);
  virtual void TriggerError();
  virtual void HandleFdConnect(int error);
  virtual void HandleFdRead(int error);
  virtual void HandleFdWrite(int error);
  virtual void HandleFdAccept(int error);
  virtual void HandleFdClose(int error);
  virtual std::string GetPeerAddr();
  virtual std::string GetPeerPort();

  // The checks that open Connect ("Connect: No Port Specified", ...);
  // false after reporting the first that fails.
  bool CheckConnectSettings();
  // Connect goes to this address (network order) and port instead of
  // resolving Addr and Port (a proxy in between).
  void SetResolvedRemote(std::uint32_t address, int port);

  void ChangeState(TSocketState newState);
  bool SocketOpen() const { return socket_ != INVALID_SOCKET; }
  bool Destroying() const { return destroying_; }
  // Fires OnDataAvailable while data waits (see the options); with
  // finalDelivery (at FD_CLOSE) everything buffered is delivered.
  void ReceiveLoop(int error, TNetSocketOptions options, bool finalDelivery = false);
  // Token that turns false when the component is destroyed: loops that fire
  // events check it before touching the component again.
  std::shared_ptr<bool> AliveToken() const { return alive_; }

 private:
  LRESULT HandleWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) noexcept override;
  void HandleLookupReply(TLookupRequest& request, UINT message, LPARAM lParam) noexcept override;
  void HandleUnknownLookupReply(UINT message, WPARAM wParam, LPARAM lParam) noexcept override;
  void DispatchSelect(WPARAM wParam, LPARAM lParam);
  TSendChain::SendFunction SendFunction();
  TSendChain::SentFunction SentFunction();
  void HandleDrainResult(const TDrainResult& result);
  void ProcessLookupReply(TLookupRequest& request, UINT message, LPARAM lParam);
  using TLookupStart = std::function<HANDLE(HWND window, TLookupRequest& request)>;
  // Starts an asynchronous lookup whose reply comes as message; failures
  // are reported with target and end in OnDnsLookupDone.
  void StartLookup(UINT message, const std::string& target, const char* noWindowText,
                   const TLookupStart& start);
  void AbandonLookup();
  // Drops a running lookup (without event) and clears the results.
  void ResetLookup();
  // The peer's (peer) or the bound local address; false ("error" for the
  // caller) when the state has none or the query failed (reported).
  bool QueryAddress(bool peer, const char* function, sockaddr_in& address);
  bool CheckReverseAddress(const std::string& address);
  // Addresses (forward) or official name and aliases (reverse) of a reply.
  void StoreLookupResult(const hostent& entry, bool names);
  bool AssignProperty(std::string& field, bool& assigned, bool* resolved, const std::string& value,
                      const char* name);
  void CompleteFailedConnect(int code);
  // Bind and multicast/broadcast options of a datagram Connect; false
  // after reporting a failure.
  bool PrepareDatagram();
  // Opens the socket Listen asked for; false after reporting a failure.
  bool OpenListener(int type, int protocol);
  // Listen's last step for datagram and raw sockets: connected at once.
  void ListenConnected();
  void ApplyLinger();
  void ApplyKeepAlive();
  // The guarded message handling; exceptions go to HandleBackgroundException.
  LRESULT GuardedWndProc(UINT message, WPARAM wParam, LPARAM lParam) noexcept;

  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::weak_ptr<TNetLogger> logger_;
  winsock::TUserRef library_;
  TSocketWindowPtr window_;

  std::string addr_, port_, proto_ = "tcp", localAddr_ = "0.0.0.0", localPort_ = "0";
  bool addrAssigned_ = false, portAssigned_ = false, protoAssigned_ = true;
  bool addrResolved_ = false, portResolved_ = false, protoResolved_ = false;
  bool localPortResolved_ = false;
  int protoNumber_ = 6;
  int socketType_ = SOCK_STREAM;
  int localPortNumber_ = 0;
  sockaddr_in sin_{};

  TSocketState state_ = wsClosed;
  int lastError_ = 0;
  std::int64_t readCount_ = 0;
  std::uint64_t consumed_ = 0;   // bytes handed out by RecvRaw, for the receive loop
  bool lastReadFilled_ = false;  // the last recv filled the caller's buffer
  std::string dnsResult_;
  std::vector<std::string> dnsResultList_;

  bool multiThreaded_ = false;
  TNetSocketOptions options_;
  TSocketSendFlags sendFlags_ = wsSendNormal;
  TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
  int lingerTimeout_ = 0;
  TSocketKeepAliveOnOff keepAliveOnOff_ = wsKeepAliveOnSystem;
  int keepAliveTime_ = 30000;
  int keepAliveInterval_ = 1000;
  int listenBacklog_ = 5;
  bool multiCast_ = false;
  std::string multiCastAddr_;
  int multiCastTtl_ = 1;
  bool reuseAddr_ = false;
  int flushTimeout_ = 60;

  TSendChain sendChain_;
  bool allSent_ = true;
  SOCKET socket_ = INVALID_SOCKET;
  long selectMask_ = 0;
  bool paused_ = false;
  bool closeInvoked_ = false;
  bool destroying_ = false;
  bool terminated_ = false;
  bool detached_ = false;

  TLookupRequest* lookup_ = nullptr;  // owned by window_
  bool lookupStarting_ = false;
  bool earlyReply_ = false;
  UINT earlyMessage_ = 0;
  WPARAM earlyWParam_ = 0;
  LPARAM earlyLParam_ = 0;
};

// SOCKS proxy layer. With SocksServer empty (the default) every operation
// passes straight through. Otherwise Connect goes to the proxy, and the
// negotiation (method selection, user/password, connect request) runs
// before OnSessionConnected: it fires once, after the proxy granted the
// tunnel (0) or with the error that ended the negotiation.
using TSocksErrorEvent =
    std::function<void(TCustomNetSocket* sender, int error, const std::string& message)>;
using TSocksAuthStateEvent = std::function<void(TCustomNetSocket* sender, TSocksAuthState state)>;

class TCustomSocksNetSocket : public TCustomNetSocket {
 public:
  // Proxy host and port, and "4", "4A" or "5"; changeable only in wsClosed.
  // They stay set across connections, so a reconnect never bypasses the
  // proxy by accident.
  const std::string& SocksServer() const { return socksServer_; }
  virtual void SetSocksServer(const std::string& value);
  const std::string& SocksPort() const { return socksPort_; }
  virtual void SetSocksPort(const std::string& value);
  const std::string& SocksLevel() const { return socksLevel_; }
  void SetSocksLevel(const std::string& value);
  std::string SocksUsercode, SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;
  // Address and port the SOCKS 5 proxy bound for the tunnel.
  const std::string& SocksBoundAddr() const { return negotiation_.BoundAddr(); }
  const std::string& SocksBoundPort() const { return negotiation_.BoundPort(); }
  // True from Connect until the proxy granted or refused the tunnel.
  bool SocksNegotiating() const { return negotiating_; }

  TSessionEvent OnSocksConnected;  // the connection to the proxy is up (or failed)
  TSocksAuthStateEvent OnSocksAuthState;
  TSocksErrorEvent OnSocksError;  // the negotiation failed

  void Connect() override;
  void Listen() override;

 protected:
  virtual void TriggerSocksConnected(int error);
  virtual void TriggerSocksError(int error, const std::string& message);
  virtual void TriggerSocksAuthState(TSocksAuthState state);
  void ResetToDefaults() override;
  bool TriggerDataAvailable(int error) override;
  void SessionConnectedHook(int error) override;
  void TriggerSessionClosed(int error) override;

 private:
  // Sends the greeting or the SOCKS 4 connect request.
  void StartNegotiation();
  // Reads and handles the proxy's reply bytes that wait in the socket.
  void ReadProxyReplies(int error);
  // Acts on a step of the negotiation; false when it ended (or the
  // component went away).
  bool Perform(const TSocksStep& step);
  // Ends the negotiation: OnSocksError, OnSessionConnected(code), close.
  void FailNegotiation(int code, const std::string& message);

  std::string socksServer_, socksPort_, socksLevel_ = "5";
  TSocksNegotiation negotiation_;
  bool negotiating_ = false;
};

// Line layer. With LineMode on, received bytes are collected and
// OnDataAvailable fires once per complete line (ended by LineEnd); Receive
// then returns bytes of that line only. With line mode off (the default)
// data passes straight through.
using TLineLimitEvent =
    std::function<void(TCustomNetSocket* sender, std::int64_t received, bool& clearData)>;

class TCustomLineNetSocket : public TCustomSocksNetSocket {
 public:
  bool LineMode() const { return lineMode_; }
  // Switching with bytes buffered delivers them from the message loop.
  virtual void SetLineMode(bool value);
  int LineLimit = 65536;  // bytes without a line end before OnLineLimitExceeded; 0 = none
  std::string LineEnd = "\r\n";
  bool LineEcho = false;  // send received bytes back (terminal peers)
  bool LineEdit = false;  // backspace and tab editing of received bytes
  // Fired when LineLimit bytes came without a line end; leaving clearData
  // set drops them.
  TLineLimitEvent OnLineLimitExceeded;

  // Queues text and LineEnd; returns the bytes queued (0 for empty text).
  virtual int SendLine(const std::string& text);

 protected:
  virtual void TriggerLineLimitExceeded(std::int64_t count, bool& clearData);
  LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  int GetRcvdCount() override;
  int RecvRaw(void* buffer, int size, int flags) override;
  bool TriggerDataAvailable(int error) override;
  void TriggerSessionClosed(int error) override;

 private:
  bool LineModeActive() const;
  // Fires OnDataAvailable for found lines, searching from `from`; every
  // loop stops after a pass in which the handler read nothing.
  void DeliverLines(std::size_t from);
  // Fires OnDataAvailable while the current line (or, with line mode off,
  // the buffer) has bytes the handler takes.
  void DeliverBuffered(bool lineOnly);

  bool lineMode_ = false;
  TLineBuffer lines_;
};

// Synchronous waiting on top of the message-driven component.
class TCustomSyncNetSocket : public TCustomLineNetSocket {
 public:
  // Milliseconds WaitUntilReady waits at most; 0 waits without limit.
  int Timeout = 0;
  // Pumps messages until flag is true (0), the timeout expires or the
  // thread's message loop is told to quit (12001).
  virtual int WaitUntilReady(const bool& flag);
  // Clears flag, runs action (when given), then WaitUntilReady(flag).
  virtual int Synchronize(const std::function<void()>& action, bool& flag);
};

class TNetSocket : public TCustomSyncNetSocket {};

}  // namespace corvan::net
