#include "crash/core/ExceptionReport.h"

#include <algorithm>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/SafeRead.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/Threads.h"
#include "crash/analysis/zelDisAsm.h"
#include "crash/core/BugReportFile.h"
#include "crash/core/DeliverySecurity.h"
#include "crash/core/MiniDump.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/ReportPlugins.h"
#include "crash/core/ReportText.h"
#include "crash/core/SystemInfo.h"
#include "crash/core/zelExcept.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr char kPending[] = "will be calculated soon";
std::atomic<std::int64_t> headersBuilt{0};

LocalTime LocalNow() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

std::string UserNameText() {
  char name[261] = {};
  DWORD size = sizeof name;
  if (!GetUserNameA(name, &size)) return {};
  std::string text = name;
  if (UserIsAdministrator()) text += "  <admin>";
  return text;
}

std::string RegisteredOwnerText() {
  const std::string key = "Software\\Microsoft\\Windows NT\\CurrentVersion";
  std::string owner = RegReadText(HKEY_LOCAL_MACHINE, key, "RegisteredOwner");
  const std::string organization = RegReadText(HKEY_LOCAL_MACHINE, key, "RegisteredOrganization");
  if (!TrimFieldValue(organization).empty()) owner += " / " + organization;
  return owner;
}

// Arguments follow the program's own name on the command line.
std::string CommandLineWithArguments() {
  const std::string line = GetCommandLineA();
  return TrimFieldValue(CommandLineArguments(line)).empty() ? std::string() : line;
}

std::string FileTimeText(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return {};
  FILETIME local;
  SYSTEMTIME t;
  if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToSystemTime(&local, &t))
    return {};
  return FileDateTimeText({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, 0});
}

std::string VersionText(std::uint64_t version) {
  if (!version) return {};
  return std::to_string(version >> 48) + "." + std::to_string((version >> 32) & 0xffff) + "." +
         std::to_string((version >> 16) & 0xffff) + "." + std::to_string(version & 0xffff);
}

std::string CompiledWithText(HMODULE module) {
  const IMAGE_NT_HEADERS* nt = ImageNtHeaders(module);
  if (!nt || nt->OptionalHeader.MajorLinkerVersion == 2) return "GNU C++ (mingw-w64, GNU ld)";
  return "another C++ toolchain";
}

std::string ProcessorText() {
  const int count = ProcessorCount();
  const std::string name = ProcessorName();
  return count > 1 ? std::to_string(count) + "x " + name : name;
}

// The step of the report a failure happened in.
template <class F>
std::string Guarded(const char* step, F&& produce) {
  try {
    return produce();
  } catch (...) {
    return std::string(">> internal error in ") + step;
  }
}

}  // namespace

std::int64_t ExceptionNumber() { return headersBuilt.load(); }

ExceptionReport::ExceptionReport(const ReporterSettings& settings, ExceptionFacts facts)
    : ReporterSettings(settings.Module(), ProcessSettingsRecords(), ProcessSettingsEnvironment(),
                       true),
      facts_(std::move(facts)),
      canContinue_(facts_.canContinue),
      created_(LocalNow()) {
  if (!facts_.crashedThreadId) facts_.crashedThreadId = GetCurrentThreadId();
  if (facts_.hasContext) {
    facts_.stackPointer = facts_.context.Esp;
    facts_.framePointer = facts_.context.Ebp;
  }
  ApplyClassFilters();
}

ExceptionReport::~ExceptionReport() {
  abort_ = true;
  if (completionThread_) {
    if (IsLoaderLockHeld(250))
      TerminateThread(completionThread_, 0);
    else
      WaitForSingleObject(completionThread_, INFINITE);
    CloseHandle(completionThread_);
  }
  if (header_) header_->DetachOwner();
  if (sections_) sections_->DetachOwner();
  if (pleaseWait_) pleaseWait_->Close();
}

void ExceptionReport::AdoptSendThread(HANDLE thread) {
  ScopedHandle adopted(thread);
  std::lock_guard lock(sendThreadsLock_);
  std::erase_if(sendThreads_, [](const ScopedHandle& h) {
    return WaitForSingleObject(h.get(), 0) == WAIT_OBJECT_0;
  });
  if (adopted) sendThreads_.push_back(std::move(adopted));
}

void ExceptionReport::WaitForSendThreads(DWORD timeoutMs) {
  std::vector<ScopedHandle> running;
  {
    std::lock_guard lock(sendThreadsLock_);
    running.swap(sendThreads_);
  }
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (const ScopedHandle& thread : running) {
    const ULONGLONG now = GetTickCount64();
    WaitForSingleObject(thread.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0);
  }
}

void ExceptionReport::ApplyClassFilters() {
  std::string prefix = "Gn";
  for (const char* filter : {"F1", "F2"}) {
    if (facts_.object.present &&
        ClassListMatches(GetStr(std::string(filter) + "Classes"), facts_.object.classChain)) {
      prefix = filter;
      break;
    }
  }
  createBugReport_ = !GetBool(prefix + "NoBugRep");
  createScreenshot_ = !GetBool(prefix + "NoScrShot") && GetInt("ScrShotDepth") > 0;
  pauseThreads_ = GetBool("PauseThreads") && !GetBool(prefix + "NoSuspend");
  callHandlers_ = !GetBool(prefix + "NoHandlers");
  showSetting_ = GetInt(prefix + "ShowCfg");
  showAssistant_ = GetStr(prefix + "Assis");
  sendScreenshot_ = createScreenshot_;
}

std::optional<Setting> ExceptionReport::Lookup(std::string_view name) const {
  {
    std::lock_guard lock(propertiesLock_);
    const auto it = properties_.find(name);
    if (it != properties_.end()) return it->second;
  }
  return ReporterSettings::Lookup(name);
}

bool ExceptionReport::Set(const Setting& value) {
  std::lock_guard lock(propertiesLock_);
  const auto it = properties_.find(value.name);
  if (it != properties_.end() && it->second.type != value.type) return false;
  properties_.insert_or_assign(value.name, value);
  return true;
}

void ExceptionReport::SetPhase(ReportPhase phase) {
  if (phase == ReportPhase::Presenting && complete_) phase = ReportPhase::Complete;
  phase_ = phase;
}

Ref<INVBitmap> ExceptionReport::Screenshot() {
  std::lock_guard lock(screenshotLock_);
  if (!screenshot_ && createScreenshot_) {
    screenshot_ = Presenter().CaptureScreen(GetBool("ScrShotAppOnly"));
    if (!screenshot_) createScreenshot_ = false;
  }
  return screenshot_;
}

void ExceptionReport::SetScreenshot(Ref<INVBitmap> bitmap) {
  std::lock_guard lock(screenshotLock_);
  screenshot_ = std::move(bitmap);
}

std::string ExceptionReport::ExceptionMessage() const {
  if (facts_.kind == ExceptionKind::Snapshot) return GetStr("FrozenMsg");
  return ReportMessage(facts_.object);
}

std::uint32_t ExceptionReport::CallstackCrc(int index) const {
  return index >= 0 && index < 3 ? crc_[index] : 0;
}

bool ExceptionReport::FirstUseOf(Ref<ReportFields>& list, bool& built) {
  std::lock_guard lock(listsLock_);
  if (!list) list = MakeRef<ReportFields>(true, static_cast<ReportFieldsOwner*>(this));
  const bool build = createBugReport_ && !built;
  built = true;
  return build;
}

Ref<ReportFields> ExceptionReport::Header() {
  if (FirstUseOf(header_, headerBuilt_)) BuildHeader();
  return header_;
}

Ref<ReportFields> ExceptionReport::Sections() {
  if (FirstUseOf(sections_, sectionsBuilt_)) {
    BuildSections();
    PreparePleaseWait();
    if (!deferCompletion_) StartCompletion();
  }
  return sections_;
}

void ExceptionReport::BuildHeader() {
  FieldPairs fields;
  auto add = [&](const std::string& name, auto&& produce) {
    try {
      fields.emplace_back(name, produce());
    } catch (...) {
    }
  };
  const std::string exePath = ModulePath(nullptr);
  const HMODULE reporterModule = OwnModule();
  const bool inExe = reporterModule == GetModuleHandleA(nullptr);
  const std::string modulePath = ModulePath(reporterModule);
  add("date/time", [&] { return ReportDateTimeText(created_); });
  add("computer name", [] { return ComputerName(); });
  add("wts client name", [] { return TerminalServerClient(); });
  add("user name", [] { return UserNameText(); });
  add("registered owner", [] { return RegisteredOwnerText(); });
  add("operating system", [] { return OperatingSystem(); });
  add("system language", [] { return SystemLanguage(); });
  add("system up time", [] { return SystemUpTime(); });
  add("program up time", [] { return ProgramUpTime(ReporterStartCounter()); });
  add(ProcessorCount() > 1 ? "processors" : "processor", [] { return ProcessorText(); });
  add("physical memory", [] { return PhysicalMemory(); });
  add("system resources", [] { return SystemResources(); });
  add("free disk space", [] { return FreeDiskSpace(); });
  add("display mode", [] { return DisplayMode(); });
  add("process id", [] { return HexText(GetCurrentProcessId()); });
  add("allocated memory", [] { return AllocatedMemory(); });
  add("command line", [] { return CommandLineWithArguments(); });
  add("executable", [&] { return FileNamePart(exePath); });
  if (!inExe) add("current module", [&] { return FileNamePart(modulePath); });
  add(inExe ? "exec. date/time" : "module date/time", [&] { return FileTimeText(modulePath); });
  add("version", [&] {
    return VersionString().empty() ? VersionText(FileVersion(modulePath)) : VersionString();
  });
  add("bde version", [] {
    HMODULE bde = GetModuleHandleA("idapi32.dll");
    return bde ? VersionText(FileVersion(ModulePath(bde))) : std::string();
  });
  add("compiled with", [&] { return CompiledWithText(reporterModule); });
  add("zelExcept version", [] { return std::string("3.0h"); });
  // Whoever reads the report learns that it travelled readable, or to a
  // server nobody authenticated.
  add(kDeliveryField, [&] { return DeliveryNote(*this); });
  for (const ReportPlugin& plugin : EnabledReportPlugins(GetRawStr("Plugins"))) {
    if (!plugin.ownSection) add(plugin.name, plugin.text);
  }
  const int insertIndex = static_cast<int>(std::count_if(
                              fields.begin(), fields.end(),
                              [](const auto& f) { return !TrimFieldValue(f.second).empty(); })) -
                          1;
  fields.emplace_back("callstack crc", kPending);
  fields.emplace_back("exception number", std::to_string(++headersBuilt));
  if (facts_.kind != ExceptionKind::Snapshot)
    add("exception class", [&] { return ExceptionClass(); });
  add("exception message", [&] {
    std::string message = ExceptionMessage();
    if (facts_.kind != ExceptionKind::Snapshot && message == ExceptionClass()) return std::string();
    return SingleLine(message);
  });
  Ref<ReportFields> header = header_;
  BeginChange();
  for (const auto& [name, value] : fields) {
    const std::string trimmed = TrimFieldValue(value);
    if (!trimmed.empty()) header->Append(name, trimmed);
  }
  header->SetInsertIndex(insertIndex);
  EndChange();
}

bool ExceptionReport::ReadThreadStack(DWORD threadId, bool exceptionThread, ThreadStack& s) {
  s.threadId = threadId;
  s.exceptionThread = exceptionThread;
  void* creator = nullptr;
  s.title = ThreadInfoText(threadId, showAllThreads_ || exceptionThread, &creator);
  if (s.title.empty()) return false;
  s.creator = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(creator));
  if (exceptionThread && facts_.hasContext) {
    s.context = facts_.context;
    s.accessible = true;
  } else if (threadId == GetCurrentThreadId()) {
    s.context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    RtlCaptureContext(&s.context);
    s.accessible = true;
  } else {
    HANDLE thread = OpenThreadById(
        threadId, THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION);
    if (!thread) thread = OpenThreadById(threadId, THREAD_GET_CONTEXT);
    if (thread) {
      const DWORD previous = SuspendThread(thread);
      s.context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
      s.accessible = GetThreadContext(thread, &s.context) != FALSE;
      const int priority = GetThreadPriority(thread);
      if (previous != static_cast<DWORD>(-1)) ResumeThread(thread);
      if (previous != static_cast<DWORD>(-1) && previous > 0) s.title += " <suspended>";
      if (priority != THREAD_PRIORITY_NORMAL && priority != THREAD_PRIORITY_ERROR_RETURN) {
        s.title += " <priority:" + std::to_string(priority) + ">";
      }
      CloseHandle(thread);
    }
  }
  s.title += ":";
  if (exceptionThread && !facts_.hasContext) {
    s.context.Esp = facts_.stackPointer;
    s.context.Ebp = facts_.framePointer;
    s.accessible = facts_.stackPointer != 0;
  }
  if (s.accessible) {
    s.bottom = s.context.Esp;
    s.top = RegionEnd(s.context.Esp);
    s.frame = s.context.Ebp;
    s.accessible = s.top > s.bottom;
  }
  // Another thread's trace starts where the thread is: without an address
  // the tracer would put its own caller at the top of that thread's stack.
  s.current = exceptionThread ? facts_.address : (s.accessible ? s.context.Eip : 0);
  return true;
}

std::optional<ExceptionReport::Section> ExceptionReport::ThreadSection(DWORD threadId,
                                                                       bool exceptionThread) {
  ThreadStack s;
  try {
    if (!ReadThreadStack(threadId, exceptionThread, s)) return std::nullopt;
  } catch (...) {
    return Section("thread " + HexText(threadId) + ":", ">> internal error in GetThreadStack");
  }
  std::string placeholder;
  const std::string location =
      exceptionThread ? CurrentThreadTracer().FormatLocation(
                            facts_.address, GetBool("ShowRelAddrs"), GetBool("ShowRelLines"))
                      : std::string();
  if (!s.accessible) {
    placeholder = ">> stack not accessible";
    if (exceptionThread) placeholder += ", exception location: \r\n" + location;
  } else {
    placeholder = exceptionThread ? location + "\r\n>> stack " + kPending
                                  : std::string(">> stack ") + kPending;
  }
  Section section(s.title, placeholder);
  if (s.accessible) stacks_.push_back(std::move(s));
  return section;
}

void ExceptionReport::BuildSections() {
  const bool snapshot = facts_.kind == ExceptionKind::Snapshot;
  const DWORD mainThread = MainThreadId();
  if (snapshot) {
    listedThreads_.push_back(mainThread);
  } else {
    listedThreads_.push_back(facts_.crashedThreadId);
    if (mainThread && mainThread != facts_.crashedThreadId) listedThreads_.push_back(mainThread);
  }
  const bool listThreads = GetBool("ListThreads");
  FieldPairs sections;
  for (std::size_t i = 0; i < listedThreads_.size(); ++i) {
    if (auto section = ThreadSection(listedThreads_[i], !snapshot && i == 0))
      sections.push_back(std::move(*section));
    if (i == 0 && !snapshot && !listThreads) break;
  }
  const bool context = facts_.hasContext;
  // Registers, dump and listing follow the first two thread sections.
  std::size_t at = std::min<std::size_t>(sections.size(), snapshot ? 1 : 2);
  std::vector<std::pair<std::string, std::string>> extra;
  for (const ReportPlugin& plugin : EnabledReportPlugins(GetRawStr("Plugins"))) {
    if (!plugin.ownSection) continue;
    sectionPlugins_.push_back(plugin);
    extra.emplace_back(plugin.name, std::string(">> ") + kPending);
  }
  if (GetBool("CpuRegs") && context)
    extra.emplace_back("cpu registers", std::string(">> ") + kPending);
  if (GetBool("StackDump") && context)
    extra.emplace_back("stack dump", std::string(">> ") + kPending);
  if (GetBool("ShowDisAsm") && !snapshot)
    extra.emplace_back("disassembling", std::string(">> ") + kPending);
  sections.insert(sections.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
  // The other threads are read by the completion, after the box is up:
  // suspending each one costs milliseconds, and nothing of the fault
  // depends on them. They owe one section until they are listed.
  otherThreadsPending_ = listThreads;
  outstanding_ = static_cast<int>(stacks_.size() + extra.size()) + (listThreads ? 1 : 0);
  for (const auto& section : sections) builtTitles_.push_back(section.first);
  Ref<ReportFields> list = sections_;
  BeginChange();
  for (const auto& [title, content] : sections) list->Append(title, content);
  EndChange();
  if (outstanding_ == 0) UpdateSection({}, {});
}

void ExceptionReport::AddOtherThreads() {
  FieldPairs sections;
  const std::size_t firstNew = stacks_.size();
  for (DWORD id : ThreadList()) {
    if (abort_) break;
    if (std::find(listedThreads_.begin(), listedThreads_.end(), id) != listedThreads_.end())
      continue;
    if ((id == HandlingThreadId() || id == completionThreadId_) && !showAllThreads_) continue;
    if (id == completionThreadId_ && id == GetCurrentThreadId()) continue;  // tracing itself
    listedThreads_.push_back(id);
    if (auto section = ThreadSection(id, false)) sections.push_back(std::move(*section));
  }
  for (std::size_t i = firstNew; i < stacks_.size(); ++i) {
    if (pleaseWait_)
      pleaseWait_->AddArea(GetStr("PlWaitText"),
                           std::uint64_t(stacks_[i].top - stacks_[i].bottom) * 100);
  }
  Ref<ReportFields> list = sections_;
  BeginChange();
  // After the sections built with the box, ahead of any an assistant added.
  int at = 0;
  for (const std::string& title : builtTitles_) at = std::max(at, list->IndexOf(title) + 1);
  for (const auto& [title, content] : sections) list->InsertAt(at++, title, content);
  {
    std::lock_guard lock(listsLock_);
    outstanding_ += static_cast<int>(stacks_.size() - firstNew);
  }
  UpdateSection({}, {});  // the threads' own debt
  EndChange();
}

void ExceptionReport::StartCompletion() {
  if (InHandlingThread() && !IsLoaderLockHeld(250)) {
    AddRef();  // the completion thread's reference
    completionThread_ =
        CreateThread(nullptr, 0, CompletionThread, this, CREATE_SUSPENDED, &completionThreadId_);
    if (completionThread_) {
      SetThreadName(completionThreadId_, "-");
      SetThreadPriority(completionThread_, THREAD_PRIORITY_ABOVE_NORMAL);
      ResumeThread(completionThread_);
      return;
    }
    Release();
  }
  RunCompletion();
}

DWORD WINAPI ExceptionReport::CompletionThread(void* self) noexcept {
  auto* report = static_cast<ExceptionReport*>(self);
  report->RunCompletion();
  report->Release();
  return 0;
}

std::string ExceptionReport::ThreadTrace(const ThreadStack& s, bool first, TraceResult& result) {
  TraceRequest request;
  request.hideUglyItems = GetBool("HideUglyItems");
  request.showRelativeAddresses = GetBool("ShowRelAddrs");
  request.showRelativeLines = GetBool("ShowRelLines");
  request.framePointer = s.frame;
  request.stackTop = s.top;
  request.stackBottom = s.bottom;
  request.currentAddress = s.current;
  request.creationAddress = s.creator;
  request.isException = s.exceptionThread && facts_.kind != ExceptionKind::Snapshot;
  request.isExternalException = s.exceptionThread && facts_.external;
  if (first && s.exceptionThread && !facts_.prepared.empty()) request.prepared = &facts_.prepared;
  request.abort = &abort_;
  result = CurrentThreadTracer().Trace(request);
  std::string text = result.text;
  if (s.creator && !text.empty() && text[0] != '>') {
    DWORD creatorThread = 0;
    ThreadInfoText(s.threadId, true, nullptr, &creatorThread);
    const std::size_t lastBreak = text.rfind("\r\n");
    const std::string line = "\r\n>> created by " + ThreadInfoText(creatorThread, true) + " at:";
    text.insert(lastBreak == std::string::npos ? 0 : lastBreak, line);
  }
  return text;
}

void ExceptionReport::RequestMiniDump() {
  if (!miniDumpDone_) miniDumpDone_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

void ExceptionReport::WaitForMiniDump() {
  // A completion run in place has written it; a deferred one has not begun.
  if (!miniDumpDone_ || !completionThread_ || IsLoaderLockHeld(0)) return;
  // The writer suspends the completion too, as it reads its stack; one
  // that stopped meanwhile must not keep it so (nothing else suspends it
  // for long). The wait has an end whatever happens.
  constexpr DWORD kSliceMs = 100;
  bool held = false;
  for (DWORD waited = 0; waited < kMiniDumpTimeoutMs + 5000; waited += kSliceMs) {
    if (WaitForSingleObject(miniDumpDone_.get(), kSliceMs) != WAIT_TIMEOUT) return;
    const DWORD count = SuspendCount(completionThread_);
    const bool suspended = count != static_cast<DWORD>(-1) && count > 0;
    if (suspended && held) ResumeDownTo(completionThread_, 0);
    held = suspended;
  }
}

// The dump is written with the box up, yet still shows the threads as
// they were: they are paused, and the faulting thread's stack is restored
// from its copy.
void ExceptionReport::WriteMiniDump() {
  if (!miniDumpDone_ || WaitForSingleObject(miniDumpDone_.get(), 0) == WAIT_OBJECT_0) return;
  try {
    const std::string dump = AttachMiniDump(*this);
    if (!dump.empty()) Header()->SetValue("minidump", dump);
  } catch (...) {
  }
  SetEvent(miniDumpDone_.get());
}

void ExceptionReport::RunCompletion() noexcept {
  try {
    WriteMiniDump();
    TraceResult firstResult;
    bool processSectionsDone = false;
    for (std::size_t i = 0; !abort_; ++i) {
      if (i == stacks_.size() && otherThreadsPending_) {
        otherThreadsPending_ = false;
        AddOtherThreads();
      }
      if (i >= stacks_.size()) break;
      const ThreadStack& s = stacks_[i];
      TraceResult result;
      const std::string text =
          Guarded("GetThreadReport", [&] { return ThreadTrace(s, i == 0, result); });
      if (i == 0) {
        firstResult = result;
        crc_[0] = result.crc1;
        crc_[1] = crc_[2] = result.crc2;
      } else if (result.lineInfo) {
        crc_[2] = CallstackCrcStep(crc_[2], result.crc2);
      }
      for (const std::string& note : result.minimalDebugInfos) minimalDebugInfos_.push_back(note);
      if (pleaseWait_) pleaseWait_->AreaDone();
      UpdateSection(s.title, text);
      if (i == 0 && !abort_) {
        CompleteProcessSections(firstResult);
        processSectionsDone = true;
      }
    }
    // Without any readable stack they are still owed.
    if (!processSectionsDone && !abort_) CompleteProcessSections(firstResult);
  } catch (...) {
  }
  if (pleaseWait_) pleaseWait_->Close();
}

// The sections of the exception itself come right after its thread, then
// the plugins' lists.
void ExceptionReport::CompleteProcessSections(const TraceResult& firstResult) {
  if (GetBool("CpuRegs") && facts_.hasContext) {
    UpdateSection(
        "cpu registers", Guarded("GetCpuRegisters", [&] {
          const CONTEXT& c = facts_.context;
          return CpuRegistersText({c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi, c.Eip, c.Esp, c.Ebp});
        }));
  }
  if (GetBool("StackDump") && facts_.hasContext) {
    UpdateSection("stack dump", Guarded("GetStackDump", [&] {
                    std::vector<std::uint8_t> bytes = facts_.stackBytes;
                    if (bytes.empty()) {
                      bytes.resize(kStackDumpBytes);
                      bytes.resize(SafeReadUpTo(
                          reinterpret_cast<const void*>(facts_.context.Esp), bytes.data(),
                          std::min<std::size_t>(kStackDumpBytes,
                                                RegionEnd(facts_.context.Esp) - facts_.context.Esp),
                          nullptr));
                    }
                    return StackDumpText(facts_.context.Esp, bytes.data(),
                                         std::min(bytes.size(), kStackDumpBytes));
                  }));
  }
  if (GetBool("ShowDisAsm") && facts_.kind != ExceptionKind::Snapshot) {
    UpdateSection("disassembling", Guarded("GetCleartextDisAsm", [&]() -> std::string {
                    if (!firstResult.exceptionFunction) return {};
                    TFunctionInfo info;
                    return DisassembleFunction(
                        reinterpret_cast<const void*>(firstResult.exceptionFunction),
                        reinterpret_cast<const void*>(firstResult.exceptionAddress
                                                          ? firstResult.exceptionAddress
                                                          : facts_.address),
                        info, GetBool("FormatDisAsm"), GetInt("LimitDisAsm"));
                  }));
  }
  for (const ReportPlugin& plugin : sectionPlugins_) {
    if (abort_) return;
    UpdateSection(plugin.name, Guarded("plugin", plugin.text));
  }
}

void ExceptionReport::UpdateSection(const std::string& title, const std::string& content) {
  BeginChange();
  if (!title.empty()) {
    Ref<ReportFields> list = sections_;
    const int index = list->IndexOf(title);
    if (index >= 0) {
      if (content.empty())
        list->Remove(index);
      else
        list->SetValue(title, content);
    }
  }
  bool completeNow = false;
  {
    std::lock_guard lock(listsLock_);
    completeNow = --outstanding_ <= 0 && !complete_;
  }
  if (completeNow) {
    Ref<ReportFields> header = Header();
    header->SetValue("callstack crc", CallstackCrcText(crc_[0], crc_[1], crc_[2]));
    for (const std::string& note : minimalDebugInfos_) {
      const std::size_t bar = note.find('|');
      if (bar != std::string::npos)
        header->SetValue(note.substr(0, bar) + ".zel", note.substr(bar + 1));
    }
    complete_ = true;
    if (phase_ == ReportPhase::Presenting) phase_ = ReportPhase::Complete;
  }
  EndChange();
}

void ExceptionReport::PreparePleaseWait() {
  if (!GetBool("PlWaitBox") || pleaseWait_) return;
  pleaseWait_ = Presenter().CreateProgressWindow(GetStr("PlWaitTitle"), GetModuleHandleA(nullptr),
                                                 "ZEIPLWAIT");
  for (const ThreadStack& s : stacks_) {
    pleaseWait_->AddArea(GetStr("PlWaitText"), std::uint64_t(s.top - s.bottom) * 100);
  }
}

void ExceptionReport::WaitForCompletion() {
  if (deferCompletion_ && !complete_) {
    deferCompletion_ = false;
    if (pleaseWait_) {
      pleaseWait_->Show(nullptr, false);
      pleaseWait_->ProcessMessages();
    }
    RunCompletion();
    return;
  }
  if (!completionThread_ || IsLoaderLockHeld(250)) return;
  if (pleaseWait_ && WaitForSingleObject(completionThread_, 0) == WAIT_TIMEOUT) {
    pleaseWait_->Show(nullptr, false);
    pleaseWait_->ProcessMessages();  // painted now, not after the first slice
    SetThreadPriority(completionThread_, THREAD_PRIORITY_HIGHEST);
    while (MsgWaitForMultipleObjects(1, &completionThread_, FALSE, 50, QS_ALLINPUT) !=
           WAIT_OBJECT_0) {
      pleaseWait_->ProcessMessages();
    }
    pleaseWait_->Close();
    return;
  }
  WaitForSingleObject(completionThread_, INFINITE);
}

std::string ExceptionReport::Render() {
  Ref<ReportFields> header = header_, sections = sections_;
  return RenderReport(header ? header->Items() : FieldPairs{},
                      sections ? sections->Items() : FieldPairs{});
}

std::string ExceptionReport::ReportText(bool mustBeComplete) {
  std::uint64_t changes = 0;
  std::string text;
  {
    std::lock_guard lock(textLock_);
    text = text_;
    changes = changes_;
  }
  if (!createBugReport_) return text;
  if (text.empty() || (mustBeComplete && !complete_)) {
    Header();
    Sections();
    if (mustBeComplete && !complete_) WaitForCompletion();
    text = Render();
    std::lock_guard lock(textLock_);
    if (changes_ == changes) text_ = text;
  }
  return text;
}

void ExceptionReport::ReplaceReportText(const std::string& text) {
  {
    std::lock_guard lock(textLock_);
    text_ = text;
    ++changes_;
  }
  Modified();
}

void ExceptionReport::BeginChange() { ++updates_; }

void ExceptionReport::EndChange() {
  if (--updates_ == 0 && dirty_.exchange(false)) Modified();
}

void ExceptionReport::FieldsModified(const ReportFields& fields) {
  if (&fields != header_.get() && &fields != sections_.get()) {
    ReporterSettings::FieldsModified(fields);
    return;
  }
  {
    std::lock_guard lock(textLock_);
    ++changes_;
    text_.clear();
  }
  if (updates_ > 0)
    dirty_ = true;
  else
    Modified();
}

void ExceptionReport::Modified() {
  std::vector<Listener> copy;
  {
    HandlerLock lock;
    copy = listeners_;
  }
  if (copy.empty()) return;
  const std::string text = Render();
  for (const Listener& l : copy) {
    try {
      l.fn(complete_, text, *this, l.context);
    } catch (...) {
    }
  }
}

void ExceptionReport::AddListener(ReportListener listener, void* context, bool critical) {
  bool added = false;
  {
    HandlerLock lock;
    auto it = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& l) {
      return l.fn == listener && l.context == context;
    });
    if (it != listeners_.end()) {
      it->critical = critical;
    } else {
      listeners_.push_back({listener, context, critical});
      added = true;
    }
  }
  if (added) {
    try {
      listener(complete_, ReportText(false), *this, context);
    } catch (...) {
    }
  }
}

void ExceptionReport::RemoveListener(ReportListener listener, void* context) {
  HandlerLock lock;
  std::erase_if(listeners_,
                [&](const Listener& l) { return l.fn == listener && l.context == context; });
}

bool ExceptionReport::HasCriticalListener() const {
  HandlerLock lock;
  return std::any_of(listeners_.begin(), listeners_.end(),
                     [](const Listener& l) { return l.critical; });
}

}  // namespace corvan::crash
