// The form stream parser on golden byte streams: every value tag, children
// and their ends, damaged streams (cut at every byte, bad tags, endless
// nesting) and the writer used by the form compiler.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash/ui/FormStream.h"

namespace corvan::crash {
namespace {

using Bytes = std::vector<std::uint8_t>;
using End = FormStreamContent::End;

void Put(Bytes& b, std::string_view s) {
  b.push_back(static_cast<std::uint8_t>(s.size()));
  b.insert(b.end(), s.begin(), s.end());
}

// A form with one edit and one label, written by hand byte for byte.
Bytes GoldenForm() {
  Bytes b = {'T', 'P', 'F', '0'};
  Put(b, "TZEContactForm");
  Put(b, "ContactForm");
  Put(b, "Message");
  b.push_back(6);
  Put(b, "Contact");
  Put(b, "Timer");
  b.insert(b.end(), {3, 0xFA, 0x00});  // 250
  Put(b, "MinWidth");
  b.insert(b.end(), {2, 0xFF});  // -1
  b.push_back(0);                // end of the form's properties
  Put(b, "INVLabel");
  Put(b, "Label1");
  Put(b, "Caption");
  b.insert(b.end(), {12, 5, 0, 0, 0, 'n', 'a', 'm', 'e', ':'});
  b.push_back(0);  // properties
  b.push_back(0);  // children
  Put(b, "INVEdit");
  Put(b, "NameEdit");
  Put(b, "Optional");
  b.push_back(9);
  Put(b, "Colored");
  b.push_back(8);
  Put(b, "OutputType");
  b.push_back(7);
  Put(b, "nvoHeader");
  Put(b, "Lines");
  b.insert(b.end(), {4, 0x00, 0x00, 0x01, 0x80});  // INT32_MIN + 65536
  b.push_back(0);
  b.push_back(0);
  b.push_back(0);  // end of the form's children
  return b;
}

std::vector<std::string> Texts(const FormObject& object) {
  std::vector<std::string> texts;
  for (const auto& p : object.properties) texts.push_back(p.name + "=" + p.value.Text());
  return texts;
}

TEST(FormStream, GoldenFormReadsEveryTagAsText) {
  const Bytes bytes = GoldenForm();
  const FormStreamContent c = ParseFormStream(bytes.data(), bytes.size());
  ASSERT_EQ(c.end, End::Complete);
  ASSERT_EQ(c.objects.size(), 3u);
  EXPECT_EQ(c.objects[0].className, "TZEContactForm");
  EXPECT_EQ(c.objects[0].objectName, "ContactForm");
  EXPECT_EQ(c.objects[0].depth, 0);
  EXPECT_EQ(Texts(c.objects[0]),
            (std::vector<std::string>{"Message=Contact", "Timer=250", "MinWidth=-1"}));
  EXPECT_EQ(c.objects[1].depth, 1);
  EXPECT_EQ(Texts(c.objects[1]), (std::vector<std::string>{"Caption=name:"}));
  EXPECT_EQ(c.objects[2].objectName, "NameEdit");
  EXPECT_EQ(Texts(c.objects[2]),
            (std::vector<std::string>{"Optional=1", "Colored=0", "OutputType=nvoHeader",
                                      "Lines=-2147418112"}));
  EXPECT_EQ(c.objects[2].properties[2].value.type, FormValue::Type::Identifier);
}

TEST(FormStream, WriterReproducesTheGoldenBytes) {
  const Bytes bytes = GoldenForm();
  const FormStreamContent c = ParseFormStream(bytes.data(), bytes.size());
  // Tag 12 of a short text comes back as tag 6: compare after a second pass.
  const Bytes written = WriteFormStream(c.objects);
  const FormStreamContent again = ParseFormStream(written.data(), written.size());
  EXPECT_EQ(again.end, End::Complete);
  EXPECT_EQ(again.objects, c.objects);
  EXPECT_EQ(written.size(), bytes.size() - 3);  // the caption's 4-byte length became 1 byte
}

TEST(FormStream, WriterPicksTheSmallestIntegerTagAndLongStrings) {
  FormObject form{"TForm", "F", 0, {}};
  for (std::int32_t n : {0, 127, -128, 128, -129, 32767, -32768, 32768, INT32_MIN, INT32_MAX}) {
    form.properties.push_back({"N", FormValue::Integer(n)});
  }
  form.properties.push_back({"Long", FormValue::String(std::string(300, 'x'))});
  const Bytes written = WriteFormStream({form});
  const FormStreamContent c = ParseFormStream(written.data(), written.size());
  ASSERT_EQ(c.end, End::Complete);
  EXPECT_EQ(c.objects[0], form);
  // header 4, names 8, integers 10 * 3 + 23 value bytes, long string
  // 5 + 1 + 4 + 300, two list ends
  EXPECT_EQ(written.size(), 377u);
}

TEST(FormStream, NoSignatureMeansNoObjects) {
  const Bytes none = {'T', 'P', 'F'};
  EXPECT_EQ(ParseFormStream(none.data(), none.size()).end, End::NoStream);
  EXPECT_EQ(ParseFormStream(nullptr, 0).end, End::NoStream);
  EXPECT_FALSE(ParseFormStream(nullptr, 0).Broken());
  const Bytes other = {'T', 'P', 'F', '1', 0, 0, 0, 0};
  EXPECT_EQ(ParseFormStream(other.data(), other.size()).objects.size(), 0u);
}

TEST(FormStream, EveryCutStopsInsideTheDataAndKeepsWhatWasRead) {
  const Bytes bytes = GoldenForm();
  const FormStreamContent whole = ParseFormStream(bytes.data(), bytes.size());
  for (std::size_t size = 4; size < bytes.size(); ++size) {
    // A copy of exactly that size: ASan catches any read past it.
    const Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    const FormStreamContent c = ParseFormStream(cut.data(), cut.size());
    ASSERT_EQ(c.end, End::Truncated) << size;
    ASSERT_LE(c.objects.size(), whole.objects.size());
    for (std::size_t i = 0; i < c.objects.size(); ++i) {
      const auto& got = c.objects[i].properties;
      const auto& all = whole.objects[i].properties;
      ASSERT_LE(got.size(), all.size());
      EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin())) << size;
    }
  }
}

TEST(FormStream, BadTagStopsWithItsNumberAndKeepsEarlierProperties) {
  for (std::uint8_t tag : {0, 1, 5, 10, 11, 13, 18, 255}) {
    Bytes b = {'T', 'P', 'F', '0'};
    Put(b, "TForm");
    Put(b, "F");
    Put(b, "Message");
    b.push_back(6);
    Put(b, "hi");
    Put(b, "Bad");
    b.push_back(tag);
    b.insert(b.end(), 8, 0);
    const FormStreamContent c = ParseFormStream(b.data(), b.size());
    EXPECT_EQ(c.end, End::InvalidTag);
    EXPECT_EQ(c.tag, tag);
    EXPECT_TRUE(c.Broken());
    ASSERT_EQ(c.objects.size(), 1u);
    EXPECT_EQ(Texts(c.objects[0]), (std::vector<std::string>{"Message=hi"}));
  }
  EXPECT_EQ(InvalidFormResourceText(0x12), "Internal error: Invalid assistant resource ($12).");
  EXPECT_EQ(InvalidFormResourceText(0), "Internal error: Invalid assistant resource ($0).");
}

TEST(FormStream, NegativeLongStringLengthIsDamageNotAHugeRead) {
  Bytes b = {'T', 'P', 'F', '0'};
  Put(b, "TForm");
  Put(b, "F");
  Put(b, "Message");
  b.insert(b.end(), {12, 0xFF, 0xFF, 0xFF, 0xFF, 'x', 0, 0});
  EXPECT_EQ(ParseFormStream(b.data(), b.size()).end, End::Truncated);
}

TEST(FormStream, NestingIsBounded) {
  Bytes b = {'T', 'P', 'F', '0'};
  for (int i = 0; i < 10000; ++i) {
    Put(b, "TNested");
    Put(b, "");
    b.push_back(0);
  }
  const FormStreamContent c = ParseFormStream(b.data(), b.size());
  EXPECT_EQ(c.end, End::TooDeep);
  EXPECT_EQ(c.objects.size(), static_cast<std::size_t>(kMaxFormDepth + 1));
}

TEST(FormStream, TrailingBytesAfterTheRootAreIgnored) {
  Bytes b = GoldenForm();
  b.insert(b.end(), {0xEE, 0xEE});
  EXPECT_EQ(ParseFormStream(b.data(), b.size()).end, End::Complete);
}

}  // namespace
}  // namespace corvan::crash
