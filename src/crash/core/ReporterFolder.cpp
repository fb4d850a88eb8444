#include "crash/core/ReporterFolder.h"

#include <windows.h>

#include "crash/analysis/SystemHelpers.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {

std::string ReporterTempFolder() {
  char temp[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(sizeof temp, temp);
  if (length == 0 || length > MAX_PATH) return {};
  std::string folder = temp;
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder + WithoutExtension(FileNamePart(ModulePath(nullptr))) + ".zelExcept";
}

std::string PreparedReporterTempFolder() {
  const std::string folder = ReporterTempFolder();
  if (folder.empty()) return {};
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder + "\\";
}

void EmptyReporterTempFolder(bool removeFolder) {
  const std::string folder = ReporterTempFolder();
  if (folder.empty()) return;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileA((folder + "\\" + found.cFileName).c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  if (removeFolder) RemoveDirectoryA(folder.c_str());
}

}  // namespace corvan::crash
