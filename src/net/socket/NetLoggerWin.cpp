// The logger's file, debugger output and clock on Windows.
#include <windows.h>

#include <cstdio>

#include "common/UniqueHandle.h"
#include "net/socket/NetLogger.h"

namespace corvan::net {
namespace {

std::string SystemMessage(DWORD code) {
  char text[512] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message.empty() ? "System error " + std::to_string(code) : message;
}

void CloseFile(HANDLE h) { ::CloseHandle(h); }

class TWinLogFile : public TLogFile {
 public:
  explicit TWinLogFile(HANDLE handle) : handle_(handle) {}
  void Write(const std::string& bytes) override {
    DWORD written = 0;
    if (!::WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr)) {
      throw ELoggerException(SystemMessage(::GetLastError()));
    }
  }

 private:
  UniqueHandle<HANDLE, CloseFile> handle_;
};

}  // namespace

std::unique_ptr<TLogFile> TLogFile::Open(const std::string& name, bool truncate) {
  // Read-write, other writers excluded; created when missing.
  HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw ELoggerException(SystemMessage(::GetLastError()));
  auto file = std::make_unique<TWinLogFile>(h);
  if (truncate) {
    ::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    ::SetEndOfFile(h);
  } else {
    ::SetFilePointer(h, 0, nullptr, FILE_END);
  }
  return file;
}

void WriteDebugOutput(const std::string& line) { ::OutputDebugStringA(line.c_str()); }

std::string LogTimeStamp() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u:%03u", t.wHour, t.wMinute, t.wSecond,
                t.wMilliseconds);
  return text;
}

}  // namespace corvan::net
