// The upload target's answer comes from the network in pieces: a verdict
// taken on the bytes so far must be the verdict of every longer answer
// (the upload stops reading at the first), and only a relocation carries
// a location.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crash/deliver/HttpUpload.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using corvan::crash::JudgeUploadAnswer;
  using V = corvan::crash::UploadAnswer::Verdict;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto whole = JudgeUploadAnswer(text);
  if (!whole.location.empty() && whole.verdict != V::kRelocated) std::abort();
  const std::size_t step = size / 64 + 1;
  for (std::size_t cut = 0; cut < size; cut += step) {
    const auto early = JudgeUploadAnswer(text.substr(0, cut));
    if (early.verdict == V::kUndecided) continue;
    if (early.verdict != whole.verdict || early.location != whole.location) std::abort();
    break;
  }
  return 0;
}
