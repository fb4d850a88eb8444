#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "crash/core/SettingsPassword.h"
#include "crash/core/MemorySettings.h"

namespace corvan::crash::test {
namespace {

class ReporterSettingsTest : public ::testing::Test {
 protected:
  ReporterSettingsTest() {
    env.paths[env.exe] = "C:\\Program Files\\CorVAN\\corvan.exe";
    env.paths[dll] = "C:\\Program Files\\CorVAN\\plugin.dll";
  }
  Ref<ReporterSettings> Make(ModuleId module, bool load = true) {
    return MakeRef<ReporterSettings>(module, records, env, load);
  }
  void Store(ModuleId module, const std::vector<Setting>& settings) {
    records.resources[module] = WriteSettingsStream(settings);
  }

  MemorySettingsRecords records;
  FakeEnvironment env;
  ModuleId dll = Module(0x10000000);
};

TEST_F(ReporterSettingsTest, ModuleWithoutResourceReadsDefaultsAndCannotBeSet) {
  auto s = Make(env.exe);
  EXPECT_FALSE(s->Valid());
  EXPECT_FALSE(s->GetBool("Enabled"));
  EXPECT_TRUE(s->GetBool("NoSettings"));
  EXPECT_EQ(s->GetInt("FreezeTimeout"), 60);
  EXPECT_EQ(s->GetStr("BugRepFile"), "bugreport.txt");
  EXPECT_EQ(s->GetStr("NoSuchKey"), "");
  EXPECT_EQ(s->GetInt("NoSuchKey"), 0);
  EXPECT_FALSE(s->SetBool("Enabled", true));
  EXPECT_EQ(records.bufferReferences, 0);
}

TEST_F(ReporterSettingsTest, StoredValuesWinOverDefaults) {
  Store(env.exe, {Setting::Bool("Enabled", true), Setting::Int("FreezeTimeout", 60000),
                  Setting::Str("ContinueBtnTxt", "continue application")});
  auto s = Make(env.exe);
  EXPECT_TRUE(s->Valid());
  EXPECT_TRUE(s->GetBool("Enabled"));
  EXPECT_EQ(s->GetInt("FreezeTimeout"), 60000);
  EXPECT_EQ(s->GetStr("ContinueBtnTxt"), "continue application");
  EXPECT_EQ(s->GetStr("RestartBtnTxt"), "restart bug report");
}

TEST_F(ReporterSettingsTest, BadHeaderGivesValidSettingsWithoutProperties) {
  auto bytes = WriteSettingsStream({Setting::Bool("Enabled", true)});
  bytes[3] = '1';
  records.resources[env.exe] = bytes;
  auto s = Make(env.exe);
  EXPECT_TRUE(s->Valid());
  EXPECT_FALSE(s->GetBool("Enabled"));
  EXPECT_TRUE(records.invalidTags.empty());
  EXPECT_TRUE(s->SetBool("Enabled", true));
  EXPECT_TRUE(s->GetBool("Enabled"));
}

TEST_F(ReporterSettingsTest, InvalidTagIsToldOnceAndEarlierValuesStay) {
  auto bytes = WriteSettingsStream({Setting::Int("AutoDelay", 5)});
  bytes.back() = 1;  // replace the terminator by a record with tag 7
  for (std::uint8_t b : {std::uint8_t('X'), std::uint8_t(7), std::uint8_t(0)}) bytes.push_back(b);
  records.resources[env.exe] = bytes;
  auto s = Make(env.exe);
  auto again = Make(env.exe);
  EXPECT_EQ(s->GetInt("AutoDelay"), 5);
  EXPECT_EQ(records.invalidTags, std::vector<std::uint8_t>{7});
}

TEST_F(ReporterSettingsTest, SettersAddKeysButNeverChangeTheirType) {
  Store(env.exe, {Setting::Int("AutoDelay", 5)});
  auto s = Make(env.exe);
  EXPECT_TRUE(s->SetInt("AutoDelay", 9));
  EXPECT_FALSE(s->SetStr("AutoDelay", "9"));
  EXPECT_EQ(s->GetInt("AutoDelay"), 9);
  EXPECT_TRUE(s->SetStr("MailAddr", "help@example.org"));
  EXPECT_EQ(s->GetStr("MailAddr"), "help@example.org");
  EXPECT_TRUE(s->SetStr("MailAddr", ""));
  EXPECT_EQ(s->GetStr("MailAddr"), "");
  // A property added with another type than the table's shadows the default.
  EXPECT_TRUE(s->SetStr("CpuRegs", "x"));
  EXPECT_FALSE(s->GetBool("CpuRegs"));
  // Growth past the initial 131 entries keeps every property.
  for (int i = 0; i < 300; ++i) EXPECT_TRUE(s->SetInt("K" + std::to_string(i), i));
  for (int i = 0; i < 300; ++i) EXPECT_EQ(s->GetInt("K" + std::to_string(i)), i);
}

TEST_F(ReporterSettingsTest, ModulesShareOneRecordUntilTheLastLetsGo) {
  Store(env.exe, {Setting::Int("AutoDelay", 5)});
  {
    auto a = Make(env.exe);
    auto b = Make(env.exe);
    EXPECT_TRUE(a->SetInt("AutoDelay", 7));
    EXPECT_EQ(b->GetInt("AutoDelay"), 7);
    EXPECT_EQ(records.RecordCount(), 1);
    b->ReloadSettings();
    EXPECT_EQ(a->GetInt("AutoDelay"), 5);
  }
  EXPECT_EQ(records.RecordCount(), 0);
  EXPECT_EQ(records.bufferReferences, 0);
}

TEST_F(ReporterSettingsTest, OtherModulesFallBackToTheMainSettings) {
  Store(env.exe, {Setting::Int("AutoDelay", 5), Setting::Str("MailAddr", "main@x")});
  Store(dll, {Setting::Str("MailAddr", "dll@x")});
  auto main = Make(env.exe);
  records.SetMainSettings(main.get());
  auto plugin = Make(dll);
  auto bare = Make(Module(0x20000000));
  EXPECT_EQ(plugin->GetStr("MailAddr"), "dll@x");
  EXPECT_EQ(plugin->GetInt("AutoDelay"), 5);
  EXPECT_EQ(bare->GetInt("AutoDelay"), 5);
  EXPECT_FALSE(bare->Valid());
  main = nullptr;  // the main settings unregister themselves when they die
  EXPECT_EQ(records.MainSettings(), nullptr);
  EXPECT_EQ(plugin->GetInt("AutoDelay"), 60);
}

TEST_F(ReporterSettingsTest, WithoutSharedBufferNoSettingsAreValid) {
  Store(env.exe, {Setting::Bool("Enabled", true)});
  records.bufferAvailable = false;
  auto s = Make(env.exe);
  EXPECT_FALSE(s->Valid());
  EXPECT_FALSE(s->GetBool("Enabled"));
}

TEST_F(ReporterSettingsTest, ExpandsVariablesInAnyCase) {
  Store(env.exe, {Setting::Str("MailSubj", "%APPNAME% on %Date% at %time%%LF%%datetime%"),
                  Setting::Str("MailBody", "%exceptMsg%: %bugReport% %unknown% 100%")});
  auto s = Make(env.exe);
  EXPECT_EQ(s->GetStr("MailSubj"),
            "corvan.exe on 2024-03-07 at 09:05:01, 7ms\r\n2024-03-07, 09:05:01, 7ms");
  EXPECT_EQ(s->GetStr("MailBody"), "%exceptMsg%: %bugReport% %unknown% 100%");
  const ReportTexts report{"", "the %date% report"};
  EXPECT_EQ(s->Expand(s->GetRawStr("MailBody"), &report),
            "Unknown: the %date% report %unknown% 100%");
  EXPECT_EQ(s->Expand("%modname% %modversion% %appversion%"), "corvan.exe ? ?");
  env.fileVersions["C:\\Program Files\\CorVAN\\corvan.exe"] = "1.2.3.4";
  EXPECT_EQ(s->Expand("%appversion%"), "1.2.3.4");
}

TEST_F(ReporterSettingsTest, VersionVariableComesFromTheModule) {
  Store(env.exe, {Setting::Int("VersionVar", 0x1234)});
  env.versionStrings[0x1234] = "2.0 beta";
  auto s = Make(env.exe);
  EXPECT_EQ(s->VersionString(), "2.0 beta");
  EXPECT_EQ(s->Expand("%appversion%/%modversion%"), "2.0 beta/2.0 beta");
}

TEST_F(ReporterSettingsTest, FoldersFallBackToTheExecutableFolder) {
  auto s = Make(env.exe);
  env.folders[kUserAppDataFolder] = "C:\\Users\\u\\AppData\\Roaming\\";
  EXPECT_EQ(s->Expand("%userappdata%|%commonappdata%"),
            "C:\\Users\\u\\AppData\\Roaming|C:\\Program Files\\CorVAN");
}

TEST_F(ReporterSettingsTest, AdditionalFieldsMirrorIntoTheSetting) {
  Store(env.exe, {Setting::Str("AddFields", "Customer=ACME|Ticket=12")});
  auto s = Make(env.exe);
  auto fields = s->AdditionalFields();
  EXPECT_EQ(fields->Count(), 2);
  EXPECT_EQ(s->GetStr("AddFields"), "Customer=ACME|Ticket=12");
  fields->SetValue("Ticket", "13");
  fields->SetValue("Note", "a|b");
  EXPECT_EQ(s->GetStr("AddFields"), "Customer=ACME|Ticket=13|Note=a|b");
  EXPECT_EQ(s->AdditionalFields().get(), fields.get());
  s = nullptr;
  fields->SetValue("After", "x");  // no owner any more: nothing to write to
  EXPECT_EQ(fields->Count(), 4);
}

TEST_F(ReporterSettingsTest, AdditionalAttachmentsMirrorIntoTheSetting) {
  Store(env.exe, {Setting::Str("AddAttachs", "C:\\a.log>a.log>logs.zip>a")});
  auto s = Make(env.exe);
  auto list = s->AdditionalAttachments();
  ASSERT_EQ(list->Count(), 1);
  list->AddFile("C:\\dir\\b.txt");
  EXPECT_EQ(s->GetStr("AddAttachs"), "C:\\a.log>a.log>logs.zip>a|C:\\dir\\b.txt>b.txt>>b");
}

TEST_F(ReporterSettingsTest, PluginsSwitchOnAndOff) {
  Store(env.exe, {Setting::Bool("Enabled", true)});
  auto s = Make(env.exe);
  EXPECT_TRUE(s->IsPluginEnabled("Processes"));
  s->EnablePlugin("processes", false);
  EXPECT_EQ(s->GetStr("Plugins"), "modules|hardware");
  s->EnablePlugin("network", true);
  EXPECT_EQ(s->GetStr("Plugins"), "modules|hardware|network");
  s->EnablePlugin("modules", false);
  s->EnablePlugin("hardware", false);
  s->EnablePlugin("network", false);
  EXPECT_EQ(s->GetStr("Plugins"), "");
  s->EnablePlugin("modules", true);
  EXPECT_EQ(s->GetStr("Plugins"), "modules");
}

TEST_F(ReporterSettingsTest, FindsAssistantsAndDropsTheScreenshotFormWithoutScreenshots) {
  Store(env.exe,
        {Setting::Str("Assistant1", "SendAssistant|Send Assistant|ContactForm|ScrShotForm"),
         Setting::Str("Assistant2", "SaveAssistant|Save Assistant|ContactForm"),
         Setting::Str("Assistant4", "Unreachable|after a gap")});
  auto s = Make(env.exe);
  auto send = s->FindAssistant("sendassistant");
  ASSERT_TRUE(send);
  EXPECT_EQ(send->title, "Send Assistant");
  EXPECT_EQ(send->forms, std::vector<std::string>{"ContactForm"});
  EXPECT_TRUE(s->SetInt("ScrShotDepth", 8));
  EXPECT_EQ(s->FindAssistant("SendAssistant")->forms.size(), 2u);
  EXPECT_TRUE(s->FindAssistant("SaveAssistant"));
  EXPECT_FALSE(s->FindAssistant("Unreachable"));
}

class FakeAssistant : public FormCacheView {
 public:
  std::vector<std::vector<Item>> forms;
  std::vector<bool> completed, continueEnabled, focused;
  int FormCount() const override { return static_cast<int>(forms.size()); }
  bool FormCompleted(int f) const override { return completed[f]; }
  std::vector<Item> Items(int f) const override { return forms[f]; }
  void SetItem(int f, const Item& item) override {
    for (auto& i : forms[f])
      if (i.name == item.name) i = item;
  }
  bool ContinueEnabled(int f) const override { return continueEnabled[f]; }
  void FocusContinue(int f) override { focused[f] = true; }
};

TEST_F(ReporterSettingsTest, FormCacheOffersValuesAgain) {
  auto s = Make(env.exe);
  FakeAssistant first;
  first.forms = {{{"Name", false, "Ann", false}, {"Copy", true, "", true}},
                 {{"Skipped", false, "x", false}}};
  first.completed = {true, false};
  s->StoreFormValues(first);

  FakeAssistant next;
  next.forms = {{{"Name", false, "", false}, {"Copy", true, "", false}},
                {{"Name", false, "", false}, {"Other", false, "", false}}};
  next.continueEnabled = {true, true};
  next.focused = {false, false};
  s->RestoreFormValues(next);
  EXPECT_EQ(next.forms[0][0].text, "Ann");
  EXPECT_TRUE(next.forms[0][1].checked);
  EXPECT_EQ(next.forms[1][0].text, "Ann");
  EXPECT_TRUE(next.focused[0]);
  EXPECT_FALSE(next.focused[1]);  // "Other" was not cached
}

// Readers copy values under the lock, so a setter freeing the old string
// on another thread never pulls it away under a reader (ASan checks).
TEST_F(ReporterSettingsTest, ConcurrentGetAndSetOfAString) {
  Store(env.exe, {Setting::Str("MailAddr", "sss")});
  auto s = Make(env.exe);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) s->SetStr("MailAddr", std::string(i % 50 + 1, 'a' + i % 26));
    stop = true;
  });
  while (!stop) {
    const std::string v = s->GetStr("MailAddr");
    if (v.empty() || v.find_first_not_of(v[0]) != std::string::npos) ADD_FAILURE() << v;
  }
  writer.join();
}

TEST_F(ReporterSettingsTest, StoredPasswordsAreDeciphered) {
  Store(env.exe,
        {Setting::Str("SmtpServer", "mail.example.org"), Setting::Str("SmtpAccount", "bob"),
         Setting::Str("SmtpPassword", EncipherPassword("s3cret", "bob", "mail.example.org")),
         Setting::Str("HttpPassword", "not hex")});
  auto s = Make(env.exe);
  EXPECT_EQ(s->GetStr("SmtpPassword"), "s3cret");
  EXPECT_EQ(s->GetStr("HttpPassword"), "not hex");
  EXPECT_NE(EncipherPassword("s3cret", "bob", "mail.example.org"),
            EncipherPassword("s3cret", "eve", "mail.example.org"));
}

}  // namespace
}  // namespace corvan::crash::test
