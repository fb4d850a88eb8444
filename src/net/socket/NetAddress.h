#pragma once
// Checks and parsers for the texts a socket is configured with: dotted IPv4
// addresses, port and protocol texts. No Windows headers: the Winsock-bound
// resolution only handles what these leave to a name lookup.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan::net {

// The text without leading and trailing spaces and control characters.
std::string TrimText(std::string_view text);
std::string LowerText(std::string_view text);

// True when, after leading spaces, the text is four decimal groups below
// 256 separated by single dots, optionally followed by spaces only.
bool NetSocketIsDottedIP(std::string_view text);

// "a.b.c.d" of an IPv4 address given in host byte order.
std::string FormatDottedIP(std::uint32_t hostOrderAddress);

// A port or protocol text: either a number (already range-checked) or a
// name that has to be looked up by the system's services database.
struct TNumberOrName {
  bool isNumber = false;
  int number = 0;
  std::string name;  // trimmed; lower-case for protocols
};

// Classifies a port text. Empty texts, texts of 32 characters or more and
// numbers above 65535 raise ESocketException "NetSocketResolvePort: Invalid
// Port."; a protocol text of that kind raises "... Invalid Proto.".
TNumberOrName ParsePortText(std::string_view port, std::string_view proto);

// Classifies a protocol text: numbers (at most 65535), the names "tcp",
// "udp" and "raw" (6, 17, 255); anything else is a name to look up. Empty
// or too long texts raise "NetSocketResolveProto: Invalid Protocol.".
TNumberOrName ParseProtoText(std::string_view proto);

// Socket type for a protocol number: 1 (stream) for TCP, 2 (datagram) for
// UDP, 3 (raw) for anything else.
int SocketTypeForProtocol(int protocolNumber);

}  // namespace corvan::net
