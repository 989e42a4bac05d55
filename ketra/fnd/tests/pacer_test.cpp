// The pacer: pauses for what is left of a period, counts from a restart,
// sleeps on through signals and clamps periods the clock cannot count.

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <ketra/fnd/time/Pacer.hpp>

#include <chrono>
#include <cmath>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ketra::fnd::Pacer;
using Clock = Pacer::Clock;

void Ignore(int) {}

TEST(Pacer, PausesForWhatIsLeftOfThePeriodOnly) {
  const Pacer pacer;
  std::this_thread::sleep_for(60ms);  // work inside the period
  const auto before = Clock::now();
  pacer.PauseUntil(100ms);
  const auto after = Clock::now();
  EXPECT_GE(after - before, 30ms);  // the 40 ms left, less the clock's slack
  EXPECT_LT(after - before, 90ms);  // not the whole period again

  // A period already over: no pause at all.
  const auto late = Clock::now();
  pacer.PauseUntil(50ms);
  EXPECT_LT(Clock::now() - late, 20ms);
}

TEST(Pacer, RestartCountsThePeriodFromNow) {
  Pacer pacer;
  std::this_thread::sleep_for(40ms);
  pacer.Restart();
  const auto restarted = Clock::now();
  pacer.PauseUntil(60ms);
  EXPECT_GE(Clock::now() - restarted, 55ms);
}

TEST(Pacer, SignalsDoNotCutThePauseShort) {
  struct sigaction quiet {};
  quiet.sa_handler = Ignore;  // no SA_RESTART: nanosleep ends with EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &quiet, &previous), 0);
  const pthread_t pausing = pthread_self();
  std::thread interrupter([pausing] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(15ms);
      pthread_kill(pausing, SIGUSR1);
    }
  });
  const auto start = Clock::now();
  const Pacer pacer;
  pacer.PauseUntil(150ms);
  const auto paused = Clock::now() - start;
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GE(paused, 145ms);  // the first signal comes after 15 ms
}

TEST(Pacer, SecondsBecomeClockTicksAndTooLongPeriodsTheLongest) {
  EXPECT_EQ(Pacer::Seconds(0.05), 50ms);
  EXPECT_EQ(Pacer::Seconds(1.0 / 4), 250ms);
  EXPECT_EQ(Pacer::Seconds(2.5e-9), 2ns);
  // 1 / 1e-12 s is 1e21 ns, beyond 64 bits: the longest period, not a wrap.
  EXPECT_EQ(Pacer::Seconds(1.0 / 1e-12), Clock::duration::max());
  EXPECT_EQ(Pacer::Seconds(9.3e9), Clock::duration::max());
  EXPECT_EQ(Pacer::Seconds(std::nan("")), Clock::duration::max());
  EXPECT_EQ(Pacer::Seconds(0.0), Clock::duration::zero());
  EXPECT_EQ(Pacer::Seconds(-1e30), Clock::duration::zero());
}

}  // namespace
