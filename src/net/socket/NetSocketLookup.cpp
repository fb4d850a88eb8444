// Name resolution of the socket component: the blocking helpers and the
// asynchronous forward and reverse lookups answered through the window.
#include <cstring>

#include "net/socket/NetAddress.h"
#include "net/socket/NetSocket.h"
#include "net/socket/NetSocketInternal.h"

namespace corvan::net {

using detail::DottedFromNetworkBytes;
using detail::kMaxHostLength;
using detail::kNoAddress;

// ---- Blocking resolution helpers -------------------------------------------

std::uint32_t NetSocketResolveHost(const std::string& host) {
  if (host.empty() || host.size() > kMaxHostLength) {
    throw ESocketException("NetSocketResolveHost: '" + host + "' Invalid Hostname.");
  }
  const std::string text = TrimText(host);
  if (NetSocketIsDottedIP(text)) {
    const unsigned long address = winsock::InetAddr(text.c_str());
    if (address == kNoAddress && text != "255.255.255.255") {
      throw ESocketException("NetSocketResolveHost: '" + host + "' Invalid IP address.");
    }
    return static_cast<std::uint32_t>(address);
  }
  const hostent* entry = winsock::GetHostByName(text.c_str());
  if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list ||
      !entry->h_addr_list[0]) {
    throw ESocketException(detail::FormatTextNumber(
        "NetSocketResolveHost: Cannot convert host address '%s', Error #%d", host,
        winsock::LastError()));
  }
  std::uint32_t address;
  std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  return address;
}

int NetSocketResolvePort(const std::string& port, const std::string& proto) {
  const TNumberOrName parsed = ParsePortText(port, proto);
  if (parsed.isNumber) return parsed.number;
  const std::string protoName = TrimText(proto);
  const servent* service =
      winsock::GetServByName(parsed.name.c_str(), protoName.empty() ? nullptr : protoName.c_str());
  if (!service) {
    throw ESocketException(detail::FormatTextNumber(
        "NetSocketResolvePort: Cannot convert port '%s', Error #%d", port, winsock::LastError()));
  }
  return winsock::Ntohs(static_cast<u_short>(service->s_port));
}

int NetSocketResolveProto(const std::string& proto) {
  const TNumberOrName parsed = ParseProtoText(proto);
  if (parsed.isNumber) return parsed.number;
  const protoent* entry = winsock::GetProtoByName(parsed.name.c_str());
  if (!entry) {
    throw ESocketException(
        detail::FormatTextNumber("NetSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                                 proto, winsock::LastError()));
  }
  return entry->p_proto;
}

std::string NetSocketLocalHostName() {
  char name[64] = {};
  if (winsock::GetHostName(name, sizeof name) != 0) {
    throw ESocketException("Winsock.GetHostName failed");
  }
  name[sizeof name - 1] = '\0';
  return name;
}

// ---- Name lookup ------------------------------------------------------------------

void TCustomNetSocket::StartLookup(UINT message, const std::string& target,
                                   const char* noWindowText, const TLookupStart& start) {
  if (!window_) {
    RaiseSocketError(noWindowText);
    return;
  }
  TLookupRequest& request = window_->NewLookup();
  earlyReply_ = false;
  lookupStarting_ = true;
  HANDLE handle = nullptr;
  try {
    handle = start(Handle(), request);
  } catch (...) {
    lookupStarting_ = false;
    window_->Abandon(request);
    throw;
  }
  lookupStarting_ = false;
  if (!handle) {
    window_->Abandon(request);
    const int code = winsock::LastError();
    lastError_ = code;
    RaiseSocketError(
        detail::FormatTextNumber("%s: can't start DNS lookup, error #%d", target, code));
    // With OnError bound nothing was raised: a caller waiting for the
    // lookup still gets its completion.
    TriggerDnsLookupDone(code);
    return;
  }
  request.handle = handle;
  lookup_ = &request;
  if (earlyReply_) {
    // The reply was dispatched while the request was being started: its
    // handle was unknown then. Process it once, now.
    earlyReply_ = false;
    if (earlyMessage_ == message && reinterpret_cast<HANDLE>(earlyWParam_) == handle) {
      std::unique_ptr<TLookupRequest> done = window_->Take(request);
      ProcessLookupReply(*done, earlyMessage_, earlyLParam_);
    }
  }
}

void TCustomNetSocket::ResetLookup() {
  AbandonLookup();
  dnsResult_.clear();
  dnsResultList_.clear();
}

bool TCustomNetSocket::CheckReverseAddress(const std::string& address) {
  if (!address.empty() && address.size() <= kMaxHostLength) return true;
  RaiseSocketError("ReverseDnsLookup: Invalid host name.");
  TriggerDnsLookupDone(wsa::kEINVAL);
  return false;
}

void TCustomNetSocket::StoreLookupResult(const hostent& entry, bool names) {
  if (names) {
    if (entry.h_name) dnsResultList_.push_back(entry.h_name);
    for (char** alias = entry.h_aliases; alias && *alias; ++alias) {
      dnsResultList_.push_back(*alias);
    }
  } else if (entry.h_addrtype == AF_INET && entry.h_length == 4) {
    for (char** address = entry.h_addr_list; address && *address; ++address) {
      dnsResultList_.push_back(DottedFromNetworkBytes(*address));
    }
  }
  if (!dnsResultList_.empty()) dnsResult_ = dnsResultList_.front();
}

void TCustomNetSocket::AbandonLookup() {
  if (!lookup_) return;
  TLookupRequest& request = *lookup_;
  lookup_ = nullptr;
  winsock::CancelAsyncRequest(request.handle);
  if (window_) window_->Abandon(request);
}

void TCustomNetSocket::CancelDnsLookup() {
  if (!lookup_) return;
  TLookupRequest& request = *lookup_;
  lookup_ = nullptr;
  const int result = winsock::CancelAsyncRequest(request.handle);
  if (window_) window_->Abandon(request);  // its buffer lives until the reply comes
  if (result != 0) {
    ReportSocketError("WSACancelAsyncRequest");
    return;
  }
  if (!destroying_) TriggerDnsLookupDone(wsa::kEINTR);
}

void TCustomNetSocket::DnsLookup(const std::string& host) {
  if (host.empty()) {
    RaiseSocketError("DNS lookup: invalid host name.");
    TriggerDnsLookupDone(wsa::kEINVAL);
    return;
  }
  ResetLookup();
  if (NetSocketIsDottedIP(host)) {
    const std::string text = TrimText(host);
    const unsigned long address = winsock::InetAddr(text.c_str());
    if (address != kNoAddress) {
      dnsResult_ = DottedFromNetworkBytes(&address);
      dnsResultList_.push_back(dnsResult_);
      TriggerDnsLookupDone(0);
      return;
    }
  }
  StartLookup(WM_SOCKET_HOSTBYNAME, host, "DnsLookup: Window not assigned",
              [&](HWND window, TLookupRequest& request) {
                return winsock::AsyncGetHostByName(window, WM_SOCKET_HOSTBYNAME, host.c_str(),
                                                   request.buffer.data(), MAXGETHOSTSTRUCT);
              });
}

void TCustomNetSocket::ReverseDnsLookup(const std::string& address) {
  if (!CheckReverseAddress(address)) return;
  ResetLookup();
  const unsigned long binary = winsock::InetAddr(TrimText(address).c_str());
  StartLookup(WM_SOCKET_HOSTBYADDR, address, "ReverseDnsLookup: Window not assigned",
              [&](HWND window, TLookupRequest& request) {
                return winsock::AsyncGetHostByAddr(
                    window, WM_SOCKET_HOSTBYADDR, reinterpret_cast<const char*>(&binary), 4,
                    AF_INET, request.buffer.data(), MAXGETHOSTSTRUCT);
              });
}

void TCustomNetSocket::ReverseDnsLookupNow(const std::string& address) {
  if (!CheckReverseAddress(address)) return;
  ResetLookup();
  const unsigned long binary = winsock::InetAddr(TrimText(address).c_str());
  const hostent* entry = winsock::GetHostByAddr(reinterpret_cast<const char*>(&binary), 4, AF_INET);
  if (!entry) {
    TriggerDnsLookupDone(winsock::LastError());
    return;
  }
  StoreLookupResult(*entry, true);
  TriggerDnsLookupDone(0);
}

void TCustomNetSocket::HandleLookupReply(TLookupRequest& request, UINT message,
                                         LPARAM lParam) noexcept {
  if (&request != lookup_) return;
  try {
    ProcessLookupReply(request, message, lParam);
  } catch (const std::exception& error) {
    HandleBackgroundException(error);
  } catch (...) {
    HandleBackgroundException(ESocketException("Unknown exception in NetSocket"));
  }
}

void TCustomNetSocket::HandleUnknownLookupReply(UINT message, WPARAM wParam,
                                                LPARAM lParam) noexcept {
  if (!lookupStarting_) return;  // a reply nobody waits for
  earlyReply_ = true;
  earlyMessage_ = message;
  earlyWParam_ = wParam;
  earlyLParam_ = lParam;
}

void TCustomNetSocket::ProcessLookupReply(TLookupRequest& request, UINT message, LPARAM lParam) {
  lookup_ = nullptr;
  const int error = WSAGETASYNCERROR(lParam);
  if (error == 0) {
    StoreLookupResult(*reinterpret_cast<const hostent*>(request.buffer.data()),
                      message == WM_SOCKET_HOSTBYADDR);
  }
  TriggerDnsLookupDone(error);
}
}  // namespace corvan::net
