#include "app/VncCommands.h"

namespace corvan::app {

bool IsValidHelpdeskNumber(int number) {
  return number >= kMinHelpdeskNumber && number <= kMaxHelpdeskNumber;
}

std::string ConnectParameters(int helpdeskNumber, bool reconnect, std::string_view host) {
  const std::string id = std::to_string(kIdentifierOffset + helpdeskNumber);
  std::string parameters = reconnect ? "-autoreconnect ID:" : "-id:";
  parameters += id;
  parameters += " -connect ";
  parameters += host;
  parameters += "::";
  parameters += std::to_string(kRepeaterPort);
  return parameters;
}

std::string VncServerPathFromProgramFiles(std::string_view folder, bool isWow64) {
  if (folder.empty()) return {};
  std::string path(folder);
  constexpr std::string_view kX86 = " (x86)";
  // The six characters in front of the trailing backslash; a folder too
  // short to hold them plus that backslash is left alone.
  if (isWow64 && path.size() >= kX86.size() + 1 &&
      std::string_view(path).substr(path.size() - 1 - kX86.size(), kX86.size()) == kX86) {
    path.erase(path.size() - 1 - kX86.size(), kX86.size());
  }
  path += kVncServerInProgramFiles;
  return path;
}

}  // namespace corvan::app
