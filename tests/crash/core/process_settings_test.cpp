// Settings in the real process: the shared block seen from two modules
// (this program and a DLL with its own copy of the reporter), the
// executable's own settings resource, and the thread list across modules.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/PeImage.h"
#include "crash/util/TextParts.h"
#include "crash/analysis/Threads.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/SettingsSource.h"

namespace corvan::crash {
namespace {

std::vector<std::string> messages;
void CollectMessage(const std::string& text) { messages.push_back(text); }

class TestModule {
 public:
  TestModule() : module_(LoadLibraryA("settings_test_module.dll")) {}
  ~TestModule() {
    if (module_) FreeLibrary(module_);
  }
  HMODULE get() const { return module_; }
  template <class Fn>
  Fn Function(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

 private:
  HMODULE module_;
};

bool SharedBlockExists() {
  HANDLE mapping = OpenFileMappingA(
      FILE_MAP_READ, FALSE, ("zelExceptSettingsBuf" + HexText(GetCurrentProcessId())).c_str());
  if (mapping) CloseHandle(mapping);
  return mapping != nullptr;
}

class SettingsWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    messages.clear();
    SetSettingsMessageSink(CollectMessage);
  }
  void TearDown() override {
    SetSettingsMessageSink(nullptr);
    EXPECT_TRUE(messages.empty()) << messages[0];
  }
};

TEST_F(SettingsWinTest, OwnResourceAndTheSharedBlockLifetime) {
  EXPECT_FALSE(SharedBlockExists());
  {
    auto settings = CreateSettings(GetModuleHandleA(nullptr));
    ASSERT_TRUE(settings->Valid());
    EXPECT_TRUE(SharedBlockExists());
    EXPECT_EQ(settings->GetInt("AutoDelay"), 11);
    EXPECT_EQ(settings->GetStr("MailAddr"), "exe@example.org");
    EXPECT_EQ(settings->GetStr("TitleBar"), "crash_settings_win_test.exe ?");
    EXPECT_EQ(settings->GetInt("FreezeTimeout"), 60);  // from the defaults
  }
  EXPECT_FALSE(SharedBlockExists());
  auto none = CreateSettings(GetModuleHandleA("kernel32.dll"));
  EXPECT_FALSE(none->Valid());
  EXPECT_FALSE(none->SetInt("AutoDelay", 1));
  EXPECT_FALSE(SharedBlockExists());
}

TEST_F(SettingsWinTest, TwoModulesShareOneRecordList) {
  TestModule dll;
  ASSERT_TRUE(dll.get());
  const auto getInt = dll.Function<int (*)(const char*)>("TestModuleGetInt");
  const auto getStr = dll.Function<const char* (*)(const char*)>("TestModuleGetStr");
  ASSERT_TRUE(getInt && getStr);
  EXPECT_EQ(getInt("AutoDelay"), 22);
  EXPECT_STREQ(getStr("MailSubj"), "settings_test_module.dll 1.2.3.4");

  // Our copy of the code holds the DLL's record; the DLL's copy sees what
  // we write into it, because both use the same record.
  auto ofDll = CreateSettings(dll.get());
  ASSERT_TRUE(ofDll->Valid());
  EXPECT_EQ(ofDll->GetStr("MailAddr"), "dll@example.org");
  EXPECT_TRUE(ofDll->SetInt("AutoDelay", 33));
  EXPECT_EQ(getInt("AutoDelay"), 33);
  ofDll->ReloadSettings();
  EXPECT_EQ(getInt("AutoDelay"), 22);
}

TEST_F(SettingsWinTest, MainSettingsAnswerForModulesWithoutSettings) {
  TestModule dll;
  const auto foreignGetInt = dll.Function<int (*)(const char*)>("TestModuleForeignGetInt");
  ASSERT_TRUE(foreignGetInt);
  EXPECT_EQ(foreignGetInt("AutoDelay"), 60);  // no main settings yet: the defaults
  auto main = CreateSettings(GetModuleHandleA(nullptr));
  ProcessSettingsRecords().SetMainSettings(main.get());
  EXPECT_EQ(foreignGetInt("AutoDelay"), 11);  // the DLL's code reaches our object
  ProcessSettingsRecords().SetMainSettings(nullptr);
  EXPECT_EQ(foreignGetInt("AutoDelay"), 60);
}

TEST_F(SettingsWinTest, SettingsForModulesAndAddresses) {
  TestModule dll;
  auto forDll = SettingsForModule(dll.get());
  EXPECT_EQ(forDll->Module(), dll.get());
  auto atDll =
      SettingsForAddress(reinterpret_cast<void*>(GetProcAddress(dll.get(), "TestModuleGetInt")));
  EXPECT_EQ(atDll->Module(), dll.get());
  // A module that defers to others gets the first usable settings found.
  ASSERT_TRUE(forDll->SetBool("NoSettings", true));
  EXPECT_EQ(SettingsForModule(dll.get())->Module(), GetModuleHandleA(nullptr));
  EXPECT_EQ(
      SettingsForAddress(reinterpret_cast<void*>(GetProcAddress(dll.get(), "TestModuleGetInt")))
          ->Module(),
      GetModuleHandleA(nullptr));
  // Heap memory belongs to no module: the search decides.
  auto heap = std::make_unique<int>(1);
  EXPECT_EQ(SettingsForAddress(heap.get())->Module(), GetModuleHandleA(nullptr));
  ASSERT_TRUE(forDll->SetBool("NoSettings", false));
}

TEST_F(SettingsWinTest, ThreadNamesRecordedInOneModuleAreSeenInTheOther) {
  TestModule dll;
  const auto setName = dll.Function<void (*)(const char*)>("TestModuleSetThreadName");
  ASSERT_TRUE(setName);
  setName("named by the DLL");
  EXPECT_EQ(ThreadInfoText(GetCurrentThreadId(), false),
            "named by the DLL (" + HexText(GetCurrentThreadId()) + ")");
  SetThreadName(GetCurrentThreadId(), "");
}

TEST_F(SettingsWinTest, LoaderLockIsHeldWhileAModuleAttaches) {
  EXPECT_FALSE(IsLoaderLockHeld(0));
  TestModule dll;
  const auto atAttach = dll.Function<int (*)()>("TestModuleLoaderLockAtAttach");
  ASSERT_TRUE(atAttach);
  EXPECT_TRUE(atAttach());
}

// corvan.exe carries the resource built from its source file.
TEST_F(SettingsWinTest, CorvanCarriesItsSettingsSource) {
  const std::string exe = std::string("Z:") + CORVAN_EXE_PATH;
  HMODULE image = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(image) << exe;
  const HRSRC info = FindResourceA(image, "TZELEXCEPT", MAKEINTRESOURCEA(10));
  ASSERT_TRUE(info);
  const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(image, info)));
  const SettingsStreamContent content = ParseSettingsStream(data, SizeofResource(image, info));
  FreeLibrary(image);
  EXPECT_EQ(content.end, SettingsStreamContent::End::Complete);

  std::ifstream in(std::string("Z:") + CORVAN_SETTINGS_SOURCE, std::ios::binary);
  ASSERT_TRUE(in);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto source = ParseSettingsSource(text);
  EXPECT_EQ(content.settings, source.settings);
  // A few values of the table's "stored" column.
  auto value = [&](const char* name) -> const Setting* {
    for (const Setting& s : content.settings) {
      if (s.name == name) return &s;
    }
    return nullptr;
  };
  ASSERT_TRUE(value("Enabled") && value("FreezeTimeout") && value("F1ShowCfg") &&
              value("PrepAttMsg"));
  EXPECT_TRUE(value("Enabled")->boolValue);
  EXPECT_EQ(value("FreezeTimeout")->intValue, 60000);
  EXPECT_EQ(value("F1ShowCfg")->intValue, 3);
  EXPECT_EQ(value("PrepAttMsg")->strValue, "Preparing attachments...");
  EXPECT_FALSE(value("AutoDelay"));
}

}  // namespace
}  // namespace corvan::crash
