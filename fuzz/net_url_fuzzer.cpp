// SplitUrl and PosNth on arbitrary bytes: no crash, no out-of-bounds read,
// and the parts always come from the input (or the base path).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/http/NetUrl.h"

using corvan::http::PosNth;
using corvan::http::SplitUrl;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsPartOf(const std::string& part, std::string_view text) {
  return part.empty() || text.find(part) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first line is the base path, the rest the URL.
  const std::size_t split = input.find('\n');
  const std::string_view base =
      split == std::string_view::npos ? std::string_view{} : input.substr(0, split);
  const std::string_view url = split == std::string_view::npos ? input : input.substr(split + 1);

  const corvan::http::TUrlParts parts = SplitUrl(url, base);
  Check(IsPartOf(parts.user, url) && IsPartOf(parts.password, url) && IsPartOf(parts.host, url) &&
        IsPartOf(parts.port, url));
  Check(parts.path.size() <= url.size() + base.size() + 1);
  Check(parts.host.find('/') == std::string::npos && parts.port.find('/') == std::string::npos);

  std::string proto, user, password, host, port, path(base);
  SplitUrl(url, proto, user, password, host, port, path);
  Check(proto == parts.proto && path == parts.path && host == parts.host);

  const std::string_view pattern = url.substr(0, url.size() % 4);
  for (int count : {-1, 0, 1, 2, 3}) {
    const int position = PosNth(pattern, url, count);
    Check(position >= 0 && position <= static_cast<int>(url.size()) + 1);
    if (count == -1 && position > 0) {
      Check(url.substr(static_cast<std::size_t>(position - 1), pattern.size()) == pattern);
    }
  }
  return 0;
}
