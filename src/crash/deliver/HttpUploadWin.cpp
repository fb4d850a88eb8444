// The system's proxy and the browser for the HTTP upload.
#include <windows.h>
// windows.h before shellapi.h and wininet.h
#include <shellapi.h>
#include <wininet.h>

#include <vector>

#include "crash/analysis/SystemHelpers.h"
#include "crash/deliver/HttpUpload.h"

namespace corvan::crash {

std::string FindProxy() {
  // WinINet is loaded only for an upload: it brings libraries of its own.
  const auto queryOption =
      SystemFunction<decltype(&InternetQueryOptionA)>("wininet.dll", "InternetQueryOptionA");
  if (!queryOption) return {};
  DWORD size = 0;
  queryOption(nullptr, INTERNET_OPTION_PROXY, nullptr, &size);
  if (size < sizeof(INTERNET_PROXY_INFO)) return {};
  std::vector<std::uint8_t> buffer(size);
  if (!queryOption(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &size)) return {};
  const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
  if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !info->lpszProxy) return {};
  return reinterpret_cast<const char*>(info->lpszProxy);
}

void ShellPageOpener::Open(const std::string& url) {
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpFile = url.c_str();
  info.nShow = SW_SHOWNORMAL;
  ShellExecuteExA(&info);
}

}  // namespace corvan::crash
