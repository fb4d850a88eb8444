#pragma once
// What the delivery tests' peers stored (smtp_peer.py, upload_peer.py),
// read back by the Windows test programs: summaries of "name: value" lines
// and the received bytes. Also the attachment files the tests send.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/WinTestSupport.h"

namespace corvan::crash::test {

inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary)
      .write(data.data(), static_cast<std::streamsize>(data.size()));
}

// The lines of a peer's summary file.
class PeerSummary {
 public:
  explicit PeerSummary(const std::string& path) {
    const std::string text = ReadWholeFile(path);
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find('\n', at);
      lines_.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
  }
  bool Empty() const { return lines_.empty(); }
  // The text after "key: " of the first line that starts with it; "<none>"
  // when there is no such line.
  std::string Value(const std::string& key) const {
    for (const std::string& line : lines_) {
      if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
    }
    return "<none>";
  }
  // Every line that starts with prefix.
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : lines_) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
  }

 private:
  std::vector<std::string> lines_;
};

// How many numbered summaries (1.txt, 2.txt, ...) a peer has written.
inline int StoredCount(const std::string& dir) {
  int n = 0;
  while (FileExists(dir + "\\" + std::to_string(n + 1) + ".txt")) ++n;
  return n;
}

// A fresh folder under the temporary folder, with the attachment files of
// the tests: a report whose lines start with dots, a PNG-named file of
// every byte value, and an empty file.
class AttachmentFolderFixture {
 public:
  AttachmentFolderFixture() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    dir_ = std::string(temp) + "corvan-mail-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount());
    CreateDirectoryA(dir_.c_str(), nullptr);
    report = "bug report\r\n.\r\n..two dots\r\n.leading dot\r\nlast line\r\n";
    for (int i = 0; i < 40000; ++i) binary += static_cast<char>((i * 7 + i / 256) & 0xFF);
    WriteWholeFile(Path("bugreport.txt"), report);
    WriteWholeFile(Path("screenShot.png"), binary);
    WriteWholeFile(Path("empty.log"), "");
  }
  ~AttachmentFolderFixture() {
    for (const char* name : {"bugreport.txt", "screenShot.png", "empty.log"}) {
      DeleteFileA(Path(name).c_str());
    }
    RemoveDirectoryA(dir_.c_str());
  }
  std::string Path(const std::string& name) const { return dir_ + "\\" + name; }

  std::string report;
  std::string binary;

 private:
  std::string dir_;
};

}  // namespace corvan::crash::test
