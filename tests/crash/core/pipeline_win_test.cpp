// The handling pipeline and the report in a process that carries the
// reporter: what a submitted exception becomes, the class filters, the
// automatic rules, hidden exceptions and process snapshots.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "crash/core/BugReportFile.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/ExceptionReport.h"
#include "crash/core/MiniDump.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/ReporterFolder.h"
#include "crash/core/zelExcept.h"
#include "ui/Thread.h"

namespace corvan::crash {
namespace {

struct EDBEditError : std::runtime_error {
  EDBEditError() : std::runtime_error("bad input") {}
};
struct EMyEditError : EDBEditError {};
struct EAbort : std::exception {};

struct Seen {
  std::vector<Ref<ExceptionReport>> reports;
  std::vector<std::pair<unsigned, bool>> ends;  // exit code, restart
} seen;

// Runs once in the handling thread when the box would show, if set.
void (*atPresenting)(ExceptionReport&) = nullptr;

void Keep(ExceptionReport& report, bool&) {
  seen.reports.emplace_back(&report);
  if (atPresenting) std::exchange(atPresenting, nullptr)(report);
}
void RecordEnd(unsigned code, bool restart) { seen.ends.emplace_back(code, restart); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Pipeline_Submit_Helper();

class Pipeline : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(ReporterActive());
    AddExceptionHandler(Keep, ReportPhase::Presenting);
    SetProcessEnd(RecordEnd);
  }
  void SetUp() override {
    seen = {};
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    file_ = std::string(temp) + "corvan-pipeline-" + std::to_string(GetCurrentProcessId()) + ".txt";
    DeleteFileA(file_.c_str());
    settings_ = CreateSettings(GetModuleHandleA(nullptr));
    settings_->SetStr("BugRepFile", file_);
    settings_->SetInt("AutoClose", 0);
    settings_->SetInt("AutoRestart", 0);
  }
  void TearDown() override { DeleteFileA(file_.c_str()); }

  template <class E>
  static void Submit(E error, bool canContinue = true) {
    try {
      throw error;
    } catch (...) {
      ExceptionFacts facts = FactsOf(std::current_exception(), ExceptionSource::HandleException);
      facts.canContinue = canContinue;
      SubmitException(std::move(facts));
    }
  }

  std::string file_;
  Ref<ReporterSettings> settings_;
};

void Pipeline_Submit_Helper() {
  try {
    throw std::runtime_error("from a worker");
  } catch (...) {
    SubmitException(FactsOf(std::current_exception(), ExceptionSource::ThreadFrame));
  }
}

TEST_F(Pipeline, AnExceptionBecomesACompleteReportInTheFile) {
  Submit(std::runtime_error("Disk full!!"));
  ASSERT_EQ(seen.reports.size(), 1u);
  ExceptionReport& report = *seen.reports[0];
  EXPECT_EQ(report.Source(), ExceptionSource::HandleException);
  EXPECT_TRUE(report.Complete());
  const std::string text = report.ReportText(true);
  EXPECT_EQ(ReadFile(file_), text + "\r\n\r\n");
  // Header fields in their order, every ": " in one column.
  std::vector<std::string> names;
  std::size_t column = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    const std::string line = text.substr(at, end - at);
    if (line.empty()) break;
    names.push_back(line.substr(0, line.find_last_not_of(' ', line.find(" : ")) + 1));
    if (column) {
      EXPECT_EQ(line.find(" : "), column) << line;
    }
    column = line.find(" : ");
    at = end + 2;
  }
  EXPECT_EQ(column, std::string("exception message").size());
  ASSERT_GE(names.size(), 8u);
  EXPECT_EQ(names.front(), "date/time");
  EXPECT_EQ(names[names.size() - 4], "callstack crc");
  EXPECT_EQ(names[names.size() - 3], "exception number");
  EXPECT_EQ(names[names.size() - 2], "exception class");
  EXPECT_EQ(names.back(), "exception message");
  EXPECT_EQ(ExtractHeaderValue(text, "exception class"), "std::runtime_error");
  EXPECT_EQ(ExtractHeaderValue(text, "exception message"), "Disk full.");
  EXPECT_EQ(ExtractHeaderValue(text, "callstack crc").size(), 31u);
  EXPECT_EQ(
      ExtractHeaderValue(text, "process id"), "$" + [] {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%lx", GetCurrentProcessId());
        return std::string(hex);
      }());
  // The thread that threw is first and names this test's function.
  const std::size_t first = text.find("\r\n\r\n") + 4;
  EXPECT_EQ(text.find("main thread ($", first), first);
  EXPECT_NE(text.find("pipeline_win_test.cpp", first), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\ncpu registers:\r\neax = "), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\nstack dump:\r\n"), std::string::npos);
  // The reporter's own threads are not listed.
  EXPECT_EQ(text.find("thread $" + std::to_string(0)), std::string::npos);
  EXPECT_TRUE(seen.ends.empty());
}

// A thread that starts, ends or loads a library holds the loader lock for
// a moment; that is not a blocked process, and a report asked for whole
// meanwhile waits for its completion instead of coming back unfinished.
TEST_F(Pipeline, ALoaderLockHeldForAMomentDoesNotCutTheReportShort) {
  static std::string text;
  text.clear();
  atPresenting = [](ExceptionReport& report) {
    using Lock = LONG(WINAPI*)(ULONG, ULONG*, ULONG_PTR*);
    using Unlock = LONG(WINAPI*)(ULONG, ULONG_PTR);
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    static const auto lock = reinterpret_cast<Lock>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    static const auto unlock = reinterpret_cast<Unlock>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    if (!lock || !unlock) return;
    static HANDLE held;
    held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE holder = CreateThread(
        nullptr, 0,
        [](void*) WINAPI -> DWORD {
          ULONG_PTR cookie = 0;
          lock(0, nullptr, &cookie);
          SetEvent(held);
          Sleep(100);
          unlock(0, cookie);
          return 0;
        },
        nullptr, 0, nullptr);
    WaitForSingleObject(held, INFINITE);
    text = report.ReportText(true);
    WaitForSingleObject(holder, INFINITE);
    CloseHandle(holder);
    CloseHandle(held);
  };
  Submit(std::runtime_error("while a library loads"));
  atPresenting = nullptr;
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find("will be calculated soon"), std::string::npos) << text;
  EXPECT_EQ(ExtractHeaderValue(text, "callstack crc").size(), 31u);
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST_F(Pipeline, HandlingEmptiesTheOwnReporterFolderUnlessASendUsesIt) {
  const std::string folder = ReporterTempFolder();
  EXPECT_NE(
      folder.find("\\crash_pipeline_win_test.zelExcept\\" + std::to_string(GetCurrentProcessId())),
      std::string::npos)
      << folder;
  ASSERT_EQ(PreparedReporterTempFolder(), folder + "\\");
  std::ofstream(folder + "\\left over.png") << "x";
  {
    const ReporterFolderUse sending;
    Submit(std::runtime_error("during a send"));
    EXPECT_TRUE(Exists(folder + "\\left over.png"));
  }
  Submit(std::runtime_error("x"));
  EXPECT_FALSE(Exists(folder + "\\left over.png"));
  EmptyReporterTempFolder(true);
  EXPECT_FALSE(Exists(folder));
}

// A running copy holds "<pid>.lock" open without delete sharing; what no
// running copy holds is removed at start-up, whatever its process id.
TEST_F(Pipeline, StartUpCleaningRemovesOnlyWhatNoRunningCopyHolds) {
  const std::string own = ReporterTempFolder();
  const std::string shared = own.substr(0, own.rfind('\\'));
  CreateDirectoryA(shared.c_str(), nullptr);
  const std::string dead = shared + "\\4000000000", alive = shared + "\\4000000001";
  for (const std::string& folder : {dead, alive}) {
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "\\nested").c_str(), nullptr);
    std::ofstream(folder + "\\nested\\shot.png") << "x";
    std::ofstream(folder + "\\dump.dmp") << "x";
  }
  std::ofstream(dead + ".lock") << "";  // left by a process that ended
  std::ofstream(shared + "\\loose.png") << "x";
  HANDLE lock = CreateFileA((alive + ".lock").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  EmptyReporterTempFolder(true);
  EXPECT_FALSE(Exists(dead));
  EXPECT_FALSE(Exists(dead + ".lock"));
  EXPECT_FALSE(Exists(shared + "\\loose.png"));
  EXPECT_TRUE(Exists(alive + "\\dump.dmp"));
  EXPECT_TRUE(Exists(alive + "\\nested\\shot.png"));
  CloseHandle(lock);
  EmptyReporterTempFolder(true);
  EXPECT_FALSE(Exists(shared));
}

// While a send runs the own claim stays: another copy's start-up keeps the
// folder even after this process's own start-up cleaning ran again.
TEST_F(Pipeline, TheOwnFolderIsClaimedByItsLockFile) {
  const std::string own = ReporterTempFolder();
  ASSERT_FALSE(PreparedReporterTempFolder().empty());
  std::ofstream(own + "\\shot.png") << "x";
  EXPECT_EQ(DeleteFileA((own + ".lock").c_str()), FALSE);
  {
    const ReporterFolderUse sending;
    EmptyReporterTempFolder(true);
    EXPECT_TRUE(Exists(own + "\\shot.png"));
  }
  EmptyReporterTempFolder(true);
  EXPECT_FALSE(Exists(own));
  EXPECT_FALSE(Exists(own + ".lock"));
}

TEST_F(Pipeline, ExceptionNumbersCount) {
  Submit(std::logic_error("one"));
  Submit(std::logic_error("two"));
  ASSERT_EQ(seen.reports.size(), 2u);
  const long first =
      std::stol(ExtractHeaderValue(seen.reports[0]->ReportText(true), "exception number"));
  EXPECT_EQ(std::stol(ExtractHeaderValue(seen.reports[1]->ReportText(true), "exception number")),
            first + 1);
}

TEST_F(Pipeline, InputErrorsGetNoReportNoHandlersAndTheSimpleDialog) {
  Submit(EMyEditError());
  EXPECT_TRUE(seen.reports.empty());  // handlers are not called
  EXPECT_EQ(GetFileAttributesA(file_.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(seen.ends.empty());
}

TEST_F(Pipeline, AbortIsNeverReported) {
  Submit(EAbort());
  EXPECT_TRUE(seen.reports.empty());
  EXPECT_TRUE(seen.ends.empty());
}

TEST_F(Pipeline, TheTenthExceptionWithinAutoCloseClosesTheNinthDoesNot) {
  settings_->SetInt("AutoClose", 3600);
  for (int i = 0; i < 12; ++i) Submit(std::runtime_error("again"));
  // The history may hold exceptions of the earlier tests: whichever is the
  // tenth within the hour closes, and every later one does.
  ASSERT_FALSE(seen.ends.empty());
  EXPECT_EQ(seen.ends.front(), std::make_pair(kCloseExitCode, false));
  EXPECT_LE(seen.ends.size(), 12u);
}

TEST_F(Pipeline, ExceptionsThatCannotContinueCloseOrRestart) {
  Submit(std::runtime_error("fatal"), false);
  ASSERT_EQ(seen.ends.size(), 1u);
  EXPECT_EQ(seen.ends[0], std::make_pair(kCloseExitCode, false));
  EXPECT_FALSE(ReadFile(file_).empty());  // saved before the end
  settings_->SetInt("AutoRestart", 1);
  Submit(std::runtime_error("fatal"), false);
  ASSERT_EQ(seen.ends.size(), 2u);
  EXPECT_EQ(seen.ends[1], std::make_pair(kRestartExitCode, true));
}

void SubmitFromHandler(ExceptionReport&, bool&) {
  // Inside the handling thread: ignored, no recursion, no deadlock.
  SubmitException(ExceptionFacts{});
}

TEST_F(Pipeline, HiddenExceptionsReachOnlyHiddenHandlers) {
  static int hidden = 0;
  static ExceptionSource source;
  AddHiddenExceptionHandler([](ExceptionReport& report, bool& handled) {
    ++hidden;
    source = report.Source();
    SubmitFromHandler(report, handled);
  });
  try {
    throw std::runtime_error("caught by the program");
  } catch (const std::exception&) {
  }
  ClearHandlers();
  AddExceptionHandler(Keep, ReportPhase::Presenting);
  EXPECT_EQ(hidden, 1);
  EXPECT_EQ(source, ExceptionSource::HiddenException);
  EXPECT_TRUE(seen.reports.empty());
  EXPECT_EQ(GetFileAttributesA(file_.c_str()), INVALID_FILE_ATTRIBUTES);
  // Without hidden-exception handlers a caught exception is nobody's business.
  try {
    throw std::runtime_error("caught again");
  } catch (const std::exception&) {
  }
  EXPECT_EQ(hidden, 1);
}

TEST_F(Pipeline, ProcessSnapshotListsTheMainThreadFirstWithoutAClass) {
  const std::string text = BuildProcessReport(false);
  EXPECT_EQ(ExtractHeaderValue(text, "exception message"), "The application seems to be frozen.");
  EXPECT_EQ(text.find("\r\nexception class"), std::string::npos);
  EXPECT_EQ(ExtractHeaderValue(text, "callstack crc").size(), 31u);
  const std::size_t first = text.find("\r\n\r\n") + 4;
  EXPECT_EQ(text.find("main thread ($", first), first);
  EXPECT_EQ(text.find("cpu registers"), std::string::npos);  // no context, no registers
  // Each thread's stack starts where that thread is, not in the reporter.
  EXPECT_EQ(text.find("ThreadTracer.cpp"), std::string::npos) << text;
}

// The threads other than the faulting and the main thread are read by the
// completion, after the box is up: they still follow the sections of the
// fault, ahead of a section an assistant added meanwhile.
TEST_F(Pipeline, OtherThreadsFollowTheFaultsSectionsAheadOfLaterOnes) {
  static HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(release);
  auto wait = [](void*) WINAPI -> DWORD { return WaitForSingleObject(release, INFINITE); };
  HANDLE workers[] = {ui::StartThread(wait, nullptr, "waiting worker A"),
                      ui::StartThread(wait, nullptr, "waiting worker B")};
  ExceptionFacts facts = FactsOf(nullptr, ExceptionSource::Requested);
  Ref<ExceptionReport> report = MakeRef<ExceptionReport>(*settings_, facts);
  report->SetDeferCompletion(true);
  const std::string before = report->ReportText(false);
  EXPECT_EQ(before.find("waiting worker"), std::string::npos) << before;
  report->Sections()->SetValue("error details", "while testing");
  const std::string text = report->ReportText(true);
  SetEvent(release);
  WaitForMultipleObjects(2, workers, TRUE, 5000);
  for (HANDLE worker : workers) CloseHandle(worker);
  const std::size_t listing = text.find("\r\n\r\ndisassembling:"),
                    a = text.find("waiting worker A"), b = text.find("waiting worker B"),
                    details = text.find("\r\n\r\nerror details:\r\nwhile testing");
  ASSERT_NE(a, std::string::npos) << text;
  ASSERT_NE(b, std::string::npos) << text;
  ASSERT_NE(details, std::string::npos) << text;
  EXPECT_LT(listing, a);
  EXPECT_LT(a, details);
  EXPECT_LT(b, details);
  EXPECT_EQ(text.size(), details + std::string("\r\n\r\nerror details:\r\nwhile testing").size());
  EXPECT_EQ(ExtractHeaderValue(text, "callstack crc").size(), 31u);
}

TEST_F(Pipeline, AMinidumpGoesWithTheReportWhenTheSettingsAskForOne) {
  Submit(std::runtime_error("without a dump"));
  ASSERT_EQ(seen.reports.size(), 1u);
  EXPECT_EQ(ExtractHeaderValue(seen.reports[0]->ReportText(true), "minidump"), "");
  EXPECT_TRUE(seen.reports[0]->AdditionalAttachments()->Entries().empty());

  settings_->SetBool("MiniDump", true);
  settings_->SetStr("BugRepZip", "bugreport.zip");
  Submit(std::runtime_error("with a dump"));
  settings_->SetBool("MiniDump", false);
  settings_->SetStr("BugRepZip", "");
  ASSERT_EQ(seen.reports.size(), 2u);
  ExceptionReport& report = *seen.reports[1];
  // Named after the report's time stamp, in the header and the attachments,
  // in the bug report's archive.
  const std::string name = MiniDumpFileName(report.Created());
  EXPECT_EQ(ExtractHeaderValue(report.ReportText(true), "minidump"), name);
  const std::vector<AttachmentEntry> entries = report.AdditionalAttachments()->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, ReporterTempFolder() + "\\" + name);
  EXPECT_EQ(entries[0].sendAs, name);
  EXPECT_EQ(entries[0].field, "MiniDump");
  EXPECT_EQ(entries[0].zip, "bugreport.zip");
  EXPECT_EQ(ReadFile(entries[0].source).substr(0, 4), "MDMP");
  // The module's own attachments stay as they were.
  EXPECT_TRUE(settings_->AdditionalAttachments()->Entries().empty());
}

// A writer still busy at its time-out is left to finish and then takes
// its file away; one in time keeps it.
TEST_F(Pipeline, ADumpThatOutlastsItsTimeIsGivenUpWithoutItsFile) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string path =
      std::string(temp) + "corvan-late-" + std::to_string(GetCurrentProcessId()) + ".dmp";
  DeleteFileA(path.c_str());
  ExceptionFacts facts;
  facts.kind = ExceptionKind::Snapshot;
  EXPECT_EQ(WriteMiniDumpFile(path, facts, MiniDumpKind::Normal, 0), "not written: timed out");
  for (int i = 0; i < 200 && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(50);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);

  EXPECT_EQ(WriteMiniDumpFile(path, facts, MiniDumpKind::Normal), "");
  EXPECT_EQ(ReadFile(path).substr(0, 4), "MDMP");
  DeleteFileA(path.c_str());
}

TEST_F(Pipeline, ListenersHearEveryChangeAndTheCompleteText) {
  static std::vector<std::pair<bool, std::string>> calls;
  calls.clear();
  ExceptionFacts facts;
  facts.kind = ExceptionKind::Snapshot;
  Ref<ExceptionReport> report = MakeRef<ExceptionReport>(*settings_, facts);
  report->AddListener([](bool complete, const std::string& text, ExceptionReport&,
                         void*) { calls.emplace_back(complete, text); },
                      nullptr, true);
  ASSERT_FALSE(calls.empty());  // at once, with the current state
  EXPECT_FALSE(calls[0].first);
  EXPECT_TRUE(report->HasCriticalListener());
  const std::string text = report->ReportText(true);
  ASSERT_GT(calls.size(), 2u);
  EXPECT_TRUE(calls.back().first);
  EXPECT_EQ(calls.back().second, text);
  // The placeholders were seen before completion.
  bool placeholder = false;
  for (const auto& [complete, seenText] : calls) {
    placeholder |=
        !complete && seenText.find(">> stack will be calculated soon") != std::string::npos;
  }
  EXPECT_TRUE(placeholder);
}

DWORD WINAPI SubmittingWorker(void*) {
  Pipeline_Submit_Helper();
  return 0;
}

volatile LONG spins = 0;
volatile bool stopLooper = false;

// A call of its own, as a framework's message pump makes it: a loop that
// calls PeekMessage directly may keep the function's address in a register
// from before the imports were redirected.
__attribute__((noinline)) void PumpOnce() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
}

DWORD WINAPI MessageLooper(void*) {
  while (!stopLooper) {
    PumpOnce();
    InterlockedIncrement(&spins);
    Sleep(1);
  }
  return 0;
}

// Submits an exception from a worker thread while the main thread either
// pumps its messages or just waits.
void SubmitFromWorker(bool mainPumps) {
  HANDLE worker = ui::StartThread(SubmittingWorker, nullptr, "submitting worker");
  if (mainPumps) {
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
  } else {
    WaitForSingleObject(worker, INFINITE);
  }
  CloseHandle(worker);
}

TEST_F(Pipeline, SynchronisedHandlersRunInTheMainThreadOrAfterItsTimeOut) {
  static DWORD ranOn = 0;
  static int calls = 0;
  ranOn = 0;
  calls = 0;
  auto record = [](ExceptionReport&, bool&) {
    ranOn = GetCurrentThreadId();
    ++calls;
  };
  AddExceptionHandler(record, ReportPhase::Presenting, 1);
  SubmitFromWorker(true);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ranOn, GetCurrentThreadId());  // the main thread
  // A main thread that does not answer: mode 1 is dropped...
  SubmitFromWorker(false);
  EXPECT_EQ(calls, 1);
  ClearHandlers();
  AddExceptionHandler(Keep, ReportPhase::Presenting);
  // ... and mode 2 runs in the handling thread.
  AddExceptionHandler(record, ReportPhase::Presenting, 2);
  SubmitFromWorker(false);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(ranOn, HandlingThreadId());
  ClearHandlers();
  AddExceptionHandler(Keep, ReportPhase::Presenting);
}

TEST_F(Pipeline, PausedThreadsStopAtTheirMessageCallsUntilTheHandlingEnds) {
  static LONG duringHandling[2];
  stopLooper = false;
  HANDLE looper = ui::StartThread(MessageLooper, nullptr, "message looper");
  Sleep(100);
  settings_->SetBool("PauseThreads", true);
  AddExceptionHandler(
      [](ExceptionReport&, bool&) {
        Sleep(50);  // a looper on its way to a pause point gets there
        duringHandling[0] = spins;
        Sleep(300);
        duringHandling[1] = spins;
      },
      ReportPhase::Started);
  SubmitFromWorker(true);
  settings_->SetBool("PauseThreads", false);
  ClearHandlers();
  AddExceptionHandler(Keep, ReportPhase::Presenting);
  const LONG after = spins;
  Sleep(200);
  EXPECT_EQ(duringHandling[0], duringHandling[1]);  // paused
  EXPECT_GT(spins, after);                          // going again
  stopLooper = true;
  WaitForSingleObject(looper, INFINITE);
  CloseHandle(looper);
}

// Loops that never call through our imports: user32's own modal loop of a
// message box, counting the ticks of a thread timer it dispatches, and a
// loop that calls PeekMessageW through the address GetProcAddress gave.
volatile LONG boxTicks = 0, pointerSpins = 0;
volatile bool stopPointerLoop = false;

void CALLBACK CountBoxTick(HWND, UINT, UINT_PTR, DWORD) { InterlockedIncrement(&boxTicks); }

DWORD WINAPI MessageBoxThread(void*) {
  SetTimer(nullptr, 0, 5, CountBoxTick);
  MessageBoxW(nullptr, L"modal", L"corvan pause test", MB_OK);
  return 0;
}

DWORD WINAPI PointerLooper(void*) {
  const auto peek = reinterpret_cast<decltype(&PeekMessageW)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "PeekMessageW")));
  while (!stopPointerLoop) {
    MSG msg;
    if (peek(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    InterlockedIncrement(&pointerSpins);
    Sleep(1);
  }
  return 0;
}

BOOL CALLBACK CloseThreadWindow(HWND window, LPARAM) {
  PostMessageW(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

TEST_F(Pipeline, PausedThreadsStopInLoopsThatBypassOurImports) {
  static LONG box[2], pointer[2];
  stopPointerLoop = false;
  DWORD boxId = 0;
  HANDLE boxThread = ui::StartThread(MessageBoxThread, nullptr, "message box", &boxId);
  HANDLE looper = ui::StartThread(PointerLooper, nullptr, "pointer looper");
  ASSERT_TRUE(boxThread && looper);
  for (int i = 0; i < 200 && (boxTicks < 5 || pointerSpins < 5); ++i) Sleep(10);
  ASSERT_GE(boxTicks, 5);
  settings_->SetBool("PauseThreads", true);
  AddExceptionHandler(
      [](ExceptionReport&, bool&) {
        Sleep(100);  // each reaches its pause point at its next message
        box[0] = boxTicks;
        pointer[0] = pointerSpins;
        Sleep(300);
        box[1] = boxTicks;
        pointer[1] = pointerSpins;
      },
      ReportPhase::Started);
  SubmitFromWorker(true);
  settings_->SetBool("PauseThreads", false);
  ClearHandlers();
  AddExceptionHandler(Keep, ReportPhase::Presenting);
  const LONG boxAfter = boxTicks, pointerAfter = pointerSpins;
  for (int i = 0; i < 200 && (boxTicks == boxAfter || pointerSpins == pointerAfter); ++i) Sleep(10);
  EXPECT_EQ(box[0], box[1]);  // paused
  EXPECT_EQ(pointer[0], pointer[1]);
  EXPECT_GT(boxTicks, boxAfter);  // going again
  EXPECT_GT(pointerSpins, pointerAfter);
  stopPointerLoop = true;
  EnumThreadWindows(boxId, CloseThreadWindow, 0);
  EXPECT_EQ(WaitForSingleObject(boxThread, 5000), WAIT_OBJECT_0);
  WaitForSingleObject(looper, INFINITE);
  CloseHandle(boxThread);
  CloseHandle(looper);
}

}  // namespace
}  // namespace corvan::crash
