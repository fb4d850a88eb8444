#pragma once
// Packs files into one zip archive (bug report attachments that share a zip
// name). Unreadable input files are left out silently; a failed write
// deletes the partly written archive.
#include <memory>
#include <string>
#include <vector>

#include "crash/codec/ZipWriter.h"

namespace corvan::crash {

// The file system as the archive writer sees it: one implementation on
// Windows, one over the C library for the portable builds.
class ZipFileAccess {
 public:
  class Archive : public ZipSink {
   public:
    // Flushes and closes; false when that fails.
    virtual bool Close() = 0;
  };

  virtual ~ZipFileAccess() = default;
  // Creates (or truncates) the archive; null on failure.
  virtual std::unique_ptr<Archive> CreateArchive(const std::string& path) = 0;
  // Reads a whole input file with its time and attributes; false when it
  // cannot be opened, read completely or buffered.
  virtual bool ReadSource(const std::string& path, std::vector<std::uint8_t>& data,
                          ZipEntryInfo& info) = 0;
  virtual void Delete(const std::string& path) = 0;
};

// The entry name of input i: names[i] when given (and not empty), otherwise
// the part of the path after its last backslash.
std::string ZipEntryName(const std::vector<std::string>& paths,
                         const std::vector<std::string>& names, std::size_t i);

// Archives the files in order. True when the archive was written with at
// least one entry; otherwise no archive is left behind.
bool CreateZipFile(ZipFileAccess& files, const std::string& zipPath,
                   const std::vector<std::string>& paths, const std::vector<std::string>& names);

// The C library's file access (portable builds: tools, tests, benchmarks).
// Entries get the file's local modification time and attribute 0x20
// (archive), plus 0x01 (read-only) for a file without write permission.
class StdioZipFileAccess : public ZipFileAccess {
 public:
  std::unique_ptr<Archive> CreateArchive(const std::string& path) override;
  bool ReadSource(const std::string& path, std::vector<std::uint8_t>& data,
                  ZipEntryInfo& info) override;
  void Delete(const std::string& path) override;
};

#ifdef _WIN32
// The Windows file access: input files opened sharing read and write, the
// last-write time in local time and GetFileAttributes (0 when that fails).
class WinZipFileAccess : public ZipFileAccess {
 public:
  std::unique_ptr<Archive> CreateArchive(const std::string& path) override;
  bool ReadSource(const std::string& path, std::vector<std::uint8_t>& data,
                  ZipEntryInfo& info) override;
  void Delete(const std::string& path) override;
};

// CreateZipFile over the Windows file system.
bool CreateZipFile(const std::string& zipPath, const std::vector<std::string>& paths,
                   const std::vector<std::string>& names);
#endif

}  // namespace corvan::crash
