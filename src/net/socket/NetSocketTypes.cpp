#include "net/socket/NetSocketTypes.h"

#include <iterator>

namespace corvan::net {

const char* SocketStateName(TSocketState state) {
  static constexpr const char* kNames[] = {"wsInvalidState", "wsOpened",         "wsBound",
                                           "wsConnecting",   "wsSocksConnected", "wsConnected",
                                           "wsAccepting",    "wsListening",      "wsClosed"};
  const auto index = static_cast<unsigned>(state);
  return index < std::size(kNames) ? kNames[index] : "invalid state";
}

}  // namespace corvan::net
