#include "crash/core/BugReportFileWin.h"

#include <windows.h>

#include "common/UniqueHandle.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/BugReportFile.h"
#include "crash/core/ExceptionReport.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

void CloseFile(HANDLE h) { CloseHandle(h); }
using FileHandle = UniqueHandle<HANDLE, CloseFile>;

void CreateFolders(const std::string& path) {
  for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
}

}  // namespace

std::string BugReportFileName(const ExceptionReport& report) {
  return MakeAbsolutePath(report.GetStr("BugRepFile"), FolderPart(ModulePath(nullptr)));
}

bool SaveReportToFile(ExceptionReport& report) {
  const std::string path = BugReportFileName(report);
  const std::string text = report.ReportText(true);
  CreateFolders(path);
  FileHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return false;
  }
  std::string content;
  const DWORD size = GetFileSize(file.get(), nullptr);
  if (size != INVALID_FILE_SIZE && size > 0) {
    content.resize(size);
    DWORD read = 0;
    if (!ReadFile(file.get(), content.data(), size, &read, nullptr)) return false;
    content.resize(read);
  }
  BugReportFileRules rules;
  rules.append = report.GetBool("AppendBugReps");
  rules.sizeLimit = report.GetInt("BugRepFileSize");
  const bool freeze = ExtractHeaderValue(text, "exception class").empty();
  rules.noDuplicates = report.GetBool(freeze ? "NoDupFreezes" : "NoDupExcepts");
  rules.duplicateDepth = report.GetInt(freeze ? "DupFreezeDef" : "DupExceptDef");
  const std::string out = AppendReport(std::move(content), text, rules);
  DWORD written = 0;
  if (SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !WriteFile(file.get(), out.data(), static_cast<DWORD>(out.size()), &written, nullptr) ||
      written != out.size() || !SetEndOfFile(file.get())) {
    return false;
  }
  report.SetSavedToFile(true);
  return true;
}

}  // namespace corvan::crash
