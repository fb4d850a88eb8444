#include "crash/core/zelExcept.h"

#include <algorithm>
#include <cstring>

#include "common/SystemLibrary.h"
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/MessageHandlers.h"
#include "crash/analysis/ModuleCalibration.h"
#include "crash/analysis/Threads.h"
#include "crash/core/BugReportFileWin.h"
#include "crash/core/CodePatchesWin.h"
#include "crash/core/DeliverySecurity.h"
#include "crash/analysis/zelListHardware.h"
#include "crash/analysis/zelListModules.h"
#include "crash/analysis/zelListProcesses.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/FaultTranslation.h"
#include "crash/core/FileIntegrity.h"
#include "crash/core/FreezeWatchdog.h"
#include "crash/core/MemoryReserve.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/ReportFrontEnd.h"
#include "crash/core/ReportPlugins.h"
#include "crash/core/ReporterFolder.h"
#include "ui/Application.h"
#include "ui/Thread.h"

namespace corvan::crash {
namespace {

// The symbol maps ask each module's own settings whether its map is the
// minimal form.
std::string MinDebugInfoOf(Address moduleBase) {
  const Ref<ReporterSettings> settings =
      SettingsForModule(reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(moduleBase)));
  return settings ? settings->GetStr("MinDebugInfo") : std::string();
}

bool active = false;
std::int64_t startCounter = 0;

// The program's settings. A function's static: first made while the
// reporter starts, inside the construction of reporterLifetime, so it is
// destroyed after that object's StopReporter has let go of it (a plain
// static of this file would be destroyed first and released twice).
Ref<ReporterSettings>& MainSettingsRef() {
  static Ref<ReporterSettings> settings;
  return settings;
}

// Lets go of the main settings whether or not the reporter ran: the
// settings records must not keep pointing at them once they are freed.
void ReleaseMainSettings() {
  Ref<ReporterSettings>& mainSettings = MainSettingsRef();
  if (!mainSettings) return;
  ProcessSettingsRecords().SetMainSettings(nullptr);
  mainSettings = Ref<ReporterSettings>();
}

std::int64_t CounterMilliseconds() {
  LARGE_INTEGER counter, frequency;
  if (!QueryPerformanceCounter(&counter) || !QueryPerformanceFrequency(&frequency) ||
      frequency.QuadPart < 1000) {
    return 0;
  }
  return counter.QuadPart / (frequency.QuadPart / 1000);
}

ExceptionSource SourceOf(ui::ExceptionPoint point) {
  switch (point) {
    case ui::ExceptionPoint::HandleException:
      return ExceptionSource::HandleException;
    case ui::ExceptionPoint::ShowException:
      return ExceptionSource::ShowException;
    case ui::ExceptionPoint::ThreadFrame:
      return ExceptionSource::ThreadFrame;
    case ui::ExceptionPoint::ThreadExecute:
      return ExceptionSource::ThreadExecute;
    case ui::ExceptionPoint::Synchronize:
      return ExceptionSource::Synchronize;
  }
  return ExceptionSource::HandleException;
}

// The framework's exception points hand over to the pipeline.
void FrameworkException(std::exception_ptr error, ui::ExceptionPoint point, const void* related) {
  if (point == ui::ExceptionPoint::HandleException) {
    if (HWND capture = GetCapture()) SendMessageA(capture, WM_CANCELMODE, 0, 0);
  }
  ExceptionFacts facts = FactsOf(error, SourceOf(point));
  facts.relatedObject = related;
  SubmitException(std::move(facts));
}

void ThreadRegistered(HANDLE thread, DWORD threadId, DWORD creatorThreadId, void* creationAddress,
                      const char* name, const char* className) {
  ThreadInfoUpdate update;
  update.threadHandle = thread;
  update.name = name ? name : "";
  update.creatorThreadId = creatorThreadId;
  update.creationAddress = creationAddress;
  if (className && *className) update.description = className;
  RecordThreadInfo(threadId, update);
}

void ThreadEnded() { RecordThreadInfo(GetCurrentThreadId(), {}); }

struct ListPlugin {
  const char* name;
  const char* description;
  PluginTextFn text;
};
constexpr ListPlugin kListPlugins[] = {
    {"modules", "list of loaded modules", ListModules},
    {"processes", "list of running processes", ListProcesses},
    {"hardware", "list of installed hardware", ListHardware},
};

// Start-up before, shutdown after every other static object of the program.
struct ReporterLifetime {
  ReporterLifetime() { StartReporter(); }
  ~ReporterLifetime() { StopReporter(); }
};
__attribute__((init_priority(101))) ReporterLifetime reporterLifetime;

}  // namespace

// The fixed routine and variable the build measures the calibration from
// (tools/mkmap finds them by these names). The variable is initialised so
// that it lies in ".data".
extern "C" {
[[gnu::used, gnu::noinline]] void zelCalibrationCode() { asm volatile(""); }
[[gnu::used]] volatile std::uint32_t zelCalibrationData = 0x4C455A43;
}

std::int64_t ReporterStartCounter() { return startCounter; }
bool ReporterActive() { return active; }

void StartReporter() {
  if (active) return;
  RestrictLibrarySearch();  // before anything loads a library
  EmptyReporterTempFolder(true);
  startCounter = CounterMilliseconds();
  // A restarted process waits for its predecessor and takes its history.
  ExceptionHistory inherited;
  if (RestartHandOver(inherited)) AdoptHistory(inherited);
  Ref<ReporterSettings>& mainSettings = MainSettingsRef();
  mainSettings = CreateSettings(OwnModule());
  if (mainSettings && mainSettings->Valid() && mainSettings->GetBool("Enabled") &&
      mainSettings->GetBool("CheckFileCrc")) {
    ReportModuleIntegrity(GetModuleHandleA(nullptr), *mainSettings);
    HMODULE settingsModule = static_cast<HMODULE>(mainSettings->Module());
    if (settingsModule != GetModuleHandleA(nullptr))
      ReportModuleIntegrity(settingsModule, *mainSettings);
  }
  ApplyCalibration(OwnModule(), reinterpret_cast<const void*>(zelCalibrationCode),
                   const_cast<const std::uint32_t*>(&zelCalibrationData));
  const std::vector<DWORD> threads = ThreadList();
  SetMainThreadId(threads.empty() ? GetCurrentThreadId() : threads.front());
  if (!mainSettings || !mainSettings->Valid()) {
    mainSettings = Ref<ReporterSettings>();
    return;
  }
  ProcessSettingsRecords().SetMainSettings(mainSettings.get());
  // Guessing a mode could send reports in clear text: SMTP stays unused,
  // and every report's header says so too.
  if (!ParseMailTls(mainSettings->GetStr("SmtpTls")))
    OutputDebugStringA(("corvan: " + DeliveryNote(*mainSettings) + "\n").c_str());
  SetMinDebugInfoSource(MinDebugInfoOf);
  SetThreadName(MainThreadId(), "main thread");
  if (!mainSettings->GetBool("Enabled")) return;
  if (!StartHandlingThread()) return;
  InstallFaultTranslation();
  ui::Application().SetExceptionHandler(FrameworkException);
  ui::SetThreadHooks({ThreadRegistered, ThreadEnded});
  if (mainSettings->GetBool("CheckFreeze")) StartWatchdog(mainSettings->GetInt("FreezeTimeout"));
  AllocateMemoryReserve();
  active = true;
  for (const ListPlugin& plugin : kListPlugins)
    RegisterReportPlugin(plugin.name, plugin.description, plugin.text, true);
}

void StopReporter() {
  if (!active) {
    ReleaseMainSettings();
    return;
  }
  active = false;
  ProcessPatches().RevertPatches();
  for (const ListPlugin& plugin : kListPlugins) UnregisterReportPlugin(plugin.name);
  StopWatchdog();
  ui::SetThreadHooks({});
  ui::Application().SetExceptionHandler(nullptr);
  RemoveFaultTranslation();
  StopHandlingThread();
  ReleaseMemoryReserve();
  ClearHandlers();
  SetMinDebugInfoSource(nullptr);
  ReleaseMainSettings();
}

std::size_t CopyToView(void* view, std::int32_t claimedSize, const std::string& text) {
  if (!view || claimedSize < 1) return 0;
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(view, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT) return 0;
  const std::uintptr_t regionEnd =
      reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
  const std::size_t room = std::min<std::size_t>(
      static_cast<std::size_t>(claimedSize), regionEnd - reinterpret_cast<std::uintptr_t>(view));
  const std::size_t length = std::min(text.size(), room - 1);
  std::memcpy(view, text.data(), length);
  static_cast<char*>(view)[length] = '\0';
  return length;
}

}  // namespace corvan::crash

extern "C" LONG __stdcall zelTraceProcess(LONG mapSize) {
  using namespace corvan::crash;
  const DWORD self = GetCurrentThreadId();
  try {
    SetThreadName(self, "-");
    const std::string report = BuildProcessReport(false);
    if (mapSize < 1) {
      Presenter().PutOnClipboard(report);
    } else {
      HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "Global\\zelTraceProcessMap");
      if (!mapping) mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "zelTraceProcessMap");
      if (mapping) {
        if (void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0)) {
          CopyToView(view, mapSize, report);
          UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
      }
    }
  } catch (...) {
  }
  RecordThreadInfo(self, {});
  return 0;
}
