// The read-back of a written dump, over arbitrary bytes: the exception
// stream's settling and the stack patch locator stay inside them, and a
// place the locator finds lies inside the file and holds no more than the
// captured bytes.
#include <cstdlib>
#include <span>
#include <vector>

#include "crash/core/MiniDump.h"
#include "crash/util/ByteOrder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::crash;
  // The first 12 bytes choose the thread, the address and the byte count.
  if (size < 12) return 0;
  const std::uint32_t thread = ReadLe32(data), address = ReadLe32(data + 4);
  const std::size_t count = ReadLe32(data + 8) % 0x20000;
  const std::span<const std::uint8_t> dump(data + 12, size - 12);
  const StackPatch patch = FindStackPatch(dump, thread, address, count);
  if (patch.length > count || patch.fileOffset > dump.size() ||
      patch.length > dump.size() - patch.fileOffset) {
    std::abort();
  }
  std::vector<std::uint8_t> copy(dump.begin(), dump.end());
  SettleExceptionStream(copy);
  return 0;
}
