#pragma once
// What the launcher tells the UltraVNC server, and where it finds it.
// Portable: no Windows headers.
#include <string>
#include <string_view>

namespace corvan::app {

// The vendor's UltraVNC repeater; the server connects out to it.
inline constexpr std::string_view kRepeaterHost = "repeater.corvan-ng.nl";
inline constexpr int kRepeaterPort = 5500;
// Helpdesk numbers 1..1000 become server identifiers 9001..10000.
inline constexpr int kIdentifierOffset = 9000;
inline constexpr int kMinHelpdeskNumber = 1;
inline constexpr int kMaxHelpdeskNumber = 1000;

inline constexpr std::string_view kKillParameters = "-Kill";
inline constexpr std::string_view kRunParameters = "-run";
inline constexpr std::string_view kVncServerInProgramFiles = "ultravnc\\Winvnc.exe";

bool IsValidHelpdeskNumber(int number);

// "-autoreconnect ID:<id> -connect <host>::5500" with reconnect,
// "-id:<id> -connect <host>::5500" without; id = 9000 + helpdesk number.
std::string ConnectParameters(int helpdeskNumber, bool reconnect,
                              std::string_view host = kRepeaterHost);

// The server's path from the Program Files folder the shell reports (with
// its trailing backslash). A 32-bit process on 64-bit Windows is shown the
// " (x86)" folder; the server lives in the 64-bit one, so that suffix is
// removed. An empty folder gives an empty path: a bare relative path would
// run whatever lies in the current folder.
std::string VncServerPathFromProgramFiles(std::string_view folder, bool isWow64);

}  // namespace corvan::app
