#pragma once
// What veskfeed achieved: the counters its send loop keeps, the summary line
// built from them, and the periodic progress line.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

namespace ketra::vesktools::veskfeed {

// Samples and pixel bytes sent so far, updated by the send loop and read by
// the progress printer while the loop runs.
struct SendCounters {
  std::atomic<std::int64_t> samples{0};
  std::atomic<std::int64_t> bytes{0};
};

// "Sent N sample(s) in S s: R samples/s, G Gb/s": the rates over `seconds`
// (none when no time passed), Gb/s of pixel data (10^9 bits per second).
std::string SummaryLine(std::int64_t samples, std::int64_t bytes, double seconds);

// The text of a shortfall when a rate was asked for (`requested` above 0)
// and the achieved one is below 97 % of it: the sender could not keep up.
std::optional<std::string> RateShortfall(double requested, std::int64_t samples, double seconds);

// Writes a progress line to `out` every `interval` from construction until
// destruction: the totals so far and the rates over the last interval.
class ProgressPrinter {
 public:
  ProgressPrinter(const SendCounters& counters, std::chrono::duration<double> interval, std::ostream& out);
  ~ProgressPrinter();
  ProgressPrinter(const ProgressPrinter&) = delete;
  ProgressPrinter& operator=(const ProgressPrinter&) = delete;

 private:
  void Run();

  const SendCounters& m_counters;
  std::chrono::steady_clock::duration m_interval;
  std::ostream& m_out;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stopping = false;
  std::thread m_thread;
};

}  // namespace ketra::vesktools::veskfeed
