#pragma once
// Helpers shared by the units of the socket component (not part of its
// interface).
#include "net/socket/NetWinsock.h"

#include <cstdint>
#include <string>
#include <utility>

namespace corvan::net::detail {

constexpr unsigned long kNoAddress = 0xFFFFFFFFul;  // INADDR_NONE
constexpr std::size_t kMaxHostLength = 256;

// printf-style text with one string and one number, as the layer's
// messages are built ("%s: can't start DNS lookup, error #%d").
std::string FormatTextNumber(const char* format, const std::string& text, int number);

// Four bytes of an IPv4 address as stored on the wire.
std::string DottedFromNetworkBytes(const void* bytes);

// Fires an event when assigned. The handler is copied first, so a handler
// that reassigns or clears its own event does not destroy itself mid-call.
template <typename Event, typename... Args>
void Fire(const Event& event, Args&&... args) {
  if (!event) return;
  Event copy = event;
  copy(std::forward<Args>(args)...);
}

}  // namespace corvan::net::detail
