#pragma once
// Sends at absolute deadlines start + n x period (like veskfeed), so a late
// frame does not push every later one back; a rate <= 0 never waits.

#include <time.h>

#include <cerrno>
#include <cstdint>

namespace vesk_bench {

class Pacer {
 public:
  explicit Pacer(double rate_hz) : m_period_ns(rate_hz > 0 ? static_cast<std::int64_t>(1e9 / rate_hz) : 0) {
    ::clock_gettime(CLOCK_MONOTONIC, &m_start);
  }
  // Waits for the deadline of frame `n` (0-based).
  void WaitFor(std::int64_t n) const noexcept {
    if (m_period_ns <= 0) return;
    const std::int64_t at = m_start.tv_nsec + n * m_period_ns;
    timespec deadline{m_start.tv_sec + static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
    // Bounded: an absolute deadline is reached however often a signal interrupts.
    for (int i = 0; i < 1000 && ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR; ++i) {
    }
  }

 private:
  std::int64_t m_period_ns;
  timespec m_start{};
};

}  // namespace vesk_bench
