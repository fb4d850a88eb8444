#include "crash/core/ReporterFolder.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/WinHandles.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

std::atomic<int> sendsUsingFolder{0};

// "<temp>\<executable name>.zelExcept", shared by every copy of the program.
std::string SharedFolder() {
  char temp[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(sizeof temp, temp);
  if (length == 0 || length > MAX_PATH) return {};
  std::string folder = temp;
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder + WithoutExtension(FileNamePart(ModulePath(nullptr))) + ".zelExcept";
}

std::string OwnFolder(const std::string& shared) {
  return shared + "\\" + std::to_string(GetCurrentProcessId());
}

// The process's claim on its subfolder: the open lock file.
struct OwnClaim {
  std::mutex lock;
  ScopedFile file;
};
// Never destroyed: a send thread may still prepare files while the program's
// statics go; the system closes the lock when the process ends.
OwnClaim& Claim() {
  static OwnClaim& claim = *new OwnClaim;
  return claim;
}

// Files still open elsewhere stay (deleting them fails).
void DeleteFiles(const std::string& folder) {
  for (const FolderItem& entry : ListFolder(folder)) {
    if (!entry.folder) DeleteFileA((folder + "\\" + entry.name).c_str());
  }
}

// Links are removed, never followed; read-only files stay.
void RemoveTree(const std::string& folder) {
  for (const FolderItem& entry : ListFolder(folder)) {
    if (entry.folder && !entry.link) {
      RemoveTree(folder + "\\" + entry.name);
    } else {
      RemoveFolderItem(folder, entry);
    }
  }
  RemoveDirectoryA(folder.c_str());
}

// A running process holds its lock file open without delete sharing; the
// lock of one that ended is gone or can be deleted.
bool HeldByRunningProcess(const std::string& lockPath) {
  return !DeleteFileA(lockPath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
         GetLastError() != ERROR_PATH_NOT_FOUND;
}

void RemoveAbandoned(const std::string& shared) {
  for (const FolderItem& entry : ListFolder(shared)) {
    const std::string path = shared + "\\" + entry.name;
    if (!entry.folder || entry.link) {
      RemoveFolderItem(shared, entry);  // a held lock stays
    } else if (!HeldByRunningProcess(path + ".lock")) {
      RemoveTree(path);
    }
  }
}

}  // namespace

std::string ReporterTempFolder() {
  const std::string shared = SharedFolder();
  return shared.empty() ? shared : OwnFolder(shared);
}

std::string PreparedReporterTempFolder() {
  const std::string shared = SharedFolder();
  if (shared.empty()) return {};
  const std::string own = OwnFolder(shared);
  OwnClaim& claim = Claim();
  std::lock_guard guard(claim.lock);
  // Another copy's start-up may remove the shared folder between our steps.
  for (int attempt = 0; attempt < 3; ++attempt) {
    CreateDirectoryA(shared.c_str(), nullptr);
    if (!claim.file) {
      claim.file.reset(CreateFileA((own + ".lock").c_str(), GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    }
    if (CreateDirectoryA(own.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
      return own + "\\";
  }
  return {};
}

void EmptyReporterTempFolder(bool removeFolder) {
  const std::string shared = SharedFolder();
  if (shared.empty()) return;
  const std::string own = OwnFolder(shared);
  if (!removeFolder) {
    if (sendsUsingFolder.load() == 0) DeleteFiles(own);
    return;
  }
  // A send still running keeps the own subfolder claimed.
  if (sendsUsingFolder.load() == 0) {
    OwnClaim& claim = Claim();
    std::lock_guard guard(claim.lock);
    claim.file.reset();
  }
  // A shared folder that is itself a link leads elsewhere: left alone.
  const DWORD attributes = GetFileAttributesA(shared.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
  RemoveAbandoned(shared);
  RemoveDirectoryA(shared.c_str());
}

ReporterFolderUse::ReporterFolderUse() { ++sendsUsingFolder; }
ReporterFolderUse::~ReporterFolderUse() { --sendsUsingFolder; }

}  // namespace corvan::crash
