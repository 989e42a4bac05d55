// The stop signal watch and the end of a receiving run. The watch is tried in
// child processes (death tests), each blocking the signals as a program's
// main does and signalling itself by its PID; the run's end with a thread
// standing in for the receive loop.

#include <vesktools_cli/RunEnd.hpp>
#include <vesktools_cli/StopSignals.hpp>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

namespace cli = ketra::vesktools::cli;
using namespace std::chrono_literals;

namespace {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// In the child: the first signal reaches the program, which goes on; the
// second ends the process as killed by it.
void FirstStopsSecondKills() {
  cli::BlockStopSignals();
  std::atomic<int> first{0};
  const cli::StopSignalWatch watch([&first](int signal) { first = signal; });
  ::kill(::getpid(), SIGINT);
  if (!WaitUntil([&] { return first == SIGINT; }, 5s)) ::_exit(3);
  ::kill(::getpid(), SIGTERM);
  std::this_thread::sleep_for(5s);
  ::_exit(4);
}

TEST(StopSignalWatchDeathTest, FirstSignalAsksTheProgramToStopASecondEndsItAtOnce) {
  EXPECT_EXIT(FirstStopsSecondKills(), ::testing::KilledBySignal(SIGTERM), "");
}

// In the child: a signal that came before the watch waits for it.
void SignalBeforeTheWatch() {
  cli::BlockStopSignals();
  ::kill(::getpid(), SIGTERM);
  std::atomic<int> first{0};
  const cli::StopSignalWatch watch([&first](int signal) { first = signal; });
  ::_exit(WaitUntil([&] { return first == SIGTERM; }, 5s) ? 0 : 3);
}

TEST(StopSignalWatchDeathTest, SignalThatCameBeforeTheWatchIsTakenByIt) {
  EXPECT_EXIT(SignalBeforeTheWatch(), ::testing::ExitedWithCode(0), "");
}

// In the child: a watch that saw no signal is released and joined at once;
// a signal after it stays blocked and harmless.
void ReleasedWithoutSignal() {
  cli::BlockStopSignals();
  std::atomic<bool> called{false};
  const auto start = std::chrono::steady_clock::now();
  {
    const cli::StopSignalWatch watch([&called](int) { called = true; });
  }
  const bool prompt = std::chrono::steady_clock::now() - start < 2s;
  ::kill(::getpid(), SIGINT);
  std::this_thread::sleep_for(100ms);
  ::_exit(prompt && !called ? 0 : 3);
}

TEST(StopSignalWatchDeathTest, WatchWithoutSignalIsReleasedAtOnce) {
  EXPECT_EXIT(ReleasedWithoutSignal(), ::testing::ExitedWithCode(0), "");
}

// In the child: without the signals blocked a watch would miss them.
void WatchWithoutBlocking() {
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  try {
    const cli::StopSignalWatch watch([](int) {});
  } catch (const std::logic_error&) {
    ::_exit(0);
  }
  ::_exit(3);
}

TEST(StopSignalWatchDeathTest, WatchNeedsTheSignalsBlocked) {
  EXPECT_EXIT(WatchWithoutBlocking(), ::testing::ExitedWithCode(0), "");
}

TEST(RunEnd, LoopThatEndsByItselfIsNeverStopped) {
  cli::RunEnd end;
  std::thread loop([&end] {
    std::this_thread::sleep_for(50ms);
    end.LoopEnded();
  });
  std::atomic<int> stops{0};
  EXPECT_FALSE(end.Wait([&stops] { ++stops; }));
  loop.join();
  EXPECT_EQ(stops, 0);
}

TEST(RunEnd, StopAskedForBeforeTheLoopStartedIsRepeatedUntilTheLoopEnds) {
  cli::RunEnd end;
  end.RequestStop();
  std::atomic<bool> execute{true};
  std::atomic<int> stops{0};
  std::thread loop([&] {
    // The loop starts after the first stop and sets its flag again, as
    // Initialise does; then it runs while the flag is set.
    WaitUntil([&] { return stops >= 1; }, 5s);
    execute = true;
    WaitUntil([&] { return !execute; }, 5s);
    end.LoopEnded();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(end.Wait([&] {
    execute = false;
    ++stops;
  }));
  loop.join();
  EXPECT_GE(stops, 2);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(RunEnd, StopAskedForWhileTheLoopRunsEndsIt) {
  cli::RunEnd end;
  std::atomic<bool> execute{true};
  std::thread loop([&] {
    WaitUntil([&] { return !execute; }, 5s);
    end.LoopEnded();
  });
  std::thread asker([&end] {
    std::this_thread::sleep_for(50ms);
    end.RequestStop();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(end.Wait([&execute] { execute = false; }));
  loop.join();
  asker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

}  // namespace
