#include "crash/core/MiniDump.h"

#include <gtest/gtest.h>

#include <vector>

#include "crash/util/ByteOrder.h"

namespace corvan::crash {
namespace {

TEST(MiniDump, FileNameFollowsTheReportsTimeStampAndAvoidsATakenName) {
  const LocalTime stamp{2024, 3, 7, 9, 5, 1, 250};
  EXPECT_EQ(MiniDumpFileName(stamp), "minidump-20240307-090501.dmp");
  EXPECT_EQ(MiniDumpFileName(stamp, 1), "minidump-20240307-090501-2.dmp");
  EXPECT_EQ(MiniDumpFileName(stamp, 9), "minidump-20240307-090501-10.dmp");
}

TEST(MiniDump, KindNamesTheSystemsDumpTypes) {
  // MINIDUMP_TYPE: MiniDumpNormal 0, MiniDumpWithDataSegs 1.
  EXPECT_EQ(MiniDumpTypeOf(*ParseMiniDumpKind("normal")), 0u);
  EXPECT_EQ(MiniDumpTypeOf(*ParseMiniDumpKind("\tWith Data Segments ")), 1u);
  for (const char* text : {"", "full", "normal dump", "with data"})
    EXPECT_FALSE(ParseMiniDumpKind(text)) << text;
}

// A dump as MiniDumpWriteDump lays it out: header, directory, a thread
// list of two threads, then their stacks (0x100 bytes each).
std::vector<std::uint8_t> TwoThreadDump(std::uint32_t streamType = 3) {
  std::vector<std::uint8_t> dump;
  for (std::uint32_t v : {0x504D444Du, 0xA793u, 1u, 32u, 0u, 0u, 0u, 0u}) AppendLe32(dump, v);
  AppendLe32(dump, streamType);
  AppendLe32(dump, 4 + 2 * 48);
  AppendLe32(dump, 44);
  AppendLe32(dump, 2);
  const std::uint32_t stacks = 44 + 4 + 2 * 48;
  for (std::uint32_t t = 0; t < 2; ++t) {
    const std::uint32_t words[12] = {
        0x10 + t, 0, 0, 0, 0, 0, 0x0012F000 + t * 0x10000, 0, 0x100, stacks + t * 0x100, 0, 0};
    for (std::uint32_t w : words) AppendLe32(dump, w);
  }
  dump.resize(stacks + 2 * 0x100);
  return dump;
}

TEST(MiniDump, StackPatchLandsInTheThreadsStackMemoryAndIsCutToIt) {
  const std::vector<std::uint8_t> dump = TwoThreadDump();
  const std::uint32_t secondStack = 44 + 4 + 96 + 0x100;
  StackPatch patch = FindStackPatch(dump, 0x11, 0x0013F040, 0x20);
  EXPECT_EQ(patch.fileOffset, secondStack + 0x40);
  EXPECT_EQ(patch.length, 0x20u);
  // Captured beyond the dump's stack: only what the dump holds.
  patch = FindStackPatch(dump, 0x11, 0x0013F0F0, 0x4000);
  EXPECT_EQ(patch.fileOffset, secondStack + 0xF0);
  EXPECT_EQ(patch.length, 0x10u);
  EXPECT_EQ(FindStackPatch(dump, 0x10, 0x0012F000, 4).fileOffset, secondStack - 0x100);
}

TEST(MiniDump, StackPatchFindsNothingOutsideAStackOrInABrokenDump) {
  const std::vector<std::uint8_t> dump = TwoThreadDump();
  EXPECT_EQ(FindStackPatch(dump, 0x12, 0x0013F040, 4).length, 0u);  // no such thread
  EXPECT_EQ(FindStackPatch(dump, 0x11, 0x0013F100, 4).length, 0u);  // past its stack
  EXPECT_EQ(FindStackPatch(dump, 0x11, 0x0013EFFF, 4).length, 0u);  // below it
  EXPECT_EQ(FindStackPatch(TwoThreadDump(4), 0x11, 0x0013F040, 4).length, 0u);
  std::vector<std::uint8_t> broken = dump;
  broken[0] = 'X';
  EXPECT_EQ(FindStackPatch(broken, 0x11, 0x0013F040, 4).length, 0u);
  // Offsets and counts that point past the end of the file.
  for (std::size_t at : {12u, 40u, 44u, 48u + 48 + 36}) {
    broken = dump;
    PutLe32(&broken[at], 0xFFFFFFF0u);
    EXPECT_EQ(FindStackPatch(broken, 0x11, 0x0013F040, 4).length, 0u) << at;
  }
  broken = dump;
  broken.resize(dump.size() - 0x80);  // the second stack cut short
  EXPECT_EQ(FindStackPatch(broken, 0x11, 0x0013F0C0, 4).length, 0u);
  EXPECT_EQ(FindStackPatch({}, 0x11, 0x0013F040, 4).length, 0u);
}

// A dump whose only stream is the exception, written as a user stream with
// its context behind it.
std::vector<std::uint8_t> ExceptionDump(const std::vector<std::uint8_t>& stream) {
  std::vector<std::uint8_t> dump;
  for (std::uint32_t v : {0x504D444Du, 0xA793u, 1u, 32u, 0u, 0u, 0u, 0u}) AppendLe32(dump, v);
  AppendLe32(dump, 6);
  AppendLe32(dump, static_cast<std::uint32_t>(stream.size()));
  AppendLe32(dump, 44);
  dump.insert(dump.end(), stream.begin(), stream.end());
  return dump;
}

TEST(MiniDump, ExceptionStreamSettlesOnTheContextBehindIt) {
  DumpException exception;
  exception.threadId = 0x24;
  exception.code = 0xC0000005;
  exception.address = 0x00405B7F;
  exception.parameters = {1, 0x10};
  const std::vector<std::uint8_t> context(716, 0xCC);
  const std::vector<std::uint8_t> stream = ExceptionStreamWithContext(exception, context);
  ASSERT_EQ(stream.size(), 168u + 716u);
  // MINIDUMP_EXCEPTION_STREAM: thread, code, flags, address, parameters.
  EXPECT_EQ(ReadLe32(&stream[0]), 0x24u);
  EXPECT_EQ(ReadLe32(&stream[8]), 0xC0000005u);
  EXPECT_EQ(ReadLe32(&stream[24]), 0x00405B7Fu);
  EXPECT_EQ(ReadLe32(&stream[32]), 2u);
  EXPECT_EQ(ReadLe32(&stream[40]), 1u);
  EXPECT_EQ(ReadLe32(&stream[48]), 0x10u);
  EXPECT_EQ(stream[168], 0xCC);

  std::vector<std::uint8_t> dump = ExceptionDump(stream);
  ASSERT_TRUE(SettleExceptionStream(dump));
  EXPECT_EQ(ReadLe32(&dump[36]), 168u);             // the stream's own size
  EXPECT_EQ(ReadLe32(&dump[44 + 160]), 716u);       // its context's size
  EXPECT_EQ(ReadLe32(&dump[44 + 164]), 44u + 168);  // and place
  EXPECT_FALSE(SettleExceptionStream(dump));        // settled once
}

TEST(MiniDump, ExceptionStreamKeepsFifteenParametersAndRefusesBrokenDumps) {
  DumpException exception;
  exception.parameters.assign(20, 7);
  const std::vector<std::uint8_t> stream = ExceptionStreamWithContext(exception, {});
  ASSERT_EQ(stream.size(), 168u);
  EXPECT_EQ(ReadLe32(&stream[32]), 15u);
  EXPECT_EQ(ReadLe32(&stream[40 + 14 * 8]), 7u);
  const std::uint8_t context[2] = {1, 2};
  std::vector<std::uint8_t> dump = ExceptionDump(ExceptionStreamWithContext(exception, context));
  std::vector<std::uint8_t> cut(dump.begin(), dump.end() - 1);  // stream past the end
  EXPECT_FALSE(SettleExceptionStream(cut));
  dump[0] = 'X';
  EXPECT_FALSE(SettleExceptionStream(dump));
  EXPECT_FALSE(SettleExceptionStream({}));
}

// A dump whose only stream is a module list of two modules (at 0x400000
// and 0x7B000000); the second has a CodeView record already.
std::vector<std::uint8_t> TwoModuleDump() {
  std::vector<std::uint8_t> dump;
  for (std::uint32_t v : {0x504D444Du, 0xA793u, 1u, 32u, 0u, 0u, 0u, 0u}) AppendLe32(dump, v);
  for (std::uint32_t v : {4u, 4u + 2 * 108, 44u}) AppendLe32(dump, v);
  AppendLe32(dump, 2);
  dump.resize(48 + 2 * 108 + 1);  // one byte past: the record is aligned
  PutLe32(&dump[48 + 0], 0x400000);
  PutLe32(&dump[48 + 108], 0x7B000000);
  PutLe32(&dump[48 + 108 + 76], 24);
  PutLe32(&dump[48 + 108 + 80], 8);
  return dump;
}

TEST(MiniDump, CodeViewRecordsCompleteTheModulesWithoutOne) {
  const std::vector<std::uint8_t> record = {'R', 'S', 'D', 'S', 1, 2, 3};
  std::vector<std::uint64_t> asked;
  auto recordOf = [&](std::uint64_t base) {
    asked.push_back(base);
    return record;
  };
  std::vector<std::uint8_t> dump = TwoModuleDump();
  const std::size_t end = dump.size();
  ASSERT_EQ(AddCodeViewRecords(dump, recordOf), 1u);
  EXPECT_EQ(asked, std::vector<std::uint64_t>{0x400000});  // the other keeps its own
  const std::uint32_t at = ReadLe32(&dump[48 + 80]);
  EXPECT_EQ(ReadLe32(&dump[48 + 76]), record.size());
  EXPECT_EQ(at, (end + 3) & ~3u);
  EXPECT_EQ(std::vector<std::uint8_t>(dump.begin() + at, dump.end()), record);
  EXPECT_EQ(AddCodeViewRecords(dump, recordOf), 0u);  // completed once

  // No record for a module, a count past the stream, a broken header.
  dump = TwoModuleDump();
  EXPECT_EQ(AddCodeViewRecords(dump, [](std::uint64_t) { return std::vector<std::uint8_t>(); }),
            0u);
  EXPECT_EQ(dump, TwoModuleDump());
  for (std::size_t at : {0u, 44u}) {
    dump = TwoModuleDump();
    PutLe32(&dump[at], 3);
    const std::vector<std::uint8_t> broken = dump;
    EXPECT_EQ(AddCodeViewRecords(dump, recordOf), 0u) << at;
    EXPECT_EQ(dump, broken);
  }
}

}  // namespace
}  // namespace corvan::crash
