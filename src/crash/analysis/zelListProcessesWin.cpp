#include <windows.h>

#include <cstring>

#include "common/WinHandles.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/zelListProcesses.h"

namespace corvan::crash {
namespace {

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, char*, DWORD);
using QueryFullProcessImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, char*, DWORD*);

constexpr ULONG kProcessInformation = 5;
constexpr ULONG kFirstBuffer = 0x20000, kLargestBuffer = 0x400000;

// The 32-bit layout of one process record of the system's process list.
constexpr std::size_t kNextEntryOffset = 0x00;
constexpr std::size_t kImageNameLength = 0x38;
constexpr std::size_t kImageNameBuffer = 0x3c;
constexpr std::size_t kProcessId = 0x44;
constexpr std::size_t kSessionId = 0x50;
constexpr std::size_t kRecordMinimum = 0x54;

template <class T>
T FieldAt(const std::vector<std::uint8_t>& buffer, std::size_t at) {
  T value;
  std::memcpy(&value, buffer.data() + at, sizeof value);
  return value;
}

// The whole process list of the system, or empty.
std::vector<std::uint8_t> SystemProcessList() {
  const auto query =
      SystemFunction<NtQuerySystemInformationFn>("ntdll.dll", "NtQuerySystemInformation");
  if (!query) return {};
  ULONG needed = 0;
  query(kProcessInformation, nullptr, 0, &needed);
  ULONG size = needed ? needed * 2 : kFirstBuffer;
  for (; size <= kLargestBuffer * 2; size *= 2) {
    std::vector<std::uint8_t> buffer(size);
    if (query(kProcessInformation, buffer.data(), size, &needed) >= 0) return buffer;
    if (size >= kLargestBuffer) break;
  }
  return {};
}

// The image name held inside the record at offset at (the buffer pointer
// must point into the list itself).
std::string ImageName(const std::vector<std::uint8_t>& buffer, std::size_t at) {
  const auto length = FieldAt<USHORT>(buffer, at + kImageNameLength);
  const auto pointer = FieldAt<std::uintptr_t>(buffer, at + kImageNameBuffer);
  const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
  if (!pointer || length == 0 || pointer < start || pointer + length > start + buffer.size())
    return {};
  std::wstring name(length / sizeof(wchar_t), L'\0');
  std::memcpy(name.data(), reinterpret_cast<const void*>(pointer), name.size() * sizeof(wchar_t));
  return AnsiFromWide(name);
}

std::string FullImagePath(DWORD processId) {
  static const auto moduleFileName =
      SystemFunction<GetModuleFileNameExFn>("psapi.dll", "GetModuleFileNameExA");
  static const auto fullImageName =
      SystemFunction<QueryFullProcessImageNameFn>("kernel32.dll", "QueryFullProcessImageNameA");
  char path[MAX_PATH + 1] = {};
  if (moduleFileName) {
    ScopedHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (process) {
      const DWORD length = moduleFileName(process.get(), nullptr, path, MAX_PATH);
      if (length > 0 && length < MAX_PATH) return std::string(path, length);
    }
  }
  // A 64-bit process seen from WOW64 has no module list for us; its image
  // name is still known to the system.
  if (fullImageName) {
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    DWORD length = MAX_PATH;
    if (process && fullImageName(process.get(), 0, path, &length) && length < MAX_PATH)
      return std::string(path, length);
  }
  return {};
}

std::int32_t PriorityClassOf(DWORD processId) {
  if (processId == 0) return -1;
  ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
  if (!process) return -1;
  const DWORD priority = GetPriorityClass(process.get());
  return priority ? static_cast<std::int32_t>(priority) : -1;
}

std::string SystemDirectory() {
  char path[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

}  // namespace

std::vector<ProcessEntry> RunningProcesses() {
  std::vector<ProcessEntry> processes;
  processes.reserve(64);
  const std::vector<std::uint8_t> buffer = SystemProcessList();
  const std::string systemDirectory = SystemDirectory();
  for (std::size_t at = 0; at + kRecordMinimum <= buffer.size();) {
    ProcessEntry entry;
    entry.processId = FieldAt<std::uint32_t>(buffer, at + kProcessId);
    entry.sessionId = FieldAt<std::uint32_t>(buffer, at + kSessionId);
    std::string name = ImageName(buffer, at);
    if (name.empty()) name = "Idle";
    const std::string path = FullImagePath(entry.processId);
    SetProcessPath(entry, path.empty() ? name : ProcessImagePath(path, systemDirectory));
    entry.priorityClass = PriorityClassOf(entry.processId);
    processes.push_back(std::move(entry));
    const auto next = FieldAt<std::uint32_t>(buffer, at + kNextEntryOffset);
    if (next == 0) break;
    at += next;
  }
  return processes;
}

std::string ListProcesses() { return ProcessListText(RunningProcesses()); }

}  // namespace corvan::crash
