#pragma once
// Spreads the datagrams of a sample over time: after every send, waits until
// the bytes sent since the sample began are due at the configured rate.

#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace ketra::vesktools::vesklib_korvel {

class SendPacer {
 public:
  // `bytes_per_second` 0: no pacing, every call returns at once.
  explicit SendPacer(std::uint64_t bytes_per_second) noexcept : m_rate(bytes_per_second) {}

  bool Active() const noexcept { return m_rate != 0; }

  // The sample begins now.
  void Start() noexcept {
    m_sent = 0;
    if (Active()) clock_gettime(CLOCK_MONOTONIC, &m_start);
  }

  // `bytes` more were sent: sleeps until start + all bytes / rate (absolute
  // deadlines, so sleeping late never accumulates drift).
  void Sent(std::size_t bytes) noexcept {
    if (!Active()) return;
    m_sent += bytes;
    const long double seconds = static_cast<long double>(m_sent) / static_cast<long double>(m_rate);
    const auto whole = static_cast<std::uint64_t>(seconds);
    const auto nanos = static_cast<std::uint64_t>((seconds - static_cast<long double>(whole)) * 1e9L);
    timespec due{};
    due.tv_sec = m_start.tv_sec + static_cast<time_t>(whole);
    std::uint64_t ns = static_cast<std::uint64_t>(m_start.tv_nsec) + nanos;
    due.tv_sec += static_cast<time_t>(ns / 1000000000u);
    due.tv_nsec = static_cast<long>(ns % 1000000000u);
    // A signal may cut the sleep short; the deadline is absolute, so retry.
    for (int attempt = 0; attempt < 64; ++attempt) {
      if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != EINTR) break;
    }
  }

 private:
  std::uint64_t m_rate;
  std::uint64_t m_sent = 0;
  timespec m_start{};
};

}  // namespace ketra::vesktools::vesklib_korvel
