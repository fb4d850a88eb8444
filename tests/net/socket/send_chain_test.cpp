#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "net/socket/NetSockBuf.h"

namespace corvan::net {
namespace {

std::string Unsent(const TBuffer& buffer) {
  int length = 0;
  const char* data = buffer.Peek(length);
  return std::string(data, static_cast<size_t>(length));
}

TEST(TBuffer, WritePeekRemove) {
  TBuffer buffer(4);
  EXPECT_EQ(buffer.Write("abcdef", 6), 4);
  EXPECT_EQ(buffer.Write("x", 1), 0);
  EXPECT_EQ(Unsent(buffer), "abcd");
  EXPECT_EQ(buffer.Remove(3), 3);
  EXPECT_EQ(Unsent(buffer), "d");
  EXPECT_EQ(buffer.Remove(10), 1);  // at most what is unsent
  EXPECT_EQ(buffer.WriteCount(), 0);  // emptied: starts over
  EXPECT_EQ(buffer.ReadCount(), 0);
  EXPECT_EQ(Unsent(buffer), "");
  EXPECT_EQ(buffer.Remove(-5), 0);
}

TEST(TBuffer, SizeDefaultsAndResizeKeepsData) {
  EXPECT_EQ(TBuffer(0).Size(), 1514);
  EXPECT_EQ(TBuffer(-3).Size(), 1514);
  TBuffer buffer(8);
  buffer.Write("abcdef", 6);
  buffer.SetSize(16);
  EXPECT_EQ(Unsent(buffer), "abcdef");
  buffer.SetSize(3);
  EXPECT_EQ(Unsent(buffer), "abc");
}

// A network that accepts at most `window` bytes per call and records them.
struct FakeNetwork {
  std::string received;
  int window = 1 << 30;
  int failWith = 0;
  int calls = 0;
  TSendChain::SendFunction Send() {
    return [this](const char* data, int length, int& error) {
      ++calls;
      if (failWith) {
        error = failWith;
        return -1;
      }
      const int n = std::min(length, window);
      received.append(data, static_cast<size_t>(n));
      return n;
    };
  }
};

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i * 7 % 26);
  return s;
}

TEST(TSendChain, QueuesIn1460ByteBuffersAndDrainsInOrder) {
  TSendChain chain;
  const std::string data = Pattern(5000);
  chain.Queue(data.data(), 3000);
  chain.Queue(data.data() + 3000, 2000);
  EXPECT_EQ(chain.BufferedCount(), 5000);
  EXPECT_EQ(chain.BufferCount(), 4u);  // 1460 * 3 + 620
  FakeNetwork net;
  std::vector<int> pieces;
  auto result = chain.Drain(net.Send(), [&](int n) {
    pieces.push_back(n);
    return true;
  });
  EXPECT_EQ(result.kind, TDrainResult::Empty);
  EXPECT_EQ(net.received, data);
  EXPECT_EQ(pieces, (std::vector<int>{1460, 1460, 1460, 620}));
  EXPECT_TRUE(chain.Empty());
  EXPECT_EQ(chain.BufferCount(), 1u);  // the last buffer stays for reuse
}

TEST(TSendChain, PartialAcceptKeepsPositionAndStops) {
  TSendChain chain(10);
  chain.Queue("0123456789abc", 13);
  FakeNetwork net;
  net.window = 4;
  EXPECT_EQ(chain.Drain(net.Send(), nullptr).kind, TDrainResult::Blocked);
  EXPECT_EQ(net.received, "0123");
  EXPECT_EQ(chain.BufferedCount(), 9);
  net.window = 100;
  EXPECT_EQ(chain.Drain(net.Send(), nullptr).kind, TDrainResult::Empty);
  EXPECT_EQ(net.received, "0123456789abc");
}

TEST(TSendChain, ZeroAcceptedBlocksAndFailureReportsError) {
  TSendChain chain;
  chain.Queue("abc", 3);
  FakeNetwork net;
  net.window = 0;
  EXPECT_EQ(chain.Drain(net.Send(), nullptr).kind, TDrainResult::Blocked);
  net.failWith = 10054;
  const auto result = chain.Drain(net.Send(), nullptr);
  EXPECT_EQ(result.kind, TDrainResult::Failed);
  EXPECT_EQ(result.error, 10054);
  EXPECT_EQ(chain.BufferedCount(), 3);  // nothing lost by a failed call
}

TEST(TSendChain, EmptyChainSendsNothing) {
  TSendChain chain;
  FakeNetwork net;
  chain.Queue("x", 0);
  chain.Queue("x", -1);
  EXPECT_EQ(chain.Drain(net.Send(), nullptr).kind, TDrainResult::Empty);
  EXPECT_EQ(net.calls, 0);
}

// The handler of a sent piece sees the chain already updated and may clear
// it (an Abort) without the drain touching freed buffers.
TEST(TSendChain, SentHandlerMayClearTheChain) {
  TSendChain chain(8);
  const std::string data = Pattern(100);
  chain.Queue(data.data(), 100);
  FakeNetwork net;
  std::int64_t seenBuffered = -1;
  const auto result = chain.Drain(net.Send(), [&](int) {
    seenBuffered = chain.BufferedCount();
    chain.Clear();
    return true;
  });
  EXPECT_EQ(seenBuffered, 92);
  EXPECT_EQ(result.kind, TDrainResult::Empty);
  EXPECT_EQ(net.received, data.substr(0, 8));
}

// ... or queue more from the same thread (the send lock is re-entrant).
TEST(TSendChain, SentHandlerMayQueueMore) {
  TSendChain chain(8);
  chain.Queue("12345678", 8);
  FakeNetwork net;
  int rounds = 0;
  const auto result = chain.Drain(net.Send(), [&](int) {
    if (++rounds < 3) chain.Queue("abcdefgh", 8);
    return true;
  });
  EXPECT_EQ(result.kind, TDrainResult::Empty);
  EXPECT_EQ(net.received, "12345678abcdefghabcdefgh");
}

TEST(TSendChain, SentHandlerMayStopTheDrain) {
  TSendChain chain(4);
  chain.Queue("abcdefgh", 8);
  FakeNetwork net;
  EXPECT_EQ(chain.Drain(net.Send(), [](int) { return false; }).kind, TDrainResult::Stopped);
  EXPECT_EQ(net.received, "abcd");
  EXPECT_EQ(chain.BufferedCount(), 4);
}

// Memory stays bounded by what is queued: a sender that refills only when
// the chain is empty never holds more than one buffer.
TEST(TSendChain, SteadyStreamingReusesOneBuffer) {
  TSendChain chain;
  FakeNetwork net;
  const std::string block = Pattern(1000);
  for (int i = 0; i < 1000; ++i) {
    chain.Queue(block.data(), 1000);
    chain.Drain(net.Send(), nullptr);
    ASSERT_LE(chain.BufferCount(), 1u);
  }
  EXPECT_EQ(net.received.size(), 1000u * 1000u);
}

}  // namespace
}  // namespace corvan::net
