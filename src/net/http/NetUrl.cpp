#include "net/http/NetUrl.h"

#include <cctype>

namespace corvan::http {
namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

// Characters a scheme may consist of (compared after lower-casing).
bool IsSchemeChar(char c) {
  return c == '+' || c == '-' || c == '.' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
}

// The base up to and including its last "/", or "/" when it has none.
std::string DirectoryOf(std::string_view base) {
  const auto slash = base.rfind('/');
  if (slash == std::string_view::npos) return "/";
  return std::string(base.substr(0, slash + 1));
}

std::string ResolveParentRelative(std::string_view base, std::string_view rest) {
  std::string dir = DirectoryOf(base);
  for (;;) {
    dir.pop_back();  // the trailing "/": one level up
    dir = DirectoryOf(dir);
    if (rest.substr(0, 3) != "../") break;
    rest.remove_prefix(3);
  }
  return dir + std::string(rest);
}

// Splits "user:password@host:port" into its parts.
void SplitAuthority(std::string_view authority, TUrlParts& parts) {
  const std::size_t colon = authority.rfind(':');
  const std::size_t at = authority.rfind('@');
  const bool hasColon = colon != std::string_view::npos;
  const bool hasAt = at != std::string_view::npos;
  if (!hasColon && !hasAt) {
    parts.host = authority;
    return;
  }
  if (hasColon && (!hasAt || colon > at)) {
    parts.port = authority.substr(colon + 1);
    const std::size_t hostStart = hasAt ? at + 1 : 0;
    parts.host = authority.substr(hostStart, colon - hostStart);
    if (!hasAt) return;
  } else {
    parts.host = authority.substr(at + 1);
  }
  const std::string_view userInfo = authority.substr(0, at);
  const std::size_t split = userInfo.find(':');
  if (split == std::string_view::npos) {
    parts.user = userInfo;
  } else {
    parts.user = userInfo.substr(0, split);
    parts.password = userInfo.substr(split + 1);
  }
}

}  // namespace

int PosNth(std::string_view pattern, std::string_view text, int count) {
  if (count == -1) {
    if (pattern.empty()) return 0;
    const std::size_t found = text.rfind(pattern);
    return found == std::string_view::npos ? 0 : static_cast<int>(found) + 1;
  }
  if (count <= 0) return 0;
  const int notFound = static_cast<int>(text.size()) + 1;
  if (pattern.empty()) return notFound;
  std::size_t from = 0;
  std::size_t found = std::string_view::npos;
  for (int i = 0; i < count; ++i) {
    found = text.find(pattern, from);
    if (found == std::string_view::npos) return notFound;
    from = found + 1;
  }
  return static_cast<int>(found) + 1;
}

TUrlParts SplitUrl(std::string_view url, std::string_view base) {
  TUrlParts parts;
  if (url.empty()) return parts;

  if (url.substr(0, 2) == "./") {
    parts.path = DirectoryOf(base) + std::string(url.substr(2));
    return parts;
  }
  if (url.substr(0, 3) == "../") {
    parts.path = ResolveParentRelative(base, url.substr(3));
    return parts;
  }

  // Index (0-based) where the authority begins.
  std::size_t authorityStart = 0;
  std::size_t schemeEnd = url.find("://");
  if (schemeEnd != std::string_view::npos) {
    std::string scheme(url.substr(0, schemeEnd));
    for (char& c : scheme) c = Lower(c);
    bool valid = true;
    for (char c : scheme) valid = valid && IsSchemeChar(c);
    if (valid) {
      parts.proto = std::move(scheme);
      authorityStart = schemeEnd + 3;
    } else {
      parts.proto = "http";
      schemeEnd = std::string_view::npos;
    }
  }
  if (schemeEnd == std::string_view::npos) {
    if (url[0] == '/') {
      parts.proto = "http";
      if (url.size() > 1 && url[1] != '/') {
        parts.path = url;  // host-relative
        return parts;
      }
      // "//host/...": the authority follows the two slashes.
      authorityStart = url.size() > 1 ? 2 : 1;
    } else if (StartsWithNoCase(url, "http:")) {
      parts.proto = "http";
      if (url.size() > 6 && url[6] != '/') {
        parts.path = url.substr(5);
        return parts;
      }
      authorityStart = std::min<std::size_t>(url.size(), 6);
    } else if (StartsWithNoCase(url, "mailto:")) {
      parts.proto = "mailto";
      authorityStart = url.find(':') + 1;
    }
  }

  const std::string_view rest = url.substr(authorityStart);
  const std::size_t pathStart = std::min(rest.find('/'), rest.find('?'));
  std::string_view authority = rest;
  if (pathStart != std::string_view::npos) {
    parts.path = rest.substr(pathStart);
    authority = rest.substr(0, pathStart);
  }
  SplitAuthority(authority, parts);
  return parts;
}

std::string DefaultPort(std::string_view proto) {
  return proto.size() == 5 && StartsWithNoCase(proto, "https") ? "443" : "80";
}

void SplitUrl(std::string_view url, std::string& proto, std::string& user, std::string& password,
              std::string& host, std::string& port, std::string& path) {
  TUrlParts parts = SplitUrl(url, path);
  proto = std::move(parts.proto);
  user = std::move(parts.user);
  password = std::move(parts.password);
  host = std::move(parts.host);
  port = std::move(parts.port);
  path = std::move(parts.path);
}

}  // namespace corvan::http
