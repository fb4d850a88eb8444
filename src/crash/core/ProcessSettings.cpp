#include "crash/core/ProcessSettings.h"

#include <shlobj.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/SafeRead.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/CrashHandlerClient.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

std::atomic<SettingsMessageSink> messageSink{nullptr};

void ShowMessage(const std::string& text) {
  if (SettingsMessageSink sink = messageSink.load()) {
    sink(text);
  } else {
    MessageBoxA(nullptr, text.c_str(), kSettingsCaption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
  }
}

// The shared block: the 40-byte layout every module of the process knows,
// whose spare word points at the first view (the one whose critical
// section all modules use: a section must be used at one address), plus
// the process-wide main settings object.
struct SharedSettingsBlock {
  LONG refCount;
  HANDLE mapping;
  CRITICAL_SECTION lock;
  ModuleSettingsRecord* head;
  SharedSettingsBlock* self;
  ReporterSettings* mainSettings;
};
static_assert(sizeof(void*) != 4 || offsetof(SharedSettingsBlock, mainSettings) == 40);

std::string Suffix() { return HexText(GetCurrentProcessId()); }

// Serialises creating, opening and freeing the block across modules.
class CreationMutex {
 public:
  CreationMutex() {
    mutex_ = CreateOwnMutex("zelExceptSettingsMtx" + Suffix());
    const DWORD waited = mutex_ ? WaitForSingleObject(mutex_, kNamedMutexWaitMs) : WAIT_FAILED;
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~CreationMutex() {
    if (!mutex_) return;
    if (held_) ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }

 private:
  HANDLE mutex_;
  bool held_ = false;
};

void* HeapAllocate(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }
void HeapRelease(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

std::string AnsiFromUtf16(std::u16string_view text) {
  return AnsiFromWide(std::wstring(text.begin(), text.end()));
}

class WindowsSettingsRecords final : public SettingsRecords {
 public:
  ReporterSettings* MainSettings() override {
    {
      std::lock_guard<std::mutex> guard(localLock_);
      if (block_) return block_->mainSettings;
    }
    // Without a reference of our own, peek at the block of other modules.
    ReporterSettings* main = nullptr;
    CreationMutex serialise;
    if (HANDLE mapping = OpenOwnMapping(MappingName())) {
      if (auto* view =
              static_cast<SharedSettingsBlock*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0))) {
        if (view->self && view->self->mainSettings) main = view->self->mainSettings;
        UnmapViewOfFile(view);
      }
      CloseHandle(mapping);
    }
    return main;
  }

  void SetMainSettings(ReporterSettings* settings) override {
    // The main settings keep the block alive while they are set.
    if (settings && !holdsMainReference_ && AcquireBuffer()) holdsMainReference_ = true;
    {
      std::lock_guard<std::mutex> guard(localLock_);
      if (block_) block_->mainSettings = settings;
    }
    if (!settings && holdsMainReference_) {
      holdsMainReference_ = false;
      ReleaseBuffer();
    }
  }

 protected:
  bool AcquireBuffer() override {
    std::lock_guard<std::mutex> guard(localLock_);
    if (localReferences_ > 0) {
      ++localReferences_;
      return true;
    }
    CreationMutex serialise;
    block_ = OpenOrCreate();
    if (!block_) {
      ShowMessage("internal error (opening settings buffer)");
      return false;
    }
    localReferences_ = 1;
    return true;
  }

  void ReleaseBuffer() override {
    std::lock_guard<std::mutex> guard(localLock_);
    if (localReferences_ == 0 || --localReferences_ > 0) return;
    CreationMutex serialise;
    if (InterlockedDecrement(&block_->refCount) == 0) {
      DeleteCriticalSection(&block_->lock);
      const HANDLE mapping = block_->mapping;
      UnmapViewOfFile(block_);
      CloseHandle(mapping);
    }
    block_ = nullptr;
  }

  void Lock() override { EnterCriticalSection(&block_->lock); }
  void Unlock() override { LeaveCriticalSection(&block_->lock); }
  ModuleSettingsRecord** Head() override { return &block_->head; }
  const RecordAllocator& Allocator() override {
    static const RecordAllocator heap{&HeapAllocate, &HeapRelease};
    return heap;
  }

  bool FindSettingsResource(ModuleId module, const std::uint8_t*& data,
                            std::size_t& size) override {
    const HMODULE m = static_cast<HMODULE>(module);
    const HRSRC info = FindResourceA(m, "TZELEXCEPT", MAKEINTRESOURCEA(10));  // RT_RCDATA
    if (!info) return false;
    const HGLOBAL loaded = LoadResource(m, info);
    data = loaded ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
    size = SizeofResource(m, info);
    return data != nullptr;
  }

  void ShowInvalidResource(std::uint8_t tag) override {
    ShowMessage(InvalidSettingsResourceText(tag));
  }
  WideToAnsiFunction WideToAnsi() override { return AnsiFromUtf16; }

 private:
  static std::string MappingName() { return "zelExceptSettingsBuf" + Suffix(); }

  // Under the creation mutex: the first view of the process, referenced.
  static SharedSettingsBlock* OpenOrCreate() {
    // The block holds pointers and a lock the process uses: a block of
    // another account under the name is never opened.
    if (HANDLE mapping = OpenOwnMapping(MappingName())) {
      SharedSettingsBlock* first = nullptr;
      if (auto* view = static_cast<SharedSettingsBlock*>(
              MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0))) {
        first = view->self;
        UnmapViewOfFile(view);
      }
      CloseHandle(mapping);
      if (first) InterlockedIncrement(&first->refCount);
      return first;
    }
    bool created = false;
    const HANDLE mapping = CreateOwnMapping(MappingName(), sizeof(SharedSettingsBlock), created);
    if (!mapping) return nullptr;
    auto* block =
        static_cast<SharedSettingsBlock*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!block) {
      CloseHandle(mapping);
      return nullptr;
    }
    std::memset(block, 0, sizeof *block);
    block->refCount = 1;
    block->mapping = mapping;
    InitializeCriticalSection(&block->lock);
    block->self = block;
    return block;
  }

  std::mutex localLock_;
  int localReferences_ = 0;
  SharedSettingsBlock* block_ = nullptr;
  bool holdsMainReference_ = false;
};

class WindowsSettingsEnvironment final : public SettingsEnvironment {
 public:
  ModuleId ExecutableModule() const override { return GetModuleHandleA(nullptr); }
  std::string ModuleFileName(ModuleId module) const override {
    return ModulePath(static_cast<HMODULE>(module));
  }
  std::string ReadVersionString(ModuleId module, std::int32_t offset) const override {
    return SafeReadString(static_cast<const char*>(module) + offset, 256);
  }
  std::string FileVersionText(const std::string& path) const override {
    const std::uint64_t version = FileVersion(path);
    return version ? corvan::crash::FileVersionText(version) : std::string();
  }
  LocalTime Now() const override {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  }
  std::string ShellFolder(int csidl) const override {
    char path[MAX_PATH] = {};
    return SHGetFolderPathA(nullptr, csidl, nullptr, 0, path) == S_OK ? std::string(path)
                                                                      : std::string();
  }
};

bool UsableOwn(const Ref<ReporterSettings>& s) {
  return s && s->Valid() && !s->GetBool("NoSettings");
}

}  // namespace

SettingsRecords& ProcessSettingsRecords() {
  static WindowsSettingsRecords records;
  return records;
}

const SettingsEnvironment& ProcessSettingsEnvironment() {
  static const WindowsSettingsEnvironment environment;
  return environment;
}

void SetSettingsMessageSink(SettingsMessageSink sink) { messageSink = sink; }

Ref<ReporterSettings> CreateSettings(HMODULE module, bool load) {
  // The crash handler process runs the program's executable: without
  // settings the reporter stays off in it.
  return MakeRef<ReporterSettings>(module, ProcessSettingsRecords(), ProcessSettingsEnvironment(),
                                   load && !IsCrashHandlerProcess());
}

Ref<ReporterSettings> SearchSettings() {
  Ref<ReporterSettings> found;
  auto consider = [&](HMODULE module) {
    if (!module || !ProcessSettingsRecords().HasResource(module)) return;
    if (found && UsableOwn(found)) return;
    Ref<ReporterSettings> candidate = CreateSettings(module);
    if (!found || UsableOwn(candidate)) found = candidate;
  };
  consider(OwnModule());
  consider(GetModuleHandleA("zelExceptIde_.bpl"));
  for (const TModule& m : ModuleList()) consider(m.base);
  return found;
}

Ref<ReporterSettings> SettingsForModule(HMODULE module) {
  Ref<ReporterSettings> own = CreateSettings(module);
  if (!own->Valid() || !own->GetBool("NoSettings")) return own;
  Ref<ReporterSettings> other = SearchSettings();
  return UsableOwn(other) ? other : own;
}

Ref<ReporterSettings> SettingsForAddress(const void* address) {
  MEMORY_BASIC_INFORMATION info;
  Ref<ReporterSettings> settings;
  if (VirtualQuery(address, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT &&
      info.AllocationBase && info.AllocationBase != OwnModule() &&
      ProcessSettingsRecords().HasResource(info.AllocationBase)) {
    settings = CreateSettings(static_cast<HMODULE>(info.AllocationBase));
  }
  if (!UsableOwn(settings)) {
    Ref<ReporterSettings> searched = SearchSettings();
    if (UsableOwn(searched) || !settings) settings = searched;
  }
  return settings ? settings : CreateSettings(OwnModule());
}

}  // namespace corvan::crash
