// What the program and its crash handler read from each other: the
// command line that makes a process the handler, the head that keeps
// builds from misreading a block, the first fault's claim, and the block's
// texts read and written within their fields.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "crash/core/CrashHandlerProtocol.h"

namespace corvan::crash {
namespace {

TEST(HandlerCommandLine, OnlyTheFirstArgumentWithItsFourHandles) {
  const HandlerHandles handles{0x1c4, 0x1c8, 0x1cc, 0xabcdef01};
  const std::string made = HandlerCommandLine("C:\\Program Files\\corvan.exe", handles);
  const auto parsed = ParseHandlerCommandLine(made);
  ASSERT_TRUE(parsed) << made;
  EXPECT_EQ(parsed->process, 0x1c4u);
  EXPECT_EQ(parsed->done, 0xabcdef01u);
  EXPECT_TRUE(ParseHandlerCommandLine("corvan.exe\t--crash-handler 1 2 3 FF  "));

  for (const char* refused : {
           "corvan.exe",
           "corvan.exe --crash-handler",
           "corvan.exe --crash-handler 1 2 3",
           "corvan.exe --crash-handler 1 2 3 4 5",
           "corvan.exe --crash-handler 1 2 0 4",
           "corvan.exe --crash-handler 1 2 3 x4",
           "corvan.exe --crash-handler 1 2 3 123456789",
           "corvan.exe 0711 --crash-handler 1 2 3 4",
           "corvan.exe --crash-handlers 1 2 3 4",
           "\"C:\\a --crash-handler 1 2 3 4\\corvan.exe\"",
           "\"C:\\My Tools\\corvan.exe\" x --crash-handler 1 2 3 4",
       }) {
    EXPECT_FALSE(ParseHandlerCommandLine(refused)) << refused;
  }
}

TEST(HandlerBlock, HeadMustMatchMagicVersionAndSize) {
  const BlockHead good{kBlockMagic, kBlockVersion, 1234};
  EXPECT_TRUE(BlockHeadFits(good, 1234));
  EXPECT_FALSE(BlockHeadFits(good, 1230));
  EXPECT_FALSE(BlockHeadFits({kBlockMagic, kBlockVersion - 1, 1234}, 1234));
  EXPECT_FALSE(BlockHeadFits({0, kBlockVersion, 1234}, 1234));
  static_assert(offsetof(FaultSlot, laterFaults) == 8 && sizeof(BlockHead) == 12);
}

TEST(HandlerBlock, FirstFaultWinsAndLaterOnesAreCounted) {
  FaultSlot slot{};
  EXPECT_EQ(ClaimFault(slot, 7), FaultClaim::First);
  EXPECT_EQ(ClaimFault(slot, 7), FaultClaim::Later);  // a fault in its own reporting
  EXPECT_EQ(ClaimFault(slot, 9), FaultClaim::Later);
  EXPECT_EQ(slot.threadId, 7u);
  EXPECT_EQ(slot.laterFaults, 2u);

  // Many threads at once: exactly one first, and every other counted.
  FaultSlot shared{};
  std::vector<std::thread> threads;
  std::atomic<int> firsts{0}, handOvers{0};
  for (std::uint32_t id = 1; id <= 8; ++id) {
    threads.emplace_back([&, id] {
      if (ClaimFault(shared, id) == FaultClaim::First) ++firsts;
      if (ClaimHandOver(shared)) ++handOvers;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(firsts, 1);
  EXPECT_EQ(handOvers, 1);
  EXPECT_EQ(shared.laterFaults, 7u);
}

TEST(HandlerBlock, TextsStayInsideTheirFields) {
  struct Case {
    std::string stored;
    std::string read;
  };
  for (const Case& c : {Case{"C:\\a.tx", "C:\\a.tx"}, Case{"", ""}, Case{"1234567", "1234567"},
                        Case{"12345678", ""}}) {
    char field[8];
    std::memset(field, 'x', sizeof field);
    StoreText(field, c.stored);
    EXPECT_EQ(BoundedText(field), c.read) << c.stored;
  }
  // A field the other side left unterminated is read to its end, no further.
  struct {
    char field[4];
    char after[4];
  } unterminated{{'a', 'b', 'c', 'd'}, {'e', 'f', 0, 0}};
  EXPECT_EQ(BoundedText(unterminated.field), "abcd");
}

}  // namespace
}  // namespace corvan::crash
