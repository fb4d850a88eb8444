// Downloads one URL into a file, with our HTTP client or with WinINet, and
// prints the rate and the peak working set of this process:
//   bench_http_download ours|wininet URL FILE
// Output: "<mode> bytes=<n> seconds=<s> rate_mib_s=<r> peak_mib=<m>"
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "net/http/FileStream.h"
#include "net/http/NetHttpClient.h"

namespace {

long long DownloadOurs(const std::string& url, const std::string& path) {
  corvan::http::TFileStream file(path);
  corvan::http::TNetHttpClient client;
  client.URL = url;
  client.ReceiveStream = &file;
  client.Get();
  return file.Size();
}

long long DownloadWinInet(const std::string& url, const std::string& path) {
  HINTERNET session = InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0,
                                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (!request) throw std::runtime_error("InternetOpenUrl failed");
  corvan::http::TFileStream file(path);
  static char buffer[64 * 1024];
  DWORD read = 0;
  long long total = 0;
  while (InternetReadFile(request, buffer, sizeof buffer, &read) && read > 0) {
    file.WriteBuffer(buffer, read);
    total += read;
  }
  InternetCloseHandle(request);
  InternetCloseHandle(session);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: bench_http_download ours|wininet URL FILE\n");
    return 2;
  }
  const std::string mode = argv[1];
  try {
    const auto start = std::chrono::steady_clock::now();
    const long long bytes =
        mode == "ours" ? DownloadOurs(argv[2], argv[3]) : DownloadWinInet(argv[2], argv[3]);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("%s bytes=%lld seconds=%.3f rate_mib_s=%.1f peak_mib=%.1f\n", mode.c_str(), bytes,
                seconds, bytes / seconds / 1048576.0, memory.PeakWorkingSetSize / 1048576.0);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", mode.c_str(), e.what());
    return 1;
  }
}
