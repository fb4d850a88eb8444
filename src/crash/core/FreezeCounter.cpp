#include "crash/core/FreezeCounter.h"

#include <algorithm>

namespace corvan::crash {
namespace {

// Keeps the grown interval a valid finite wait (below INFINITE).
constexpr std::uint32_t kLongestInterval = 0x7fffffff;

}  // namespace

FreezeCounter::FreezeCounter(std::int32_t freezeTimeoutMs)
    : first_(static_cast<std::uint32_t>(std::max<std::int32_t>(1, freezeTimeoutMs / 10))),
      interval_(first_) {}

void FreezeCounter::Answered() {
  misses_ = 0;
  interval_ = first_;
}

bool FreezeCounter::Missed() { return ++misses_ >= kMissesPerReport; }

void FreezeCounter::Reported() {
  misses_ = 0;
  interval_ =
      interval_ > kLongestInterval - interval_ / 2 ? kLongestInterval : interval_ + interval_ / 2;
}

}  // namespace corvan::crash
