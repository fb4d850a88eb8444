#pragma once
// The bug reports a program of ours kept for a later send, as the tests see
// them: %LOCALAPPDATA%\<program>\unsent, found through the shell as the
// program finds it. Tests that start a program clear its kept reports
// first, so that no offer box from an earlier test's fault stands in the
// way. Link shell32.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

namespace corvan::test {

inline std::string KeptReportsFolder(const std::string& program) {
  char base[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base);
  return std::string(base) + "\\" + program + "\\unsent";
}

// The names in a folder, sorted.
inline std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// The names in the program's folder (entries and anything else), sorted.
inline std::vector<std::string> KeptReportNames(const std::string& program) {
  return FolderNames(KeptReportsFolder(program));
}

// Removes every entry (entries hold plain files only).
inline void ClearKeptReports(const std::string& program) {
  const std::string folder = KeptReportsFolder(program);
  for (const std::string& name : KeptReportNames(program)) {
    const std::string entry = folder + "\\" + name;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((entry + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileA((entry + "\\" + found.cFileName).c_str());
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
    RemoveDirectoryA(entry.c_str());
    DeleteFileA(entry.c_str());
  }
}

}  // namespace corvan::test
