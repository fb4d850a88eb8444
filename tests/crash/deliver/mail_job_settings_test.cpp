// The mail job from the reporter's settings, and the attachment preparation
// with its zip groups.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "crash/core/MemorySettings.h"
#include "crash/core/SettingsStream.h"
#include "crash/deliver/AttachmentPreparation.h"
#include "crash/deliver/MailJobSettings.h"

namespace corvan::crash {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

constexpr char kReport[] =
    "date/time          : 2026-12-09\r\n"
    "exception message  : Access violation at address 0040102A.  \r\n"
    "exception class    : EAccessViolation\r\n";

class JobFromSettings : public ::testing::Test {
 protected:
  Ref<ReporterSettings> Settings(const std::vector<Setting>& settings) {
    records.resources[env.exe] = WriteSettingsStream(settings);
    return MakeRef<ReporterSettings>(env.exe, records, env, true);
  }

  test::MemorySettingsRecords records;
  test::FakeEnvironment env;
};

TEST_F(JobFromSettings, ExceptionMessageOfTheReport) {
  EXPECT_EQ(ReportExceptionMessage(kReport), "Access violation at address 0040102A.");
  EXPECT_EQ(ReportExceptionMessage("exception message : first line is not after a line end"), "");
  EXPECT_EQ(ReportExceptionMessage(""), "");
}

TEST_F(JobFromSettings, SmtpToTheExchangersWithTheFirstRecipientAsSender) {
  auto s = Settings({Setting::Bool("MailAsSmtpServer", true),
                     Setting::Str("MailAddr", "Desk <desk@x.test>; b@y.test"),
                     Setting::Str("MailSubj", "crash: %exceptMsg%"),
                     Setting::Str("SmtpServer", "ignored.test")});
  const auto job = ComposeMailJob(*s, kReport);
  ASSERT_TRUE(job);
  EXPECT_EQ(job->server, "");
  EXPECT_EQ(job->port, 25);
  EXPECT_EQ(job->sender, "zelExcept <desk@x.test>");
  EXPECT_EQ(job->subject, "crash: Access violation at address 0040102A.");
  EXPECT_EQ(job->body, "please find the bug report attached");
  EXPECT_EQ(job->texts.mxLookup, "Searching for mail server...");
  EXPECT_TRUE(job->uploadUrl.empty());
}

TEST_F(JobFromSettings, SmtpThroughTheServerWithItsAccount) {
  auto s = Settings({Setting::Bool("MailAsSmtpClient", true), Setting::Str("MailAddr", "a@x"),
                     Setting::Str("MailFrom", "me@here"), Setting::Str("SmtpServer", "smtp.x"),
                     Setting::Int("SmtpPort", 587), Setting::Str("SmtpAccount", "user"),
                     Setting::Str("SmtpPassword", "secret")});
  const auto job = ComposeMailJob(*s, kReport);
  ASSERT_TRUE(job);
  EXPECT_EQ(job->server, "smtp.x");
  EXPECT_EQ(job->port, 587);
  EXPECT_EQ(job->account, "user");
  EXPECT_EQ(job->password, "secret");
  EXPECT_EQ(job->sender, "me@here");
  EXPECT_EQ(job->tls, MailTls::kAuto);
  EXPECT_FALSE(job->clearTextAuth);
}

// The SMTP job's TLS mode and the report header's delivery note come from
// the same settings: a report sent readable, or to an unauthenticated
// exchanger, says so; an unknown mode sends nothing by SMTP.
TEST_F(JobFromSettings, SmtpTlsModesAndTheReportsDeliveryNote) {
  const struct {
    const char* channel;
    const char* value;
    std::optional<MailTls> tls;  // nothing: no job
    const char* note;
  } cases[] = {
      {"MailAsSmtpClient", "STARTTLS", MailTls::kStartTls, ""},
      {"MailAsSmtpClient", " auto ", MailTls::kAuto, ""},
      {"MailAsSmtpClient", "implicit", MailTls::kImplicit, ""},
      {"MailAsSmtpClient", "off", MailTls::kOff, "SMTP unencrypted"},
      {"MailAsSmtpClient", "anything", std::nullopt,
       "SmtpTls \"anything\" unknown, not sent by SMTP"},
      {"MailAsSmtpServer", "auto", MailTls::kAuto,
       "SMTP to the mail exchanger, its name not authenticated"},
      {"MailAsSmtpServer", "Off", MailTls::kOff, "SMTP to the mail exchanger, unencrypted"},
      {"MailAsSmtpServer", "", std::nullopt, "SmtpTls \"\" unknown, not sent by SMTP"},
      {"MailViaMapi", "off", MailTls::kOff, ""},
  };
  for (const auto& c : cases) {
    auto s = Settings({Setting::Bool(c.channel, true), Setting::Str("MailAddr", "a@x"),
                       Setting::Str("SmtpServer", "smtp.x"), Setting::Str("SmtpTls", c.value),
                       Setting::Bool("SmtpClearAuth", true)});
    EXPECT_EQ(DeliveryNote(*s), c.note) << c.channel << " " << c.value;
    if (std::string_view(c.channel) == "MailViaMapi") continue;
    const auto job = ComposeMailJob(*s, kReport);
    ASSERT_EQ(job.has_value(), c.tls.has_value()) << c.channel << " " << c.value;
    if (!job) continue;
    EXPECT_EQ(job->tls, *c.tls) << c.value;
    EXPECT_TRUE(job->clearTextAuth);
  }
}

TEST_F(JobFromSettings, SmtpWithoutServerIsNoJob) {
  EXPECT_FALSE(ComposeMailJob(
      *Settings({Setting::Bool("MailAsSmtpClient", true), Setting::Str("MailAddr", "a@x")}),
      kReport));
}

TEST_F(JobFromSettings, SmtpWithoutRecipientsIsNoJob) {
  EXPECT_FALSE(ComposeMailJob(
      *Settings({Setting::Bool("MailAsSmtpServer", true), Setting::Str("MailAddr", " ; ")}),
      kReport));
}

TEST_F(JobFromSettings, UploadInClearTextOnlyWithItsSettings) {
  auto s = Settings({Setting::Bool("UploadViaHttp", true), Setting::Str("HttpServer", "x/up"),
                     Setting::Bool("HttpClearText", true), Setting::Bool("HttpClearAuth", true)});
  const auto job = ComposeMailJob(*s, kReport);
  ASSERT_TRUE(job);
  EXPECT_TRUE(job->uploadClearText);
  EXPECT_TRUE(job->uploadClearAuth);
}

TEST_F(JobFromSettings, UploadCarriesTheMailTextsAsFields) {
  auto s = Settings({Setting::Bool("UploadViaHttp", true), Setting::Str("HttpServer", "x/up"),
                     Setting::Str("MailAddr", "a@x"), Setting::Str("MailBody", "%bugReport%"),
                     Setting::Str("AddFields", "Version=1.2|msg=%exceptMsg%")});
  const auto job = ComposeMailJob(*s, kReport);
  ASSERT_TRUE(job);
  EXPECT_EQ(job->uploadUrl, "x/up");
  EXPECT_EQ(job->port, 80);
  EXPECT_TRUE(job->recipients.empty());
  EXPECT_TRUE(job->body.empty());
  EXPECT_FALSE(job->crashServer);
  EXPECT_FALSE(job->uploadClearText);
  EXPECT_FALSE(job->uploadClearAuth);
  ASSERT_EQ(job->uploadFields.size(), 6u);
  EXPECT_EQ(job->uploadFields[0].first, "Version");
  // Variables in the added fields are expanded.
  EXPECT_EQ(job->uploadFields[1],
            (std::pair<std::string, std::string>{"msg", "Access violation at address 0040102A."}));
  EXPECT_EQ(job->uploadFields[2],
            (std::pair<std::string, std::string>{"MailFrom", "zelExcept <a@x>"}));
  EXPECT_EQ(job->uploadFields[3],
            (std::pair<std::string, std::string>{"MailSubject", "bug report"}));
  EXPECT_EQ(job->uploadFields[4], (std::pair<std::string, std::string>{"MailBody", kReport}));
  EXPECT_EQ(job->uploadFields[5], (std::pair<std::string, std::string>{"MailAddr", "a@x"}));
}

TEST_F(JobFromSettings, UploadInTheCrashServersConvention) {
  EXPECT_TRUE(ComposeMailJob(*Settings({Setting::Bool("UploadViaHttp", true),
                                        Setting::Str("HttpServer", "x/up"),
                                        Setting::Str("UploadFormat", "CrashServer")}),
                             kReport)
                  ->crashServer);
}

TEST_F(JobFromSettings, NoChannelNoJob) {
  EXPECT_FALSE(ComposeMailJob(*Settings({Setting::Str("MailAddr", "a@x")}), kReport));
}

TEST_F(JobFromSettings, UploadWithoutServerIsNoJob) {
  EXPECT_FALSE(ComposeMailJob(*Settings({Setting::Bool("UploadViaHttp", true)}), kReport));
}

// A folder in memory; archives fail for names in `unwritable`.
class MemoryFolder final : public AttachmentFolder {
 public:
  std::set<std::string> existing;
  std::set<std::string> unwritable;
  std::map<std::string, std::vector<std::string>> zipped;  // archive -> names

  std::string Absolute(const std::string& path) override {
    return path.find(':') == std::string::npos ? "C:\\app\\" + path : path;
  }
  bool Exists(const std::string& path) override { return existing.count(path) != 0; }
  std::string ArchivePath(const std::string& zipName) override { return "C:\\tmp\\" + zipName; }
  bool Zip(const std::string& archive, const std::vector<std::string>& paths,
           const std::vector<std::string>& names) override {
    if (unwritable.count(archive)) return false;
    std::vector<std::string> stored;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (existing.count(paths[i])) stored.push_back(names[i]);
    }
    zipped[archive] = stored;
    return !stored.empty();
  }
};

TEST(Attachments, ZipGroupsAndMissingFiles) {
  MemoryFolder folder;
  folder.existing = {"C:\\app\\bugreport.txt", "C:\\tmp\\screenShot.png", "C:\\app\\a.log",
                     "C:\\app\\b.log"};
  const std::vector<AttachmentEntry> entries = {
      {"C:\\app\\missing.txt", "missing.txt", "", "Missing"},
      {"bugreport.txt", "bugreport.txt", "", "BugReport"},
      {"a.log", "a.log", "logs.zip", "A"},
      {"C:\\tmp\\screenShot.png", "screenshot.png", "", "ScreenShot"},
      {"gone.log", "gone.log", "LOGS.ZIP", "Gone"},
      {"b.log", "b.log", "logs.zip", "B"}};
  const std::vector<PreparedFile> prepared = PrepareAttachments(entries, folder);
  EXPECT_EQ(prepared, (std::vector<PreparedFile>{
                          {"C:\\app\\bugreport.txt", "bugreport.txt", "BugReport"},
                          {"C:\\tmp\\logs.zip", "logs.zip", "logs.zip"},
                          {"C:\\tmp\\screenShot.png", "screenshot.png", "ScreenShot"}}));
  EXPECT_EQ(folder.zipped["C:\\tmp\\logs.zip"], (std::vector<std::string>{"a.log", "b.log"}));
}

TEST(Attachments, UnwritableArchiveSendsItsFilesUnpacked) {
  MemoryFolder folder;
  folder.existing = {"C:\\app\\a.log", "C:\\app\\b.log"};
  folder.unwritable = {"C:\\tmp\\logs.zip"};
  const std::vector<PreparedFile> prepared =
      PrepareAttachments({{"a.log", "a.log", "logs.zip", "A"},
                          {"gone.log", "gone.log", "logs.zip", "Gone"},
                          {"b.log", "b.log", "logs.zip", "B"}},
                         folder);
  EXPECT_EQ(prepared, (std::vector<PreparedFile>{{"C:\\app\\a.log", "a.log", "A"},
                                                 {"C:\\app\\b.log", "b.log", "B"}}));
}

}  // namespace
}  // namespace corvan::crash
