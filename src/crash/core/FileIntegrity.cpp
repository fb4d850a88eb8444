#include "crash/core/FileIntegrity.h"

#include "common/WinHandles.h"
#include "crash/analysis/SystemHelpers.h"

namespace corvan::crash {
namespace {

using MapFileAndCheckSumFn = DWORD(WINAPI*)(PCWSTR, PDWORD, PDWORD);
constexpr DWORD kChecksumSuccess = 0;

}  // namespace

FileIntegrity CheckFileIntegrity(const std::wstring& path) {
  const ScopedModule imagehlp(LoadSystemLibrary("imagehlp.dll"));
  if (!imagehlp) return FileIntegrity::Unknown;
  const auto check = ModuleFunction<MapFileAndCheckSumFn>(imagehlp.get(), "MapFileAndCheckSumW");
  DWORD stored = 0, computed = 0;
  if (!check || check(path.c_str(), &stored, &computed) != kChecksumSuccess)
    return FileIntegrity::Unknown;
  if (stored == 0) return FileIntegrity::Unprotected;
  return stored == computed ? FileIntegrity::Intact : FileIntegrity::Corrupt;
}

bool ReportModuleIntegrity(HMODULE module, const ReporterSettings& settings) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return true;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  if (CheckFileIntegrity(path) != FileIntegrity::Corrupt) return true;
  MessageBoxA(nullptr, settings.GetStr("BitFaultMsg").c_str(), settings.GetStr("TitleBar").c_str(),
              MB_OK | MB_ICONERROR | MB_TASKMODAL);
  return false;
}

}  // namespace corvan::crash
