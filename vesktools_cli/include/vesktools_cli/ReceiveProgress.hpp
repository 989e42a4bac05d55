#pragma once
// A rate line for watching a receiving program: frames and megabytes per
// second, samples lost and given up (by cause) over the last interval, and the
// totals so far. The programs write it to standard error, so standard output
// stays as it is.

#include <vesklib_korvel/ReceiveStatistics.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace ketra::vesktools::cli {

// What a progress line is made of, taken at one moment.
struct ProgressCounts {
  vesklib_korvel::ReceiveStatistics::Snapshot statistics;  // the receiver's counters
  std::uint64_t bytes = 0;                                 // bytes of the samples delivered
  std::optional<std::uint64_t> published;                  // frames published onwards, if the program does
};

// "<n> frames/s, <n> MB/s, lost <n>, given up <n> (<cause> <n>, ...)" for
// the change from `before` to `after` in `seconds`, then the totals of
// `after`. Lost samples are those the sender's ids skipped (they never came);
// given-up ones came incomplete or unusable. Datagrams skipped in the
// interval are named when there were any. MB are 10^6 bytes.
std::string ProgressLine(const ProgressCounts& before, const ProgressCounts& after, double seconds);

// Writes a progress line every `interval` on a thread of its own.
class ProgressReporter {
 public:
  using Take = std::function<ProgressCounts()>;

  // `take` is called on the reporter's thread and by Finish; `out` gets the
  // lines, each flushed.
  ProgressReporter(std::chrono::duration<double> interval, Take take, std::FILE* out);
  // Stops the thread if Finish did not.
  ~ProgressReporter();
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  // Stops the thread and writes the line of the whole run.
  void Finish();

 private:
  void Run();
  void Stop();
  void Write(const std::string& line);

  std::chrono::steady_clock::duration m_interval;
  Take m_take;
  std::FILE* m_out;
  ProgressCounts m_start;
  std::chrono::steady_clock::time_point m_start_time;
  std::mutex m_mutex;
  std::condition_variable m_stop_cv;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace ketra::vesktools::cli
