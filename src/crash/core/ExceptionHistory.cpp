#include "crash/core/ExceptionHistory.h"

#include <algorithm>

namespace corvan::crash {

void ExceptionHistory::Add(std::int64_t nowSeconds) {
  std::copy_backward(times_.begin(), times_.end() - 1, times_.end());
  times_[0] = nowSeconds;
}

bool CheckAutoRule(std::int32_t value, const ExceptionHistory& history, std::int64_t nowSeconds) {
  if (value <= 0) return false;
  if (value == 1) return true;
  const std::int64_t oldest = history.Entries().back();
  return oldest != 0 && nowSeconds - oldest <= value;
}

}  // namespace corvan::crash
