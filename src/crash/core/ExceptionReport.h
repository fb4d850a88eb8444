#pragma once
// One intercepted exception, freeze or requested snapshot, from its
// creation by the pipeline until its last reference goes: the settings it
// was made with (every setting can be overridden on the report), the
// header fields and sections of its bug report, the background completion
// of the expensive sections (call stacks, registers, stack dump,
// disassembly), and the rendered text with its change notifications.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/WinHandles.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/ReportFrontEnd.h"
#include "crash/core/ReportPlugins.h"
#include "crash/core/ReporterSettings.h"
#include "crash/core/zelTypes.h"

namespace corvan::crash {

// Called with the report's state at registration and at every change.
using ReportListener = void (*)(bool complete, const std::string& text, ExceptionReport& report,
                                void* context);

class ExceptionReport final : public ReporterSettings {
 public:
  ExceptionReport(const ReporterSettings& settings, ExceptionFacts facts);

  ReportPhase Phase() const { return phase_; }
  // Presenting on a complete report means complete.
  void SetPhase(ReportPhase phase);
  bool CanContinue() const { return canContinue_; }
  void SetCanContinue(bool value) { canContinue_ = value && facts_.canContinue; }
  ExceptionKind Kind() const { return facts_.kind; }
  ExceptionSource Source() const { return facts_.source; }
  const ExceptionFacts& Facts() const { return facts_; }
  std::string ExceptionClass() const { return facts_.object.ClassName(); }
  std::string ExceptionMessage() const;
  std::uint32_t ExceptionAddress() const { return facts_.address; }
  DWORD CrashedThreadId() const { return facts_.crashedThreadId; }
  const LocalTime& Created() const { return created_; }
  std::uint32_t CallstackCrc(int index) const;

  Ref<ReportFields> Header();
  Ref<ReportFields> Sections();  // starts completion
  bool Complete() const { return complete_; }
  // The rendered bug report; with mustBeComplete, waits for completion.
  std::string ReportText(bool mustBeComplete);
  void ReplaceReportText(const std::string& text);

  void BeginChange();
  void EndChange();
  void AddListener(ReportListener listener, void* context, bool critical);
  void RemoveListener(ReportListener listener, void* context);
  bool HasCriticalListener() const;

  // The class filter's choices.
  bool CreateBugReport() const { return createBugReport_; }
  bool CreateScreenshot() const { return createScreenshot_; }
  bool CallHandlers() const { return callHandlers_; }
  bool PauseThreads() const { return pauseThreads_; }
  bool SendScreenshot() const { return sendScreenshot_; }
  void SetSendScreenshot(bool value) { sendScreenshot_ = value; }
  // Taken on the first request when the report is to have one; a capture
  // that fails clears CreateScreenshot. Null when there is none.
  Ref<INVBitmap> Screenshot();
  // An edited picture replaces the captured one.
  void SetScreenshot(Ref<INVBitmap> bitmap);
  int ShowSetting() const { return showSetting_; }
  const std::string& ShowAssistant() const { return showAssistant_; }

  // Answers true exactly once each.
  bool FirstComplete() { return ++firstComplete_ == 0; }
  bool FirstAutoSave() { return ++firstAutoSave_ == 0; }
  bool Sent() const { return sent_; }
  void SetSent(bool value) { sent_ = value; }
  bool SavedToFile() const { return savedToFile_; }
  void SetSavedToFile(bool value) { savedToFile_ = value; }
  DWORD CompletionThreadId() const { return completionThreadId_; }
  // Background sends of this report (automatic or from the box): the
  // report owns their thread handles, so that the program can wait for
  // them before it ends; handles of sends that have ended are let go.
  void AdoptSendThread(HANDLE thread);
  // Waits for every background send of this report, at most timeoutMs in
  // all. A send still running then goes on until the process ends; should
  // it deliver the report after all, it removes the kept copy.
  void WaitForSendThreads(DWORD timeoutMs);
  // The name of this report's entry among the unsent reports; empty when
  // it has none. Guarded by the unsent reports' lock.
  const std::string& KeptAs() const { return keptAs_; }
  void SetKeptAs(std::string name) { keptAs_ = std::move(name); }
  // The report gets a minidump, written by the completion before it traces
  // the threads: asked for before Sections starts the completion.
  void RequestMiniDump();
  // Waits until the asked-for dump is written or given up, so that paused
  // threads are not resumed while it shows them.
  void WaitForMiniDump();
  // Completion runs in the requesting thread when the report is read.
  void SetDeferCompletion(bool value) { deferCompletion_ = value; }
  // The threads listed in every case, also the reporter's own ("-").
  void SetShowAllThreads(bool value) { showAllThreads_ = value; }

 protected:
  ~ExceptionReport() override;

  std::optional<Setting> Lookup(std::string_view name) const override;
  bool Set(const Setting& value) override;
  void FieldsModified(const ReportFields& fields) override;
  void BeginFieldsUpdate() override { BeginChange(); }
  void EndFieldsUpdate() override { EndChange(); }

 private:
  struct ThreadStack {
    DWORD threadId = 0;
    std::string title;
    bool exceptionThread = false;
    bool accessible = false;
    std::uint32_t current = 0, bottom = 0, top = 0, frame = 0, creator = 0;
    CONTEXT context{};
  };
  using Section = std::pair<std::string, std::string>;  // title, content
  struct Listener {
    ReportListener fn;
    void* context;
    bool critical;
  };

  void ApplyClassFilters();
  // Creates list on first use; true exactly once when it is to be filled.
  bool FirstUseOf(Ref<ReportFields>& list, bool& built);
  void BuildHeader();
  void BuildSections();
  bool ReadThreadStack(DWORD threadId, bool exceptionThread, ThreadStack& stack);
  // The thread's placeholder section (its stack kept for the trace when
  // readable); none for a thread the report does not list.
  std::optional<Section> ThreadSection(DWORD threadId, bool exceptionThread);
  // Lists the threads not read with the box, behind the sections built then.
  void AddOtherThreads();
  void StartCompletion();
  void WriteMiniDump();
  static DWORD WINAPI CompletionThread(void* self) noexcept;
  void RunCompletion() noexcept;
  void UpdateSection(const std::string& title, const std::string& content);
  std::string ThreadTrace(const ThreadStack& stack, bool first, TraceResult& result);
  // Registers, stack dump, disassembly and the plugin sections.
  void CompleteProcessSections(const TraceResult& firstResult);
  // The please-wait window with one area per thread; shown while a reader
  // waits for completion.
  void PreparePleaseWait();
  void WaitForCompletion();
  void Modified();
  std::string Render();

  ExceptionFacts facts_;
  std::atomic<ReportPhase> phase_{ReportPhase::Created};
  bool canContinue_;
  std::uint32_t crc_[3] = {};
  LocalTime created_{};

  mutable std::mutex propertiesLock_;
  std::map<std::string, Setting, std::less<>> properties_;

  std::mutex listsLock_;
  Ref<ReportFields> header_, sections_;
  bool headerBuilt_ = false, sectionsBuilt_ = false;
  std::vector<ThreadStack> stacks_;
  std::vector<DWORD> listedThreads_;
  std::vector<std::string> builtTitles_;
  bool otherThreadsPending_ = false;
  std::vector<ReportPlugin> sectionPlugins_;
  int outstanding_ = 0;
  std::vector<std::string> minimalDebugInfos_;

  std::mutex textLock_;
  std::string text_;
  std::uint64_t changes_ = 0;
  std::atomic<bool> complete_{false};
  std::atomic<int> updates_{0};
  std::atomic<bool> dirty_{false};
  std::vector<Listener> listeners_;

  bool createBugReport_ = true, createScreenshot_ = false, callHandlers_ = true;
  bool pauseThreads_ = false, sendScreenshot_ = false;
  int showSetting_ = 0;
  std::string showAssistant_;
  std::mutex screenshotLock_;
  Ref<INVBitmap> screenshot_;

  ScopedHandle miniDumpDone_;  // set once the asked-for dump is settled
  HANDLE completionThread_ = nullptr;
  DWORD completionThreadId_ = 0;
  std::atomic<bool> abort_{false};
  bool deferCompletion_ = false;
  bool showAllThreads_ = false;
  Ref<IProgressAlert> pleaseWait_;
  std::atomic<int> firstComplete_{-1}, firstAutoSave_{-1};
  bool sent_ = false, savedToFile_ = false;
  std::mutex sendThreadsLock_;
  std::vector<ScopedHandle> sendThreads_;
  std::string keptAs_;
};

// The number of report headers built in this process.
std::int64_t ExceptionNumber();

}  // namespace corvan::crash
