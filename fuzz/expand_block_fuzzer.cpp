// ExpandBlock on arbitrary bytes: it must never crash, read out of bounds or
// allocate beyond its cap, and whatever it returns must match the block's
// CRC. The input is also wrapped into a valid block now and then so the
// fuzzer reaches the inflate and CRC paths with real streams.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crash/util/ByteOrder.h"
#include "crash/util/Crc32.h"
#include "crash/util/Deflate.h"

using namespace corvan::crash;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const std::vector<std::uint8_t> out = ExpandBlock(input);
  if (!out.empty()) {
    if (out.size() > kBlockMaxLength) std::abort();
    if (Crc32(out.data(), out.size()) != ReadLe32(data + 8)) std::abort();
    if (out.size() > ReadLe32(data)) std::abort();
  }
  // Round trip: a block made of the input expands back to it.
  if (size > 0 && data[0] % 4 == 0) {
    const std::vector<std::uint8_t> block = CompressBlock(input);
    if (block.empty() || ExpandBlock(block) != std::vector<std::uint8_t>(data, data + size)) {
      std::abort();
    }
  }
  return 0;
}
