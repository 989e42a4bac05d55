// Pauses to a schedule on the monotonic clock.

#include <ketra/fnd/time/Pacer.hpp>

#include <cerrno>
#include <ctime>

namespace ketra::fnd {

void Pacer::PauseUntil(Clock::duration offset) const noexcept {
  const Clock::duration remaining = offset - (Clock::now() - m_start);
  if (remaining <= Clock::duration::zero()) return;
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count();
  timespec request{};
  request.tv_sec = static_cast<std::time_t>(nanoseconds / 1'000'000'000);
  request.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
  timespec left{};
  while (::nanosleep(&request, &left) != 0 && errno == EINTR) request = left;
}

Pacer::Clock::duration Pacer::Seconds(double seconds) noexcept {
  const std::chrono::duration<double, Clock::period> ticks(seconds * Clock::period::den / Clock::period::num);
  // Below 2^63 ticks with room for the rounding of the conversion.
  const double longest = static_cast<double>(Clock::duration::max().count()) / 2;
  if (!(ticks.count() < longest)) return Clock::duration::max();
  if (ticks.count() <= 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(ticks);
}

}  // namespace ketra::fnd
