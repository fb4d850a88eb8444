#pragma once
// A time limit for the synchronous requests of tests on real sockets. The
// client has none of its own: its wait ends only when the request finishes
// or the application ends, so an answer that never completes (a lost
// network event, a peer gone quiet) would hang the whole test program until
// ctest gives up. The limit goes through the client's application-end hook:
// once it has passed, the wait aborts the request and Get raises
// "Connection aborted on request", and the test fails naming the state the
// client was waiting in.
#include <windows.h>

#include <string>

#include "net/http/NetHttpClient.h"

namespace corvan::http::testing {

// Long enough for the largest test answer on a heavily loaded machine.
constexpr DWORD kRequestLimitMs = 30000;

class TRequestDeadline {
 public:
  // Arms the limit for the client's requests until destruction.
  TRequestDeadline(TNetHttpClient& client, DWORD limitMs = kRequestLimitMs)
      : client_(client), start_(::GetTickCount()), limitMs_(limitMs) {
    client_.Environment().ApplicationTerminated = [this] { return Passed(); };
  }
  ~TRequestDeadline() { client_.Environment().ApplicationTerminated = nullptr; }
  TRequestDeadline(const TRequestDeadline&) = delete;
  TRequestDeadline& operator=(const TRequestDeadline&) = delete;

  // Empty while the limit holds; otherwise what the client was doing when
  // it passed.
  const std::string& Expired() const { return expired_; }

 private:
  bool Passed() {
    if (expired_.empty() && ::GetTickCount() - start_ >= limitMs_) {
      expired_ = "no end within " + std::to_string(limitMs_) + " ms, waiting in state " +
                 HttpStateName(client_.State());
    }
    return !expired_.empty();
  }

  TNetHttpClient& client_;
  DWORD start_;
  DWORD limitMs_;
  std::string expired_;
};

}  // namespace corvan::http::testing
