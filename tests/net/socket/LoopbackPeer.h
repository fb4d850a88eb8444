#pragma once
// Real peers on 127.0.0.1 for the socket component's tests: a listening
// socket of plain blocking Winsock (ws2_32, linked normally) whose accepted
// connection is driven by a script on a thread of its own.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "MessagePump.h"

namespace corvan::net::testing {

// Starts Winsock for the test program's own plain sockets.
void StartPlainWinsock();

class TLoopbackPeer {
 public:
  using Script = std::function<void(SOCKET connection)>;

  // Listens on an ephemeral port of 127.0.0.1; accepts one connection and
  // runs script on it, then closes it (gracefully unless the script reset it).
  explicit TLoopbackPeer(Script script);
  ~TLoopbackPeer();
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  // Waits for the script to end (at most timeoutMs); true when it ended.
  bool Join(DWORD timeoutMs = 10000);

 private:
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
  HANDLE done_ = nullptr;
};

// A socat process from the host serving one connection on 127.0.0.1 with a
// shell script (socat's SYSTEM address; no commas in the script). It ends
// by itself after that connection, or after 10 s without traffic. (Wine's
// handle of a host process is not a reliable wait object: nothing waits.)
class TSocatPeer {
 public:
  explicit TSocatPeer(const std::string& script);
  ~TSocatPeer();
  TSocatPeer(const TSocatPeer&) = delete;
  TSocatPeer& operator=(const TSocatPeer&) = delete;

  int Port() const { return port_; }

 private:
  int port_ = 0;
  HANDLE process_ = nullptr;
};

// Script helpers.
void SendAll(SOCKET s, const std::string& data);
// Reads until the peer closes (or an error); returns everything read.
std::string ReadToEnd(SOCKET s);
// Ends the connection with a reset (SO_LINGER on, 0 s).
void ResetConnection(SOCKET s);
// A port of 127.0.0.1 on which nothing listens.
int UnusedPort();

}  // namespace corvan::net::testing
