// The logger's file, debugger output and clock for the native build.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "net/socket/NetLogger.h"

namespace corvan::net {
namespace {

class TStdLogFile : public TLogFile {
 public:
  TStdLogFile(const std::string& name, bool truncate)
      : out_(name, std::ios::binary | (truncate ? std::ios::trunc : std::ios::app)) {
    if (!out_) throw ELoggerException(std::strerror(errno));
  }
  void Write(const std::string& bytes) override { out_.write(bytes.data(), bytes.size()).flush(); }

 private:
  std::ofstream out_;
};

}  // namespace

std::unique_ptr<TLogFile> TLogFile::Open(const std::string& name, bool truncate) {
  return std::make_unique<TStdLogFile>(name, truncate);
}

void WriteDebugOutput(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

std::string LogTimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return text;
}

}  // namespace corvan::net
