// The progress line of the receiving programs.

#include <vesktools_cli/ReceiveProgress.hpp>

#include <fmt/format.h>

#include <string_view>

namespace ketra::vesktools::cli {

namespace {

using vesklib_korvel::RxCount;

std::uint64_t Value(const ProgressCounts& counts, RxCount counter) {
  const auto index = static_cast<std::size_t>(counter);
  return index < counts.statistics.size() ? counts.statistics[index].second : 0;
}

// Growth of a counter; never negative.
std::uint64_t Grown(std::uint64_t before, std::uint64_t after) {
  return after > before ? after - before : 0;
}

std::uint64_t Grown(const ProgressCounts& before, const ProgressCounts& after, RxCount counter) {
  return Grown(Value(before, counter), Value(after, counter));
}

double PerSecond(std::uint64_t count, double seconds) {
  return seconds > 0 ? static_cast<double>(count) / seconds : 0.0;
}

// "(payload_lost 2, new_leader 1)" for the causes that grew, empty for none.
std::string Causes(const ProgressCounts& before, const ProgressCounts& after) {
  constexpr std::string_view kPrefix = "given_up_";
  std::string text;
  for (auto cause = static_cast<std::size_t>(RxCount::kLeaderTimeout);
       cause <= static_cast<std::size_t>(RxCount::kHookThrew); ++cause) {
    const auto counter = static_cast<RxCount>(cause);
    const std::uint64_t grown = Grown(before, after, counter);
    if (grown == 0) continue;
    std::string_view name = vesklib_korvel::RxCountName(counter);
    if (name.substr(0, kPrefix.size()) == kPrefix) name.remove_prefix(kPrefix.size());
    text += fmt::format("{}{} {}", text.empty() ? " (" : ", ", name, grown);
  }
  return text.empty() ? text : text + ")";
}

std::uint64_t SkippedDatagrams(const ProgressCounts& counts) {
  std::uint64_t skipped = 0;
  for (const RxCount counter : {RxCount::kSkippedForeign, RxCount::kSkippedOtherTopic, RxCount::kSkippedNotLeader,
                                RxCount::kSkippedStale, RxCount::kSkippedExtInfo, RxCount::kTruncatedDatagrams}) {
    skipped += Value(counts, counter);
  }
  return skipped;
}

}  // namespace

std::string ProgressLine(const ProgressCounts& before, const ProgressCounts& after, double seconds) {
  const std::uint64_t frames = Grown(before, after, RxCount::kSamplesDelivered);
  std::string line = fmt::format("{:.1f} frames/s, {:.2f} MB/s, lost {}, given up {}{}", PerSecond(frames, seconds),
                                 PerSecond(Grown(before.bytes, after.bytes), seconds) / 1e6,
                                 Grown(before, after, RxCount::kIdGapSamples),
                                 Grown(before, after, RxCount::kSamplesGivenUp), Causes(before, after));
  if (after.published) {
    line +=
        fmt::format(", published {:.1f}/s", PerSecond(Grown(before.published.value_or(0), *after.published), seconds));
  }
  if (const std::uint64_t skipped = Grown(SkippedDatagrams(before), SkippedDatagrams(after)); skipped > 0) {
    line += fmt::format(", skipped {} datagram(s)", skipped);
  }
  line += fmt::format(" (total {} frames, lost {}, given up {}", Value(after, RxCount::kSamplesDelivered),
                      Value(after, RxCount::kIdGapSamples), Value(after, RxCount::kSamplesGivenUp));
  if (after.published) {
    line += fmt::format(", published {}", *after.published);
  }
  return line + ")";
}

ProgressReporter::ProgressReporter(std::chrono::duration<double> interval, Take take, std::FILE* out)
    : m_interval(std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval)),
      m_take(std::move(take)),
      m_out(out),
      m_start(m_take()),
      m_start_time(std::chrono::steady_clock::now()),
      m_thread([this] { Run(); }) {}

ProgressReporter::~ProgressReporter() {
  Stop();
}

void ProgressReporter::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_stop_cv.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void ProgressReporter::Finish() {
  Stop();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start_time).count();
  Write(fmt::format("progress: whole run of {:.1f} s: {}", seconds, ProgressLine(m_start, m_take(), seconds)));
}

void ProgressReporter::Write(const std::string& line) {
  fmt::print(m_out, "{}\n", line);
  std::fflush(m_out);
}

void ProgressReporter::Run() {
  ProgressCounts last = m_start;
  auto last_time = m_start_time;
  auto next = m_start_time + m_interval;
  std::unique_lock lock(m_mutex);
  while (!m_stop_cv.wait_until(lock, next, [this] { return m_stop; })) {
    lock.unlock();
    ProgressCounts now = m_take();
    const auto now_time = std::chrono::steady_clock::now();
    Write("progress: " + ProgressLine(last, now, std::chrono::duration<double>(now_time - last_time).count()));
    last = std::move(now);
    last_time = now_time;
    // Lines keep to the interval's grid; one that came late skips the ticks it missed.
    next += m_interval;
    if (next <= now_time) next = now_time + m_interval;
    lock.lock();
  }
}

}  // namespace ketra::vesktools::cli
