// The index of a kept report is read back from a folder anyone of the
// user's programs can write: a parsed index names only plain file names in
// the entry's folder and writes back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crash/core/UnsentQueue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::crash;
  const auto files = ParseKeptIndex(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!files) return 0;
  for (const KeptFile& file : *files) {
    if (file.stored.empty() || file.stored == "." || file.stored == ".." ||
        file.stored.find_first_of("\\/:") != std::string_view::npos) {
      std::abort();
    }
  }
  if (ParseKeptIndex(FormatKeptIndex(*files)) != files) std::abort();
  return 0;
}
