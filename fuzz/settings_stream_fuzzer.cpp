// The settings stream parser on arbitrary bytes: it must stay inside them,
// and what it reads must survive a write and a second parse unchanged.
#include <cstdlib>

#include "crash/core/SettingsStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::crash;
  const SettingsStreamContent first = ParseSettingsStream(data, size);
  if (first.end == SettingsStreamContent::End::BadHeader) return 0;
  const auto bytes = WriteSettingsStream(first.settings);
  const SettingsStreamContent second = ParseSettingsStream(bytes.data(), bytes.size());
  if (second.end != SettingsStreamContent::End::Complete || second.settings != first.settings) {
    std::abort();
  }
  return 0;
}
