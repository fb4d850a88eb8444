#pragma once
// The times of the ten most recent reported exceptions (seconds since 1601,
// UTC; newest first, 0 for none) and the automatic close and restart rule
// built on them. Its 80 bytes go to the new process on a restart.
#include <array>
#include <cstdint>

namespace corvan::crash {

class ExceptionHistory {
 public:
  static constexpr int kSize = 10;
  using Times = std::array<std::int64_t, kSize>;

  void Add(std::int64_t nowSeconds);
  const Times& Entries() const { return times_; }
  void Adopt(const Times& times) { times_ = times; }
  void Clear() { times_.fill(0); }

 private:
  Times times_{};
};

// AutoClose / AutoRestart: 0 never, 1 always, v > 1 when ten exceptions
// fell within the last v seconds.
bool CheckAutoRule(std::int32_t value, const ExceptionHistory& history, std::int64_t nowSeconds);

}  // namespace corvan::crash
