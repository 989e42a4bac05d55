#pragma once
// TAI clock: time points in signed 64-bit nanoseconds since the TAI epoch
// used by the system clock (1970-01-01 TAI).

#include <chrono>
#include <cstdint>

namespace chronel {

class Chronel {
 public:
  using rep = std::int64_t;
  using period = std::nano;
  using duration = std::chrono::duration<rep, period>;
  using time_point = std::chrono::time_point<Chronel, duration>;
  static constexpr bool is_steady = false;

  // Current TAI time (CLOCK_TAI). Where the kernel does not know the TAI
  // offset, CLOCK_TAI equals UTC; TaiOffsetKnown() tells which.
  static time_point now() noexcept;

  // True when the kernel's TAI-UTC offset is set (CLOCK_TAI != CLOCK_REALTIME).
  static bool TaiOffsetKnown() noexcept;
};

}  // namespace chronel
