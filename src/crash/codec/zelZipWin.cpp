// The Windows file access of the zip writer.
#include <windows.h>

#include "common/WinHandles.h"
#include "crash/codec/zelZip.h"

namespace corvan::crash {
namespace {

class WinArchive : public ZipFileAccess::Archive {
 public:
  explicit WinArchive(ScopedFile file) : file_(std::move(file)) {}
  bool Write(const void* data, std::size_t size) override {
    const auto* at = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(file_.get(), at, chunk, &written, nullptr) || written != chunk) return false;
      at += chunk;
      size -= chunk;
    }
    return true;
  }
  bool Close() override { return CloseHandle(file_.release()) != 0; }

 private:
  ScopedFile file_;
};

DosDateTime LastWriteTime(HANDLE file) {
  FILETIME written, local;
  SYSTEMTIME t;
  if (!GetFileTime(file, nullptr, nullptr, &written) ||
      !FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &t)) {
    return {};
  }
  return ToDosDateTime(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

}  // namespace

std::unique_ptr<ZipFileAccess::Archive> WinZipFileAccess::CreateArchive(const std::string& path) {
  ScopedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return nullptr;
  return std::make_unique<WinArchive>(std::move(file));
}

bool WinZipFileAccess::ReadSource(const std::string& path, std::vector<std::uint8_t>& data,
                                  ZipEntryInfo& info) {
  ScopedFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > MAXDWORD) return false;
  try {
    data.resize(static_cast<std::size_t>(size.QuadPart));
  } catch (const std::bad_alloc&) {
    return false;
  }
  DWORD read = 0;
  if (!data.empty() &&
      (!ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &read, nullptr) ||
       read != data.size())) {
    return false;
  }
  info.modified = LastWriteTime(file.get());
  const DWORD attributes = GetFileAttributesA(path.c_str());
  info.attributes = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes;
  return true;
}

void WinZipFileAccess::Delete(const std::string& path) { DeleteFileA(path.c_str()); }

bool CreateZipFile(const std::string& zipPath, const std::vector<std::string>& paths,
                   const std::vector<std::string>& names) {
  WinZipFileAccess files;
  return CreateZipFile(files, zipPath, paths, names);
}

}  // namespace corvan::crash
