#pragma once
// Placeholder until the URL parser lands from the socket branch.
#include <string>
#include <string_view>

namespace corvan::http {
int PosNth(std::string_view pattern, std::string_view text, int count);
void SplitUrl(std::string_view url, std::string& proto, std::string& user, std::string& password,
              std::string& host, std::string& port, std::string& path);
}  // namespace corvan::http
