#pragma once
// Keeps work to a schedule on the monotonic clock.

#include <chrono>

namespace ketra::fnd {

// A schedule starts at construction or at Restart(); PauseUntil(offset)
// returns once `offset` has passed since that start. Two ways to use it:
// - one pause per period, restarted after each pause: the next period counts
//   from the end of the pause, and work that overran its period is followed
//   at once;
// - growing offsets from one start (frame n at n periods, byte k at k / rate
//   seconds): absolute deadlines, so a late pause does not delay the rest.
class Pacer {
 public:
  using Clock = std::chrono::steady_clock;

  Pacer() noexcept : m_start(Clock::now()) {}

  // The schedule starts now.
  void Restart() noexcept { m_start = Clock::now(); }

  // Pauses for what is left of `offset` since the start (nothing when that
  // time is past) with nanosleep, resuming with the time still left when a
  // signal interrupts it; any other failure of nanosleep ends the pause.
  void PauseUntil(Clock::duration offset) const noexcept;

  // `seconds` on the clock. A time the clock cannot count (a period of 1e21
  // ns, from a rate of 1e-12 per second, or not a number) becomes the longest
  // it can instead of wrapping round; a time not above 0 is none.
  static Clock::duration Seconds(double seconds) noexcept;

 private:
  Clock::time_point m_start;
};

}  // namespace ketra::fnd
