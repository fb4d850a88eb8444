#include <gtest/gtest.h>

#include <thread>

#include "crash/core/AttachmentList.h"
#include "crash/core/ReportFields.h"
#include "crash/core/SettingsLists.h"

namespace corvan::crash {
namespace {

FieldPairs Pairs(const ReportFields& f) { return f.Items(); }

TEST(ReportFields, IgnoresDataUntilAccepted) {
  ReportFields f;
  f.SetValue("a", "1");
  f.InsertAt(0, "b", "2");
  EXPECT_EQ(f.Count(), 0);
  f.AcceptData(true);
  f.SetValue("a", "1");
  EXPECT_EQ(f.Count(), 1);
}

TEST(ReportFields, TrimsValuesAndDeletesEmptyOnes) {
  ReportFields f(true);
  f.SetValue("os", " \t Windows 7\r\n ");
  EXPECT_EQ(Pairs(f), (FieldPairs{{"os", "Windows 7"}}));
  f.SetValue("OS", "  ");
  EXPECT_EQ(f.Count(), 0);
  f.SetValue("absent", "");
  EXPECT_EQ(f.Count(), 0);
}

TEST(ReportFields, UpdatesByNameInAnyCase) {
  ReportFields f(true);
  f.SetValue("Version", "1");
  f.SetValue("version", "2");
  EXPECT_EQ(Pairs(f), (FieldPairs{{"version", "2"}}));
  EXPECT_EQ(f.IndexOf("VERSION"), 0);
  EXPECT_EQ(f.IndexOf("x"), -1);
  std::string value = "unchanged";
  EXPECT_FALSE(f.ValueOf("x", value));
  EXPECT_EQ(value, "unchanged");
  EXPECT_TRUE(f.ValueOf("Version", value));
  EXPECT_EQ(value, "2");
  EXPECT_EQ(f.NameAt(5), "");
  f.Rename(0, "ver");
  EXPECT_EQ(f.NameAt(0), "ver");
}

TEST(ReportFields, InsertMovesAnExistingItemInsteadOfDuplicating) {
  ReportFields f(true);
  f.SetValue("a", "1");
  f.SetValue("b", "2");
  f.SetValue("c", "3");
  f.InsertAt(2, "a", "9");
  EXPECT_EQ(Pairs(f), (FieldPairs{{"b", "2"}, {"a", "9"}, {"c", "3"}}));
  f.InsertAt(99, "n", "4");
  f.InsertAt(-5, "m", "5");
  EXPECT_EQ(Pairs(f), (FieldPairs{{"m", "5"}, {"b", "2"}, {"a", "9"}, {"c", "3"}, {"n", "4"}}));
  f.InsertAt(0, "x", " ");
  EXPECT_EQ(f.Count(), 5);
}

TEST(ReportFields, InsertIndexKeepsAdditionalFieldsInOrder) {
  ReportFields f(true);
  f.SetValue("head1", "x");
  f.SetValue("head2", "x");
  f.SetValue("tail", "x");
  f.SetInsertIndex(2);
  f.SetValue("extra1", "x");
  f.SetValue("extra2", "x");
  EXPECT_EQ(f.InsertIndex(), 4);
  f.InsertAt(0, "first", "x");
  EXPECT_EQ(f.InsertIndex(), 5);
  f.Remove("head1");
  f.Remove(0);  // "first"
  EXPECT_EQ(f.InsertIndex(), 3);
  f.Remove(f.IndexOf("tail"));  // after the index: no move
  EXPECT_EQ(f.InsertIndex(), 3);
  f.SetValue("extra3", "x");
  std::vector<std::string> names;
  for (const auto& p : f.Items()) names.push_back(p.first);
  EXPECT_EQ(names, (std::vector<std::string>{"head2", "extra1", "extra2", "extra3"}));
}

TEST(ReportFields, CopyIsIndependentAndOwnersHearOfRealChangesOnly) {
  struct Owner : ReportFieldsOwner {
    int modified = 0, begins = 0, ends = 0;
    void FieldsModified(const ReportFields&) override { ++modified; }
    void BeginFieldsUpdate() override { ++begins; }
    void EndFieldsUpdate() override { ++ends; }
  } owner;
  Ref<ReportFields> f(new ReportFields(true, &owner));
  f->SetValue("a", "1");
  f->SetValue("a", "1");
  f->InsertAt(0, "a", "1");
  EXPECT_EQ(owner.modified, 1);
  EXPECT_EQ(owner.begins, owner.ends);
  EXPECT_GT(owner.begins, 0);
  auto copy = f->Copy();
  copy->SetValue("b", "2");
  EXPECT_EQ(f->Count(), 1);
  EXPECT_EQ(owner.modified, 1);
}

TEST(ReportFields, ManyThreadsWriteWithoutLosingItems) {
  Ref<ReportFields> f(new ReportFields(true));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i)
        f->SetValue("t" + std::to_string(t) + "." + std::to_string(i), "v");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(f->Count(), 800);
}

TEST(AttachmentList, FillsInSendAsAndFieldNames) {
  AttachmentList list;
  list.AddFile("");
  list.AddFile("C:\\dir\\log.txt");
  list.AddFile("C:\\x\\data.tar.gz", "", "", "a.zip");
  list.AddFile("C:\\y", "shown.bin", "field", "b.zip");
  ASSERT_EQ(list.Count(), 3);
  const std::vector<AttachmentEntry> expected = {
      {"C:\\dir\\log.txt", "log.txt", "", "log"},
      {"C:\\x\\data.tar.gz", "data.tar.gz", "a.zip", "data"},
      {"C:\\y", "shown.bin", "b.zip", "field"}};
  EXPECT_EQ(list.Entries(), expected);
  AttachmentEntry e;
  EXPECT_FALSE(list.EntryAt(3, e));
  auto copy = list.Copy();
  EXPECT_EQ(copy->Entries()[1].zip, "");
  EXPECT_TRUE(list.RemoveFile("c:\\DIR\\LOG.TXT"));
  EXPECT_FALSE(list.RemoveFile("c:\\dir\\log.txt"));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(copy->Count(), 3);
  list.RemoveAll();
  EXPECT_EQ(list.Count(), 0);
}

TEST(SettingsLists, FieldValuesRunToTheNextEquals) {
  EXPECT_EQ(ParseFieldList("a=x|y|b=2"), (FieldPairs{{"a", "x|y"}, {"b", "2"}}));
  EXPECT_EQ(ParseFieldList("a=1|b=|c=3"), (FieldPairs{{"a", "1"}, {"b", ""}, {"c", "3"}}));
  EXPECT_EQ(ParseFieldList("novalue"), FieldPairs{});
  EXPECT_EQ(ParseFieldList(""), FieldPairs{});
  const FieldPairs pairs = {{"Customer", "ACME"}, {"Path", "a|b"}, {"N", "1"}};
  EXPECT_EQ(ParseFieldList(FormatFieldList(pairs)), pairs);
}

TEST(SettingsLists, AttachmentsAndAssistants) {
  const std::vector<AttachmentEntry> entries = {{"C:\\a", "a", "z.zip", "f"},
                                                {"C:\\b", "b", "", "b"}};
  EXPECT_EQ(FormatAttachmentList(entries), "C:\\a>a>z.zip>f|C:\\b>b>>b");
  EXPECT_EQ(ParseAttachmentList(FormatAttachmentList(entries)), entries);
  EXPECT_EQ(ParseAttachmentList("C:\\only"),
            (std::vector<AttachmentEntry>{{"C:\\only", "", "", ""}}));
  const auto def = ParseAssistantDefinition("SendAssistant|Send Assistant|ContactForm|DetailsForm");
  EXPECT_EQ(def.name, "SendAssistant");
  EXPECT_EQ(def.title, "Send Assistant");
  EXPECT_EQ(def.forms, (std::vector<std::string>{"ContactForm", "DetailsForm"}));
  EXPECT_EQ(PluginListWith("a|B|a", "A", false), "B");
}

}  // namespace
}  // namespace corvan::crash
