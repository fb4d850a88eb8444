#include "crash/core/BugReportFileWin.h"

#include <cstring>

#include "common/WinHandles.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/UnsentQueue.h"
#include "crash/core/zelTypes.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

using KernelHandle = ScopedHandle;
using MappedView = ScopedView;

// A file handle; CreateFile's INVALID_HANDLE_VALUE is kept as none.
KernelHandle OpenFile(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  HANDLE h = CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  return KernelHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// The hand-over block: old process id, the mapping's handle in the new
// process, the exception history.
struct RestartBlock {
  std::uint32_t oldProcessId;
  std::uint32_t mappingInNewProcess;
  std::int64_t history[ExceptionHistory::kSize];
};
static_assert(sizeof(RestartBlock) == 88);

void CreateFolders(const std::string& path) {
  for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
}

bool ReadAll(HANDLE file, std::string& content) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart > 0x7FFFFFFF) return false;
  content.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!content.empty() &&
      !ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr)) {
    return false;
  }
  content.resize(read);
  return true;
}

bool WriteAt(HANDLE file, std::size_t offset, std::string_view bytes) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  DWORD written = 0;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
         (bytes.empty() ||
          (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size())) &&
         SetEndOfFile(file);
}

PSID UserSid(std::string& tokenUser) {
  return reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid;
}

// A hand-over block is trusted only when this user made it: the current
// user owns it, and the process it names, while it can still be opened,
// runs this program as this user. Another account's object under the name
// (squatted before us) is refused.
bool TrustedRestartBlock(HANDLE mapping, DWORD oldProcessId) {
  if (!OwnedByCurrentUser(mapping)) return false;
  constexpr DWORD kQueryLimited = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION
  KernelHandle old(OpenProcess(kQueryLimited, FALSE, oldProcessId));
  if (!old) return true;  // ended already: the owner vouches for the block
  std::string own = TokenUserOf(GetCurrentProcess());
  std::string user = TokenUserOf(old.get());
  const auto imageName = SystemFunction<BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD)>(
      "kernel32.dll", "QueryFullProcessImageNameA");
  char image[MAX_PATH * 2] = {};
  DWORD length = sizeof image;
  return !own.empty() && !user.empty() && EqualSid(UserSid(user), UserSid(own)) && imageName &&
         imageName(old.get(), 0, image, &length) &&
         lstrcmpiA(image, ModulePath(nullptr).c_str()) == 0;
}

}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
  return size == other.size && CompareFileTime(&written, &other.written) == 0;
}

bool AppendToBugReportFile(const std::string& path, const std::string& report,
                           const BugReportFileRules& rules, DWORD waitMs) {
  CreateFolders(path);
  KernelHandle file;
  const DWORD start = GetTickCount();
  for (DWORD pause = 1;; pause = pause < 32 ? pause * 2 : pause) {
    file = OpenFile(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    if (file || GetLastError() != ERROR_SHARING_VIOLATION || GetTickCount() - start >= waitMs)
      break;
    Sleep(pause);  // another save holds the file: wait for it instead of losing this report
  }
  if (!file) return false;
  std::string old;
  if (!ReadAll(file.get(), old)) return false;
  const std::string updated = AppendReport(old, report, rules);
  // Only the bytes after the common beginning are written.
  std::size_t same = 0;
  const std::size_t limit = std::min(old.size(), updated.size());
  while (same < limit && old[same] == updated[same]) ++same;
  if (WriteAt(file.get(), same, std::string_view(updated).substr(same))) return true;
  WriteAt(file.get(), same, std::string_view(old).substr(same));
  return false;
}

std::string FallbackBugReportFile(const std::string& path) {
  const std::string queue = UnsentQueueFolder();
  if (queue.empty()) return {};
  return FolderPart(queue) + FileNamePart(path);  // the queue's parent folder
}

std::string SaveToBugReportFile(const std::string& path, const std::string& report,
                                const BugReportFileRules& rules) {
  if (AppendToBugReportFile(path, report, rules)) return path;
  const std::string fallback = FallbackBugReportFile(path);
  if (fallback.empty() || LowerCase(fallback) == LowerCase(path)) return {};
  const std::string noted = AddHeaderValue(report, "bug report file", "date/time",
                                           fallback + " (" + path + " cannot be written)");
  return AppendToBugReportFile(fallback, noted, rules) ? fallback : std::string();
}

bool ReadFileWithStamp(const std::string& path, std::string& content, FileStamp& stamp) {
  KernelHandle file = OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !GetFileInformationByHandle(file.get(), &info) || !ReadAll(file.get(), content))
    return false;
  stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.written = info.ftLastWriteTime;
  return true;
}

bool DeleteFileIfUnchanged(const std::string& path, const FileStamp& stamp) {
  // Held exclusively while compared, and deleted through the same handle.
  KernelHandle file = OpenFile(path, GENERIC_READ | DELETE, 0, OPEN_EXISTING);
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
  FileStamp now;
  now.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  now.written = info.ftLastWriteTime;
  if (!(now == stamp)) return false;
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition);
}

std::string RestartBlockName(DWORD pid) { return "zelExceptRestart" + HexText(pid); }

void TerminateProgram() {
  TerminateProcess(GetCurrentProcess(), kCloseExitCode);
  for (;;) Sleep(INFINITE);
}

HANDLE CreateRestartBlock(const PROCESS_INFORMATION& process, const ExceptionHistory& history) {
  // The restarted process runs as the same user: nobody else may open it.
  UserOnlySecurityAttributes userOnly;
  if (!userOnly.get()) return nullptr;  // never a block that everyone may open
  KernelHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, userOnly.get(), PAGE_READWRITE, 0,
                                          sizeof(RestartBlock),
                                          RestartBlockName(process.dwProcessId).c_str()));
  // A name that exists already is someone else's object: no history into it.
  if (!mapping || GetLastError() == ERROR_ALREADY_EXISTS) return nullptr;
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(RestartBlock));
  if (!view) return nullptr;
  MappedView mapped(view);
  HANDLE inChild = nullptr;
  // The child's handle keeps the block alive after this process ends.
  DuplicateHandle(GetCurrentProcess(), mapping.get(), process.hProcess, &inChild, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  RestartBlock block{};
  block.oldProcessId = GetCurrentProcessId();
  block.mappingInNewProcess = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(inChild));
  std::memcpy(block.history, history.Entries().data(), sizeof block.history);
  std::memcpy(view, &block, sizeof block);
  return mapping.release();
}

void RestartProgram(const ExceptionHistory& history) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const std::string path = ModulePath(nullptr);
  std::string commandLine = RestartCommandLine(path, GetCommandLineA());
  if (CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                     nullptr, nullptr, &startup, &process)) {
    KernelHandle thread(process.hThread), child(process.hProcess);
    KernelHandle block(CreateRestartBlock(process, history));
    ResumeThread(thread.get());
  }
  TerminateProcess(GetCurrentProcess(), kRestartExitCode);
  for (;;) Sleep(INFINITE);
}

bool RestartHandOver(ExceptionHistory& history) {
  constexpr DWORD kPredecessorWaitMs = 10000;
  KernelHandle mapping(
      OpenFileMappingA(FILE_MAP_READ, FALSE, RestartBlockName(GetCurrentProcessId()).c_str()));
  if (!mapping) return false;
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(RestartBlock));
  if (!view) return false;
  MappedView mapped(view);
  RestartBlock block;
  std::memcpy(&block, view, sizeof block);
  if (!TrustedRestartBlock(mapping.get(), block.oldProcessId)) return false;
  if (block.mappingInNewProcess)
    CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(block.mappingInNewProcess)));
  // The predecessor ends right after starting us; one that hangs on its way
  // out must not keep the new program from coming up.
  if (HANDLE old = OpenProcess(SYNCHRONIZE, FALSE, block.oldProcessId)) {
    KernelHandle predecessor(old);
    WaitForSingleObject(old, kPredecessorWaitMs);
  }
  ExceptionHistory::Times times;
  std::memcpy(times.data(), block.history, sizeof block.history);
  history.Adopt(times);
  return true;
}

}  // namespace corvan::crash
