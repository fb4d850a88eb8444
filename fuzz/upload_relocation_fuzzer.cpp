// A relocation answer names any URL: the browser may see it only when it
// is an http(s) URL of the upload's own host, read here the simple way a
// browser would (scheme, "//", host up to the port, path, query or
// fragment) and without anything browsers read differently.
// Input: the upload's host, a line feed, the URL.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crash/deliver/HttpUpload.h"

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t lf = input.find('\n');
  const std::string_view host = lf == std::string_view::npos ? "reports.test" : input.substr(0, lf);
  const std::string_view url = lf == std::string_view::npos ? input : input.substr(lf + 1);
  if (!corvan::crash::IsOwnWebPage(url, host)) return 0;
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '\\') std::abort();
  }
  const std::string lower = Lower(url);
  const std::size_t start = lower.starts_with("http://")    ? 7
                            : lower.starts_with("https://") ? 8
                                                            : 0;
  if (start == 0) std::abort();
  const std::size_t authorityEnd = lower.find_first_of("/?#", start);
  if (lower.substr(start, authorityEnd - start).find('@') != std::string::npos) std::abort();
  const std::size_t end = lower.find_first_of(":/?#", start);
  if (lower.substr(start, end == std::string::npos ? std::string::npos : end - start) !=
      Lower(host)) {
    std::abort();
  }
  return 0;
}
