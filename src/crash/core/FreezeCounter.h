#pragma once
// The freeze watchdog's bookkeeping: how long to wait for the main
// thread's answer to one ping, and when enough pings went unanswered to
// report a freeze. Ten missed pings of a tenth of the timeout each make
// one report; each further report of the same freeze comes half as late
// again; any answer starts over.
#include <atomic>
#include <cstdint>

namespace corvan::crash {

class FreezeCounter {
 public:
  static constexpr int kMissesPerReport = 10;

  // Never below 1 ms per ping: a shorter timeout would make the watchdog spin.
  explicit FreezeCounter(std::int32_t freezeTimeoutMs);

  std::uint32_t IntervalMs() const { return interval_; }
  int Misses() const { return misses_; }

  // The main thread answered: back to the first interval.
  void Answered();
  // No answer within the interval; true when a freeze report is due.
  bool Missed();
  // A freeze report was made: count anew, waiting half as long again.
  void Reported();
  // The pipeline handled an exception (or the watchdog was paused): the
  // silence so far does not count. Safe from any thread.
  void ResetMisses() { misses_ = 0; }

 private:
  std::uint32_t first_;
  std::uint32_t interval_;
  std::atomic<int> misses_{0};
};

}  // namespace corvan::crash
