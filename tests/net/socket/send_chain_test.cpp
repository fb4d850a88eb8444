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
  EXPECT_EQ(buffer.Remove(10), 1);    // at most what is unsent
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

// A network that accepts at most `window` bytes per call, and `budget`
// bytes in all before it fails with "would block" (10035).
struct FakeNetwork {
  std::string received;
  int window = 1 << 30;
  std::size_t budget = std::size_t(-1);
  int failWith = 0;
  int calls = 0;
  TSendChain::SendFunction Send() {
    return [this](const char* data, int length, int& error) {
      ++calls;
      if (failWith || budget == 0) {
        error = failWith ? failWith : 10035;
        return -1;
      }
      const int n =
          static_cast<int>(std::min<std::size_t>({size_t(length), size_t(window), budget}));
      budget -= static_cast<std::size_t>(n);
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
  net.window = 2000;
  std::vector<int> pieces;
  auto result = chain.Drain(net.Send(), [&](int n) {
    pieces.push_back(n);
    return true;
  });
  EXPECT_EQ(result.kind, TDrainResult::Empty);
  EXPECT_EQ(net.received, data);
  // Consecutive buffers are offered together: few send calls.
  EXPECT_EQ(pieces, (std::vector<int>{2000, 2000, 1000}));
  EXPECT_TRUE(chain.Empty());
  EXPECT_EQ(chain.BufferCount(), 1u);  // the last buffer stays for reuse
}

TEST(TSendChain, OffersAtMostOneGatherSizePerCall) {
  TSendChain chain;
  const std::string data = Pattern(200000);
  chain.Queue(data.data(), static_cast<int>(data.size()));
  FakeNetwork net;
  std::vector<int> pieces;
  chain.Drain(net.Send(), [&](int n) {
    pieces.push_back(n);
    return true;
  });
  EXPECT_EQ(net.received, data);
  ASSERT_FALSE(pieces.empty());
  EXPECT_EQ(pieces.front(), TSendChain::kMaxOffer);
}

// Data meeting an empty chain goes out from the caller's memory; only what
// the network refuses is copied into buffers.
TEST(TSendChain, WriteSendsDirectlyAndQueuesTheRest) {
  TSendChain chain;
  FakeNetwork net;
  const std::string data = Pattern(10000);
  EXPECT_EQ(chain.Write(data.data(), 10000, net.Send(), nullptr).kind, TDrainResult::Empty);
  EXPECT_EQ(chain.BufferCount(), 0u);
  net.budget = 3000;
  const auto result = chain.Write(data.data(), 10000, net.Send(), nullptr);
  EXPECT_EQ(result.kind, TDrainResult::Failed);
  EXPECT_EQ(result.error, 10035);
  EXPECT_EQ(chain.BufferedCount(), 7000);
  // While data waits, new data queues behind it.
  EXPECT_EQ(chain.Write("tail", 4, net.Send(), nullptr).kind, TDrainResult::Failed);
  net.budget = std::size_t(-1);
  EXPECT_EQ(chain.Drain(net.Send(), nullptr).kind, TDrainResult::Empty);
  EXPECT_EQ(net.received, data + data + "tail");
}

// A handler that sends from inside the sent callback of a direct write
// stays behind the part of the first write the network did not take.
TEST(TSendChain, WriteKeepsOrderWithHandlersThatSend) {
  TSendChain chain;
  FakeNetwork net;
  net.window = 3;
  bool once = true;
  const auto result = chain.Write("abcdefgh", 8, net.Send(), [&](int) {
    if (once) {
      once = false;
      chain.Queue("XY", 2);
    }
    return true;
  });
  EXPECT_EQ(result.kind, TDrainResult::Empty);
  EXPECT_EQ(net.received, "abcdefghXY");
}

// Partial accepts go on until the network reports "would block": only
// that failure re-arms its write notification.
TEST(TSendChain, PartialAcceptsContinueUntilWouldBlock) {
  TSendChain chain(10);
  chain.Queue("0123456789abc", 13);
  FakeNetwork net;
  net.window = 4;
  net.budget = 6;
  const auto result = chain.Drain(net.Send(), nullptr);
  EXPECT_EQ(result.kind, TDrainResult::Failed);
  EXPECT_EQ(result.error, 10035);
  EXPECT_EQ(net.received, "012345");
  EXPECT_EQ(chain.BufferedCount(), 7);
  net.budget = 100;
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
  net.window = 8;
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
  net.window = 4;
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
