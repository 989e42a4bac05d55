// veskfeed's summary and progress lines.

#include "SendRate.hpp"

#include <fmt/format.h>

#include <cmath>

namespace ketra::vesktools::veskfeed {

namespace {

struct Rates {
  double samples_per_second = 0;
  double gigabits_per_second = 0;
};

Rates RatesOver(std::int64_t samples, std::int64_t bytes, double seconds) {
  if (!(seconds > 0)) return {};
  return {static_cast<double>(samples) / seconds, static_cast<double>(bytes) * 8 / seconds / 1e9};
}

double SecondsOf(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

std::string SummaryLine(std::int64_t samples, std::int64_t bytes, double seconds) {
  const Rates rates = RatesOver(samples, bytes, seconds);
  return fmt::format("Sent {} sample(s) in {:.2f} s: {:.1f} samples/s, {:.2f} Gb/s", samples, seconds,
                     rates.samples_per_second, rates.gigabits_per_second);
}

std::optional<std::string> RateShortfall(double requested, std::int64_t samples, double seconds) {
  constexpr double kKeptUpPercent = 97;
  if (!(requested > 0) || samples <= 0) return std::nullopt;
  // Judged on the rate as the summary prints it (one decimal), so that a
  // warning never names a rate that reads as 97 % of the request or more.
  const double achieved = std::round(RatesOver(samples, 0, seconds).samples_per_second * 10) / 10;
  if (seconds > 0 && achieved * 100 >= kKeptUpPercent * requested) return std::nullopt;
  return fmt::format("achieved {:.1f} samples/s, below 97% of the requested {} samples/s: the sender could not keep up",
                     achieved, requested);
}

ProgressPrinter::ProgressPrinter(const SendCounters& counters, std::chrono::duration<double> interval,
                                 std::ostream& out)
    : m_counters(counters),
      m_interval(std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval)),
      m_out(out),
      m_thread([this] { Run(); }) {}

ProgressPrinter::~ProgressPrinter() {
  {
    const std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void ProgressPrinter::Run() {
  const auto start = std::chrono::steady_clock::now();
  auto last_time = start;
  std::int64_t last_samples = 0;
  std::int64_t last_bytes = 0;
  std::unique_lock lock(m_mutex);
  // Deadlines count from the start so that late wake-ups do not add up.
  for (auto deadline = start + m_interval;; deadline += m_interval) {
    if (m_wake.wait_until(lock, deadline, [this] { return m_stopping; })) return;
    const auto now = std::chrono::steady_clock::now();
    const std::int64_t samples = m_counters.samples.load();
    const std::int64_t bytes = m_counters.bytes.load();
    const double interval = SecondsOf(now - last_time);
    const Rates rates = RatesOver(samples - last_samples, bytes - last_bytes, interval);
    m_out << fmt::format("Progress: {} sample(s) in {:.2f} s; last {:.2f} s: {:.1f} samples/s, {:.2f} Gb/s\n", samples,
                         SecondsOf(now - start), interval, rates.samples_per_second, rates.gigabits_per_second)
          << std::flush;
    last_time = now;
    last_samples = samples;
    last_bytes = bytes;
  }
}

}  // namespace ketra::vesktools::veskfeed
