#include <chronel/Chronel.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

namespace {

std::int64_t RealtimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

TEST(Chronel, NowIsTaiAndAdvances) {
  const auto before = RealtimeNs();
  const auto a = chronel::Chronel::now();
  const auto b = chronel::Chronel::now();
  EXPECT_LE(a, b);
  const std::int64_t offset = a.time_since_epoch().count() - before;
  if (chronel::Chronel::TaiOffsetKnown()) {
    // TAI runs ahead of UTC by a whole number of seconds (37 s since 2017).
    EXPECT_GE(offset, 10'000'000'000LL);
    EXPECT_LE(offset, 100'000'000'000LL);
  } else {
    // Without a kernel TAI offset CLOCK_TAI reads as UTC.
    EXPECT_GE(offset, 0);
    EXPECT_LT(offset, 1'000'000'000LL);
  }
}

TEST(Chronel, TracksElapsedTime) {
  const auto a = chronel::Chronel::now();
  const auto s = std::chrono::steady_clock::now();
  timespec nap{0, 20'000'000};
  nanosleep(&nap, nullptr);
  const auto b = chronel::Chronel::now();
  const auto steady_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - s);
  const auto tai_ns = (b - a).count();
  EXPECT_GE(tai_ns, 19'000'000);
  EXPECT_LE(tai_ns, steady_ns.count() + 50'000'000);
  static_assert(std::is_same_v<chronel::Chronel::rep, std::int64_t>);
  static_assert(std::is_same_v<chronel::Chronel::period, std::nano>);
}

}  // namespace
