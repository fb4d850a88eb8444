// The queue folder on Windows: entries are written under their partial
// name and renamed once complete; the folder is per user and per program.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>

#include "common/WinHandles.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/UnsentQueue.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr std::uint64_t kPartialLifetime = 24ull * 3600 * 10000000;  // FILETIME units

std::uint64_t Ticks(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// Entries hold plain files only: anything else (a link, a folder) is
// removed itself or left, never followed.
bool RemoveEntryFolder(const std::string& path) {
  for (const FolderItem& item : ListFolder(path)) RemoveFolderItem(path, item);
  return RemoveDirectoryA(path.c_str()) != 0;
}

std::uint64_t EntryBytes(const std::string& path) {
  std::uint64_t bytes = 0;
  for (const FolderItem& item : ListFolder(path)) bytes += item.bytes;
  return bytes;
}

std::optional<std::string> ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

// A failed close counts: the data may not be on disk.
bool WriteFileText(const std::string& path, const std::string& text) {
  ScopedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file.get());
  return CloseHandle(file.release()) && ok;
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CreateFolders(const std::string& path) {
  for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  CreateDirectoryA(path.c_str(), nullptr);
}

LocalTime Now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

bool WriteEntry(const std::string& path, const std::string& text,
                const std::vector<AttachmentEntry>& attachments) {
  if (!CreateDirectoryA(path.c_str(), nullptr)) return false;
  std::vector<KeptFile> kept;
  for (const AttachmentEntry& entry : attachments) {
    if (entry.source.empty()) {
      kept.push_back({std::string(kKeptReportFile), entry.sendAs, entry.field, entry.zip});
      continue;
    }
    if (!IsFile(entry.source)) continue;
    const std::string sendAs = entry.sendAs.empty() ? FileNamePart(entry.source) : entry.sendAs;
    KeptFile file{StoredFileName(kept.size() + 1, sendAs), sendAs, entry.field, entry.zip};
    if (!CopyFileA(entry.source.c_str(), (path + "\\" + file.stored).c_str(), TRUE)) return false;
    kept.push_back(std::move(file));
  }
  return WriteFileText(path + "\\" + std::string(kKeptReportFile), text) &&
         WriteFileText(path + "\\" + std::string(kKeptIndexFile), FormatKeptIndex(kept));
}

void ApplyBounds(const std::string& folder, QueueBounds bounds) {
  std::vector<ListedEntry> complete;
  for (const FolderItem& item : ListFolder(folder)) {
    if (item.folder && ClassifyEntryName(item.name) == EntryState::Complete)
      complete.push_back({item.name, EntryBytes(folder + "\\" + item.name)});
  }
  for (const std::string& name : EntriesOverBounds(std::move(complete), bounds))
    RemoveEntryFolder(folder + "\\" + name);
}

}  // namespace

std::string UnsentQueueFolder() {
  char base[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base)) ||
      !base[0]) {
    return {};
  }
  return std::string(base) + "\\" + WithoutExtension(FileNamePart(ModulePath(nullptr))) +
         "\\unsent";
}

std::unique_lock<std::mutex> LockUnsentQueue() {
  static std::mutex lock;
  return std::unique_lock(lock);
}

std::string KeepReport(const std::string& folder, const std::string& text,
                       const std::vector<AttachmentEntry>& attachments, QueueBounds bounds) {
  static std::atomic<std::uint32_t> serial{0};
  if (folder.empty() || bounds.maxReports <= 0 || bounds.maxBytes == 0) return {};
  CreateFolders(folder);
  const std::string name = KeptEntryName(Now(), GetCurrentProcessId(), ++serial);
  const std::string partial = folder + "\\" + name + std::string(kPartialSuffix);
  if (!WriteEntry(partial, text, attachments) ||
      !MoveFileA(partial.c_str(), (folder + "\\" + name).c_str())) {
    RemoveEntryFolder(partial);
    return {};
  }
  ApplyBounds(folder, bounds);
  return GetFileAttributesA((folder + "\\" + name).c_str()) == INVALID_FILE_ATTRIBUTES
             ? std::string()
             : name;
}

KeptReports ListKeptReports(const std::string& folder) {
  KeptReports kept;
  if (folder.empty()) return kept;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  std::vector<FolderItem> items = ListFolder(folder);
  std::sort(items.begin(), items.end(),
            [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
  for (const FolderItem& item : items) {
    if (!item.folder) continue;
    const std::string path = folder + "\\" + item.name;
    switch (ClassifyEntryName(item.name)) {
      case EntryState::Foreign:
        continue;
      case EntryState::Partial:
        if (Ticks(now) - item.written > kPartialLifetime) {
          RemoveEntryFolder(path);
          kept.notes.push_back(item.name + ": never completed, removed");
        } else {
          kept.notes.push_back(item.name + ": not complete, skipped");
        }
        continue;
      case EntryState::Complete:
        break;
    }
    const std::optional<std::string> index =
        ReadFileText(path + "\\" + std::string(kKeptIndexFile));
    const std::optional<std::vector<KeptFile>> files =
        index ? ParseKeptIndex(*index) : std::nullopt;
    std::optional<std::string> text = ReadFileText(path + "\\" + std::string(kKeptReportFile));
    if (!files || !text) {
      RemoveEntryFolder(path);
      kept.notes.push_back(item.name + (files ? ": report text missing" : ": index broken") +
                           ", skipped and removed");
      continue;
    }
    KeptReport report{item.name, std::move(*text), {}};
    for (const KeptFile& file : *files)
      report.attachments.push_back({path + "\\" + file.stored, file.sendAs, file.zip, file.field});
    kept.reports.push_back(std::move(report));
  }
  return kept;
}

bool RemoveKeptReport(const std::string& folder, const std::string& name) {
  // Only names the queue makes: never a device ("CON") or a path.
  return !folder.empty() && ClassifyEntryName(name) != EntryState::Foreign &&
         RemoveEntryFolder(folder + "\\" + name);
}

void RemoveKeptReports(const std::string& folder) {
  if (folder.empty()) return;
  for (const FolderItem& item : ListFolder(folder)) {
    if (item.folder && ClassifyEntryName(item.name) == EntryState::Complete)
      RemoveEntryFolder(folder + "\\" + item.name);
  }
}

}  // namespace corvan::crash
