// The send chain driven by a script of queue/write/drain/clear steps against a
// network that accepts arbitrary amounts: what comes out is exactly what
// went in, in order, and the byte count always matches.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/socket/NetSockBuf.h"

using corvan::net::TDrainResult;
using corvan::net::TSendChain;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int bufferSize = 1 + data[0] % 64;
  TSendChain chain(bufferSize);
  std::string queued, received;  // expected and actual wire bytes
  std::uint8_t counter = 0;
  // At most 256 steps: long scripts add time, not new states.
  for (std::size_t i = 1; i + 1 < size && i < 512; i += 2) {
    const std::uint8_t op = data[i], arg = data[i + 1];
    switch (op % 5) {
      case 0: {  // queue arg bytes
        std::string block(arg, '\0');
        for (auto& c : block) c = static_cast<char>(counter++);
        chain.Queue(block.data(), static_cast<int>(block.size()));
        queued += block;
        break;
      }
      case 4: {  // write arg bytes: straight to the network when the chain is empty
        std::string block(arg, '\0');
        for (auto& c : block) c = static_cast<char>(counter++);
        queued += block;
        int budget = arg / 2;
        chain.Write(
            block.data(), static_cast<int>(block.size()),
            [&](const char* bytes, int length, int& error) {
              if (budget <= 0) {
                error = 10035;
                return -1;
              }
              const int n = std::min(length, budget);
              budget -= n;
              received.append(bytes, static_cast<std::size_t>(n));
              return n;
            },
            [](int count) { return count > 0; });
        break;
      }
      case 1:    // drain with a network that takes up to arg bytes per call
      case 2: {  // ... and whose handler queues more or clears from inside
        int budget = arg * 3;
        const auto result = chain.Drain(
            [&](const char* bytes, int length, int& error) {
              if (budget <= 0) {
                error = 10035;
                return -1;
              }
              const int n = std::min({length, budget, 1 + arg % 17});
              budget -= n;
              received.append(bytes, static_cast<std::size_t>(n));
              return n;
            },
            [&](int count) {
              Check(count > 0);
              if (op % 5 == 2 && (arg & 1)) {
                const char extra = static_cast<char>(counter++);
                chain.Queue(&extra, 1);
                queued += extra;
              }
              return !(op % 5 == 2 && (arg & 2));
            });
        Check(result.kind != TDrainResult::Failed || result.error == 10035);
        break;
      }
      case 3:  // clear: the rest of what was queued is never sent
        chain.Clear();
        queued.resize(received.size());
        break;
    }
    Check(queued.compare(0, received.size(), received) == 0);
    Check(chain.BufferedCount() == static_cast<std::int64_t>(queued.size() - received.size()));
    // Memory follows what is pending: sent buffers are freed (but one).
    const std::size_t pending = queued.size() - received.size();
    Check(chain.BufferCount() <= 2 + pending / static_cast<std::size_t>(bufferSize));
  }
  return 0;
}
