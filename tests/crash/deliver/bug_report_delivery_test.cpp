// The channel order of a send with its fall-backs, the texts the mail
// client and the mailto handler get, and the mailto command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash/core/MemorySettings.h"
#include "crash/core/SettingsStream.h"
#include "crash/deliver/BugReportDelivery.h"
#include "crash/deliver/MailJobSettings.h"

namespace corvan::crash {
namespace {

// Records every channel tried; each answers as configured.
class ScriptedChannels final : public DeliveryChannels {
 public:
  bool firstAnswer = false;
  SendResult mapiAnswer = SendResult::Failed;
  bool mailtoAnswer = false;
  std::vector<std::string> tried;
  std::string mailtoBody;

  bool SendFirst(const MailJob&) override {
    tried.push_back("first");
    return firstAnswer;
  }
  SendResult SendMapi(const std::string&, const std::string&, const std::string&) override {
    tried.push_back("mapi");
    return mapiAnswer;
  }
  bool SendMailto(const std::string&, const std::string&, const std::string& body) override {
    tried.push_back("mailto");
    mailtoBody = body;
    return mailtoAnswer;
  }
  void ShowFailure() override { tried.push_back("failure box"); }
};

using Tried = std::vector<std::string>;

ChannelPlan DefaultPlan() {
  ChannelPlan plan;
  plan.mapi = plan.mailto = true;
  plan.texts.recipients = "desk@x.test";
  plan.reportText = "the report";
  return plan;
}

TEST(ChannelOrder, FirstChannelSuccessEndsTheSend) {
  ChannelPlan plan = DefaultPlan();
  plan.first = MailJob{};
  ScriptedChannels channels;
  channels.firstAnswer = true;
  const ChannelOutcome outcome = RunChannels(plan, channels);
  EXPECT_EQ(outcome.result, SendResult::Sent);
  EXPECT_TRUE(outcome.firstSent);
  EXPECT_EQ(channels.tried, Tried{"first"});
}

TEST(ChannelOrder, FailuresFallThroughToTheBox) {
  ChannelPlan plan = DefaultPlan();
  plan.first = MailJob{};
  ScriptedChannels channels;
  const ChannelOutcome outcome = RunChannels(plan, channels);
  EXPECT_EQ(outcome.result, SendResult::Failed);
  EXPECT_EQ(channels.tried, (Tried{"first", "mapi", "mailto", "failure box"}));
}

TEST(ChannelOrder, MailtoCarriesTheReportTextAndKeepsTheFile) {
  ChannelPlan plan = DefaultPlan();
  ScriptedChannels channels;
  channels.mailtoAnswer = true;
  const ChannelOutcome outcome = RunChannels(plan, channels);
  EXPECT_EQ(outcome.result, SendResult::Sent);
  EXPECT_TRUE(outcome.viaMailto);
  EXPECT_FALSE(outcome.Delivered());  // the report stays queued
  EXPECT_EQ(channels.mailtoBody, "the report");
  EXPECT_EQ(channels.tried, (Tried{"mapi", "mailto"}));
}

TEST(ChannelOrder, CancelInTheMailClientStopsWithoutError) {
  ScriptedChannels channels;
  channels.mapiAnswer = SendResult::Cancelled;
  EXPECT_EQ(RunChannels(DefaultPlan(), channels).result, SendResult::Cancelled);
  EXPECT_EQ(channels.tried, Tried{"mapi"});
}

TEST(ChannelOrder, HiddenSendNeverShowsMailtoOrTheBox) {
  ChannelPlan plan = DefaultPlan();
  plan.hidden = true;
  ScriptedChannels channels;
  EXPECT_EQ(RunChannels(plan, channels).result, SendResult::Failed);
  EXPECT_EQ(channels.tried, Tried{"mapi"});
}

TEST(ChannelOrder, HiddenSendWithoutRecipientsSkipsTheMailClient) {
  ChannelPlan plan = DefaultPlan();
  plan.hidden = true;
  plan.texts.recipients = " ; ";
  ScriptedChannels channels;
  EXPECT_EQ(RunChannels(plan, channels).result, SendResult::Failed);
  EXPECT_TRUE(channels.tried.empty());
  // Shown, the client asks the user for them.
  plan.hidden = false;
  channels.mapiAnswer = SendResult::Sent;
  EXPECT_EQ(RunChannels(plan, channels).result, SendResult::Sent);
  EXPECT_EQ(channels.tried, Tried{"mapi"});
}

// Checked before a background send starts, whose start alone counts as sent.
TEST(ChannelOrder, HiddenSendWithNobodyToSendToIsUnreachable) {
  ChannelPlan plan = DefaultPlan();
  plan.hidden = true;
  plan.texts.recipients = " ; ";
  EXPECT_FALSE(Reachable(plan));
  plan.first = MailJob{};  // an upload needs no recipients
  EXPECT_TRUE(Reachable(plan));
  plan.first.reset();
  plan.hidden = false;  // the mail client asks the user
  EXPECT_TRUE(Reachable(plan));
  plan.hidden = true;
  plan.texts.recipients = "desk@x.test";
  EXPECT_TRUE(Reachable(plan));
}

TEST(ChannelOrder, NothingEnabledShowsTheBoxOnly) {
  ChannelPlan plan;
  ScriptedChannels channels;
  EXPECT_EQ(RunChannels(plan, channels).result, SendResult::Failed);
  EXPECT_EQ(channels.tried, Tried{"failure box"});
}

TEST(SendSettings, ScreenshotDepthSelectsThePngMode) {
  EXPECT_EQ(PngModeForDepth(4), 1);
  EXPECT_EQ(PngModeForDepth(51200), 2);
  EXPECT_EQ(PngModeForDepth(102400), 3);
  EXPECT_EQ(PngModeForDepth(204800), 4);
  EXPECT_EQ(PngModeForDepth(307200), 5);
  EXPECT_EQ(PngModeForDepth(8), 0);
  EXPECT_EQ(PngModeForDepth(-1), 0);
}

TEST(SendSettings, MailClientDialogsUnlessHiddenWithRecipients) {
  EXPECT_EQ(MapiSendFlags(true, true), 0u);
  EXPECT_EQ(MapiSendFlags(true, false), 9u);
  EXPECT_EQ(MapiSendFlags(false, true), 9u);
}

TEST(SendSettings, TextsForEveryChannelFromTheSettings) {
  test::MemorySettingsRecords records;
  test::FakeEnvironment env;
  records.resources[env.exe] =
      WriteSettingsStream({Setting::Str("MailAddr", "Desk <desk@x.test>;b@y.test"),
                           Setting::Str("MailSubj", "crash: %exceptMsg%")});
  auto settings = MakeRef<ReporterSettings>(env.exe, records, env, true);
  const MailJob texts =
      ComposeMailTexts(*settings, "x\r\nexception message : Boom.\r\nexception class : E\r\n");
  EXPECT_EQ(texts.sender, "zelExcept <desk@x.test>");
  EXPECT_EQ(texts.subject, "crash: Boom.");
  EXPECT_EQ(texts.recipients, "Desk <desk@x.test>;b@y.test");
  // Without SMTP or upload there is no first channel, the texts remain.
  EXPECT_FALSE(ComposeMailJob(*settings, "x"));
}

TEST(Mailto, EscapesLineEndsBlanksAndDelimiters) {
  EXPECT_EQ(EscapeMailtoText("a b\r\n\"#%&+<>?z/=:"), "a%20b%0D%0A%22%23%25%26%2B%3C%3E%3Fz/=:");
}

// Nothing raw that a mail program or the command line would read as more
// than text: TAB, the other control bytes, DEL and bytes from 0x80.
TEST(Mailto, SecurityControlAndHighBytesAreEscaped) {
  EXPECT_EQ(EscapeMailtoText(std::string("a\tb\0c\x01\x1F\x7F", 8)), "a%09b%00c%01%1F%7F");
  EXPECT_EQ(EscapeMailtoText("\xE4\x80\xFF"), "%E4%80%FF");
  for (int byte = 0; byte < 256; ++byte) {
    const std::string escaped = EscapeMailtoText(std::string(1, static_cast<char>(byte)));
    for (const char c : escaped) {
      EXPECT_TRUE(c > 0x20 && c < 0x7F) << byte;
    }
  }
}

TEST(Mailto, LinkReplacesThePlaceholderOrIsAppended) {
  EXPECT_EQ(MailtoCommandLine("\"mail.exe\" -c \"%1\"", "a@x ; b@y", "s t", "b"),
            "\"mail.exe\" -c \"mailto:a@x,b@y?subject=s%20t&body=b\"");
  EXPECT_EQ(MailtoCommandLine("mail.exe", "a@x", "", ""), "mail.exe mailto:a@x?subject=&body=");
  EXPECT_EQ(MailtoCommandLine("mail.exe ", "a@x", "", ""), "mail.exe mailto:a@x?subject=&body=");
}

TEST(Mailto, LongCommandLineIsCutWithoutSplittingAnEscape) {
  const std::string command = "m %1";
  const std::string head = "m mailto:?subject=&body=";
  // The body's blank becomes "%20"; shift it across the limit.
  const std::size_t expected[] = {32766, 32765, 32764, 32766};
  for (std::size_t shift = 0; shift < 4; ++shift) {
    const std::string body = std::string(32766 - head.size() - shift, 'x') + " " + "yyyy";
    const std::string line = MailtoCommandLine(command, "", "", body);
    EXPECT_EQ(line.size(), expected[shift]) << shift;
    EXPECT_EQ(line.compare(0, head.size(), head), 0);
    const std::size_t escape = line.rfind('%');
    if (escape != std::string::npos) {
      EXPECT_EQ(line.substr(escape, 3), "%20");
    }
  }
}

}  // namespace
}  // namespace corvan::crash
