#pragma once
// URL helpers of the HTTP client: n-th substring position and the splitting
// of absolute, host-relative and relative URLs. Byte strings; positions are
// 1-based like the rest of the client's string rules.
#include <string>
#include <string_view>

namespace corvan::http {

// count > 0: position of the count-th occurrence of pattern in text
// (occurrences may overlap), or text.size() + 1 when there are fewer.
// count == -1: position of the last occurrence, 0 when none.
// Any other count: 0. An empty pattern never matches.
int PosNth(std::string_view pattern, std::string_view text, int count);

struct TUrlParts {
  std::string proto, user, password, host, port, path;
};

// Splits url into its parts. path is in/out: its incoming value is the base
// against which "./" and "../" URLs are resolved; every output is cleared
// first. Never throws for any input (beyond allocation failure).
void SplitUrl(std::string_view url, std::string& proto, std::string& user, std::string& password,
              std::string& host, std::string& port, std::string& path);

// The port a scheme uses when the URL names none: "443" for https, else "80".
std::string DefaultPort(std::string_view proto);

// The same with the parts in one record; base is the path to resolve
// relative URLs against.
TUrlParts SplitUrl(std::string_view url, std::string_view base = {});

}  // namespace corvan::http
