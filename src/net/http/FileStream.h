#pragma once
// A file as a TStream (Windows). The file is created anew, replacing an
// existing one, for reading and writing and shared with nobody.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "common/WinHandles.h"
#include "net/http/HttpStream.h"

namespace corvan::http {

// Raised when the file cannot be created:
// "Cannot create file "<path>". <system message>".
class EFCreateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Raised when a write cannot be completed (a full disk, for example).
class EWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TFileStream : public TStream {
 public:
  explicit TFileStream(const std::string& path);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  void WriteBuffer(const void* data, std::size_t size) override;
  std::size_t Read(void* data, std::size_t size) override;
  std::int64_t Size() const override;
  std::int64_t Position() const override;
  void Seek(std::int64_t position) override;
  void SetSize(std::int64_t size) override;

 private:
  ScopedFile file_;
};

// The system's text for an error code, without trailing blanks and dots.
std::string SysErrorMessage(DWORD code);

}  // namespace corvan::http
