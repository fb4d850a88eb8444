#include "net/http/FileStream.h"

namespace corvan::http {

std::string SysErrorMessage(DWORD code) {
  char buffer[512] = {};
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      nullptr, code, 0, buffer, sizeof buffer, nullptr);
  while (n > 0 && (static_cast<unsigned char>(buffer[n - 1]) <= ' ' || buffer[n - 1] == '.')) --n;
  return std::string(buffer, n);
}

TFileStream::TFileStream(const std::string& path) {
  file_.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    throw EFCreateError("Cannot create file \"" + path + "\". " + SysErrorMessage(GetLastError()));
  }
}

TFileStream::~TFileStream() = default;

void TFileStream::WriteBuffer(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!WriteFile(file_.get(), bytes, chunk, &written, nullptr) || written == 0) {
      throw EWriteError("Stream write error: " + SysErrorMessage(GetLastError()));
    }
    bytes += written;
    size -= written;
  }
}

std::size_t TFileStream::Read(void* data, std::size_t size) {
  DWORD read = 0;
  if (!ReadFile(file_.get(), data, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &read,
                nullptr)) {
    return 0;
  }
  return read;
}

std::int64_t TFileStream::Size() const {
  LARGE_INTEGER size{};
  return GetFileSizeEx(file_.get(), &size) ? size.QuadPart : 0;
}

std::int64_t TFileStream::Position() const {
  LARGE_INTEGER zero{}, position{};
  return SetFilePointerEx(file_.get(), zero, &position, FILE_CURRENT) ? position.QuadPart : 0;
}

void TFileStream::Seek(std::int64_t position) {
  LARGE_INTEGER to{};
  to.QuadPart = position;
  SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN);
}

void TFileStream::SetSize(std::int64_t size) {
  const std::int64_t position = Position();
  Seek(size);
  SetEndOfFile(file_.get());
  Seek(std::min(position, size));
}

}  // namespace corvan::http
