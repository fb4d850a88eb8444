#include "crash/core/SaveReport.h"

#include <commdlg.h>
#include <shlobj.h>

#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/BugReportFileWin.h"
#include "crash/core/ExceptionReport.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

BugReportFileRules RulesOf(const ExceptionReport& report, const std::string& text) {
  BugReportFileRules rules;
  rules.append = report.GetBool("AppendBugReps");
  rules.sizeLimit = report.GetInt("BugRepFileSize");
  const bool freeze = ExtractHeaderValue(text, "exception class").empty();
  rules.noDuplicates = report.GetBool(freeze ? "NoDupFreezes" : "NoDupExcepts");
  rules.duplicateDepth = report.GetInt(freeze ? "DupFreezeDef" : "DupExceptDef");
  return rules;
}

std::string DesktopFolder() {
  char path[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, 0, path)) && path[0])
    return path;
  return {};
}

// Asks where to save; empty when cancelled or the process is blocked.
std::string ChooseFile(const ExceptionReport& report, HWND parent, const std::string& configured) {
  if (IsLoaderLockHeld(250)) {
    MessageBeep(MB_OK);
    return {};
  }
  const std::string exeFolder = FolderPart(ModulePath(nullptr));
  std::string folder;
  if (configured.find('\\') != std::string::npos) {
    folder = FolderPart(MakeAbsolutePath(configured, exeFolder));
  } else {
    folder = DesktopFolder();
    if (folder.empty()) folder = exeFolder;
  }
  char file[MAX_PATH] = {};
  lstrcpynA(file, FileNamePart(configured).c_str(), MAX_PATH);
  const std::string title = report.GetStr("SaveBtnTxt");
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = parent;
  dialog.lpstrFilter = "*.txt\0*.txt\0";
  dialog.lpstrFile = file;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrInitialDir = folder.c_str();
  dialog.lpstrTitle = title.c_str();
  dialog.lpstrDefExt = "txt";
  dialog.Flags = OFN_HIDEREADONLY | OFN_NOREADONLYRETURN | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
  // comdlg32 is loaded only to ask.
  const auto saveDialog =
      SystemFunction<decltype(&GetSaveFileNameA)>("comdlg32.dll", "GetSaveFileNameA");
  return saveDialog && saveDialog(&dialog) ? std::string(file) : std::string();
}

}  // namespace

std::string BugReportFileName(const ExceptionReport& report) {
  return MakeAbsolutePath(report.GetStr("BugRepFile"), FolderPart(ModulePath(nullptr)));
}

bool SaveReportToFile(ExceptionReport& report) { return SaveReportToFile(report, nullptr, true); }

bool SaveReportInto(ExceptionReport& report, const std::string& path) {
  const std::string text = report.ReportText(true);
  return AppendToBugReportFile(path, text, RulesOf(report, text));
}

bool SaveReportToFile(ExceptionReport& report, HWND parent, bool noDialog) {
  const std::string configured = report.GetStr("BugRepFile");
  const std::string path =
      noDialog ? BugReportFileName(report) : ChooseFile(report, parent, configured);
  if (path.empty()) return false;
  const std::string text = report.ReportText(true);
  if (!noDialog) return AppendToBugReportFile(path, text, RulesOf(report, text));
  if (SaveToBugReportFile(path, text, RulesOf(report, text)).empty()) return false;
  report.SetSavedToFile(true);
  return true;
}

}  // namespace corvan::crash
