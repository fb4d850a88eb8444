#include "crash/util/TextParts.h"

#include <cctype>
#include <vector>

namespace corvan::crash {

std::string HexText(std::uint32_t value) {
  static const char digits[] = "0123456789abcdef";
  char buffer[9];
  int at = 9;
  do {
    buffer[--at] = digits[value & 15];
    value >>= 4;
  } while (value);
  buffer[--at] = '$';
  return std::string(buffer + at, 9 - at);
}

std::string AddressText(std::uint32_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) out[i] = digits[value & 15];
  return out;
}

std::string FileNamePart(std::string_view path) {
  const auto slash = path.rfind('\\');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string FolderPart(std::string_view path) {
  const auto slash = path.rfind('\\');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string DrivePart(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2)) + "\\";
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    const auto server = path.find('\\', 2);
    if (server == std::string_view::npos) return std::string(path) + "\\";
    const auto share = path.find('\\', server + 1);
    if (share == std::string_view::npos) return std::string(path) + "\\";
    return std::string(path.substr(0, share + 1));
  }
  return {};
}

std::string WithoutExtension(std::string_view path) {
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('\\');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
    return std::string(path);
  }
  return std::string(path.substr(0, dot));
}

std::string MakeAbsolutePath(std::string_view path, std::string_view exeFolder) {
  std::string full;
  const bool rooted = path.size() >= 3 && (path[0] == '\\' || path[1] == ':');
  if (!rooted) {
    full = std::string(exeFolder) + std::string(path);
  } else if (path[0] == '\\' && path[1] != '\\') {
    std::string drive = DrivePart(exeFolder);
    if (!drive.empty()) drive.pop_back();  // the path brings its own backslash
    full = drive + std::string(path);
  } else {
    full = std::string(path);
  }
  // Fold "\.\" and "\..\" over the segments after the drive part.
  const std::string drive = DrivePart(full);
  std::vector<std::string> parts;
  std::size_t at = drive.size();
  while (at <= full.size()) {
    auto next = full.find('\\', at);
    if (next == std::string::npos) next = full.size();
    std::string part = full.substr(at, next - at);
    const bool last = next == full.size();
    if (part == ".") {
      if (last) parts.emplace_back();
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      if (last) parts.emplace_back();
    } else {
      parts.push_back(std::move(part));
    }
    at = next + 1;
  }
  std::string out = drive;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '\\';
    out += parts[i];
  }
  return out;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace corvan::crash
