#include "net/http/NetUrl.h"

#include "net/http/HttpHeaderText.h"

namespace corvan::http {

int PosNth(std::string_view pattern, std::string_view text, int count) {
  if (count == 0) return 0;
  if (count < 0) {
    const std::size_t at = text.rfind(pattern);
    return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
  }
  std::size_t from = 0;
  std::size_t found = std::string_view::npos;
  for (int i = 0; i < count; ++i) {
    found = text.find(pattern, from);
    if (found == std::string_view::npos) return static_cast<int>(text.size()) + 1;
    from = found + 1;
  }
  return static_cast<int>(found) + 1;
}

namespace {
std::string BaseDir(const std::string& base) {
  const std::size_t slash = base.rfind('/');
  return slash == std::string::npos ? "/" : base.substr(0, slash + 1);
}
}  // namespace

void SplitUrl(std::string_view url, std::string& proto, std::string& user, std::string& password,
              std::string& host, std::string& port, std::string& path) {
  const std::string base = path;
  proto.clear(); user.clear(); password.clear(); host.clear(); port.clear(); path.clear();
  if (url.empty()) return;
  if (url.starts_with("./")) {
    path = BaseDir(base) + std::string(url.substr(2));
    return;
  }
  if (url.starts_with("../")) {
    std::string dir = BaseDir(base);
    std::string_view rest = url.substr(3);
    for (;;) {
      if (dir.size() > 1) dir.pop_back();
      dir = BaseDir(dir);
      if (rest.starts_with("../")) rest.remove_prefix(3);
      else break;
    }
    path = dir + std::string(rest);
    return;
  }
  std::size_t start = 0;
  const std::size_t p = url.find("://");
  bool scheme = false;
  if (p != std::string_view::npos) {
    const std::string candidate = LowerCase(url.substr(0, p));
    scheme = candidate.find_first_not_of("+-.0123456789abcdefghijklmnopqrstuvwxyz") == std::string::npos;
    if (scheme) {
      proto = candidate;
      start = p + 3;
    } else {
      proto = "http";
    }
  }
  if (!scheme) {
    if (url.front() == '/') {
      proto = "http";
      if (url.size() > 1 && url[1] != '/') {
        path = std::string(url);
        return;
      }
      start = 1;
    } else if (LowerCase(url.substr(0, 5)) == "http:") {
      proto = "http";
      if (url.size() > 6 && url[6] != '/') {
        path = std::string(url.substr(5));
        return;
      }
      start = 6;
    } else if (LowerCase(url.substr(0, 7)) == "mailto:") {
      proto = "mailto";
      start = url.find(':') + 1;
    }
  }
  std::string_view rest = url.substr(std::min(start, url.size()));
  const std::size_t pathStart = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, pathStart);
  if (pathStart != std::string_view::npos) path = std::string(rest.substr(pathStart));
  const int d = PosNth(":", authority, -1);
  const int e = PosNth("@", authority, -1);
  if (d == 0 && e == 0) {
    host = std::string(authority);
  } else if (d > e) {
    port = std::string(authority.substr(static_cast<std::size_t>(d)));
    host = std::string(authority.substr(static_cast<std::size_t>(e), static_cast<std::size_t>(d - e - 1)));
    if (e == 0) return;
  } else {
    host = std::string(authority.substr(static_cast<std::size_t>(e)));
  }
  if (e > 0) {
    const std::string_view info = authority.substr(0, static_cast<std::size_t>(e - 1));
    const std::size_t colon = info.find(':');
    if (colon == std::string_view::npos) {
      user = std::string(info);
    } else {
      user = std::string(info.substr(0, colon));
      password = std::string(info.substr(colon + 1));
    }
  }
}

}  // namespace corvan::http
