#pragma once
// Settings records and environment held in memory: module "handles" are
// addresses of test objects, resources are byte vectors.
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "crash/core/ReporterSettings.h"

namespace corvan::crash::test {

class MemorySettingsRecords final : public SettingsRecords {
 public:
  std::map<ModuleId, std::vector<std::uint8_t>> resources;
  std::vector<std::uint8_t> invalidTags;  // every message box shown
  int bufferReferences = 0;
  bool bufferAvailable = true;
  ModuleSettingsRecord* head = nullptr;

  ReporterSettings* MainSettings() override { return main_; }
  void SetMainSettings(ReporterSettings* s) override { main_ = s; }
  int RecordCount() const {
    int n = 0;
    for (auto* r = head; r; r = r->next) ++n;
    return n;
  }

 protected:
  bool AcquireBuffer() override {
    if (!bufferAvailable) return false;
    ++bufferReferences;
    return true;
  }
  void ReleaseBuffer() override { --bufferReferences; }
  void Lock() override { lock_.lock(); }
  void Unlock() override { lock_.unlock(); }
  ModuleSettingsRecord** Head() override { return &head; }
  const RecordAllocator& Allocator() override {
    static const RecordAllocator heap{&std::malloc, &std::free};
    return heap;
  }
  bool FindSettingsResource(ModuleId module, const std::uint8_t*& data,
                            std::size_t& size) override {
    const auto it = resources.find(module);
    if (it == resources.end()) return false;
    data = it->second.data();
    size = it->second.size();
    return true;
  }
  void ShowInvalidResource(std::uint8_t tag) override { invalidTags.push_back(tag); }

 private:
  std::recursive_mutex lock_;
  ReporterSettings* main_ = nullptr;
};

class FakeEnvironment final : public SettingsEnvironment {
 public:
  ModuleId exe = reinterpret_cast<ModuleId>(0x400000);
  std::map<ModuleId, std::string> paths;
  std::map<std::string, std::string> fileVersions;
  std::map<int, std::string> folders;
  std::map<std::int32_t, std::string> versionStrings;  // by offset
  LocalTime now{2024, 3, 7, 9, 5, 1, 7};

  ModuleId ExecutableModule() const override { return exe; }
  std::string ModuleFileName(ModuleId m) const override {
    const auto it = paths.find(m);
    return it == paths.end() ? std::string() : it->second;
  }
  std::string ReadVersionString(ModuleId, std::int32_t offset) const override {
    const auto it = versionStrings.find(offset);
    return it == versionStrings.end() ? std::string() : it->second;
  }
  std::string FileVersionText(const std::string& path) const override {
    const auto it = fileVersions.find(path);
    return it == fileVersions.end() ? std::string() : it->second;
  }
  LocalTime Now() const override { return now; }
  std::string ShellFolder(int csidl) const override {
    const auto it = folders.find(csidl);
    return it == folders.end() ? std::string() : it->second;
  }
};

inline ModuleId Module(std::uintptr_t base) { return reinterpret_cast<ModuleId>(base); }

}  // namespace corvan::crash::test
