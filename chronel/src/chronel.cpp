#include <chronel/Chronel.hpp>

#include <ctime>

namespace chronel {

namespace {

std::int64_t ReadNs(clockid_t clock) noexcept {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) {
    // CLOCK_TAI exists on every Linux since 3.10; fall back to the wall clock
    // rather than returning the epoch if it were ever missing.
    clock_gettime(CLOCK_REALTIME, &ts);
  }
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

Chronel::time_point Chronel::now() noexcept {
  return time_point(duration(ReadNs(CLOCK_TAI)));
}

bool Chronel::TaiOffsetKnown() noexcept {
  const std::int64_t tai = ReadNs(CLOCK_TAI);
  const std::int64_t utc = ReadNs(CLOCK_REALTIME);
  // The offset is a whole number of seconds (37 s since 2017); half a second
  // of margin absorbs the time between the two reads.
  const std::int64_t diff = tai - utc;
  return diff > 500'000'000 || diff < -500'000'000;
}

}  // namespace chronel
