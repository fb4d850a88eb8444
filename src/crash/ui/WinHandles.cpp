#include "crash/ui/WinHandles.h"

namespace corvan::crash {

bool WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  if (size > MAXDWORD) return false;
  ScopedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) &&
                  written == size;
  file.reset();
  if (!ok) DeleteFileA(path.c_str());
  return ok;
}

}  // namespace corvan::crash
