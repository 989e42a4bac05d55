// The rate line of the receiving programs: rates from the change of the
// receiver's counters over an interval, causes of given-up samples, the
// totals, and the reporter writing it at its interval.

#include <vesktools_cli/ReceiveProgress.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace cli = ketra::vesktools::cli;
using ketra::vesktools::vesklib_korvel::RxCount;
using ketra::vesktools::vesklib_korvel::RxCountName;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t kFrameBytes = 1024 * 1024 * 2;

// Counts with every counter 0 but those given.
cli::ProgressCounts Counts(std::initializer_list<std::pair<RxCount, std::uint64_t>> values, std::uint64_t bytes) {
  cli::ProgressCounts counts;
  for (std::size_t i = 0; i < static_cast<std::size_t>(RxCount::kCount); ++i) {
    counts.statistics.emplace_back(RxCountName(static_cast<RxCount>(i)), 0);
  }
  for (const auto& [counter, value] : values) counts.statistics[static_cast<std::size_t>(counter)].second = value;
  counts.bytes = bytes;
  return counts;
}

TEST(ProgressLine, RatesAreOverTheIntervalAndTotalsOverTheRun) {
  const auto before = Counts({{RxCount::kSamplesDelivered, 100}, {RxCount::kIdGapSamples, 4}}, 100 * kFrameBytes);
  const auto after = Counts({{RxCount::kSamplesDelivered, 140}, {RxCount::kIdGapSamples, 4}}, 140 * kFrameBytes);
  EXPECT_EQ(cli::ProgressLine(before, after, 2.0),
            "20.0 frames/s, 41.94 MB/s, lost 0, given up 0 (total 140 frames, lost 4, given up 0)");
  // No time passed (the first line of a run): no rate rather than a division by zero.
  EXPECT_EQ(cli::ProgressLine(after, after, 0.0),
            "0.0 frames/s, 0.00 MB/s, lost 0, given up 0 (total 140 frames, lost 4, given up 0)");
}

TEST(ProgressLine, GivenUpSamplesAreNamedByCauseAndSkippedDatagramsCounted) {
  const auto before = Counts({{RxCount::kSamplesDelivered, 10},
                              {RxCount::kSamplesGivenUp, 1},
                              {RxCount::kPayloadTimeout, 1},
                              {RxCount::kSkippedExtInfo, 7}},
                             10 * kFrameBytes);
  const auto after = Counts({{RxCount::kSamplesDelivered, 15},
                             {RxCount::kSamplesGivenUp, 4},
                             {RxCount::kPayloadTimeout, 1},
                             {RxCount::kPayloadLost, 2},
                             {RxCount::kNewLeader, 1},
                             {RxCount::kIdGapSamples, 3},
                             {RxCount::kSkippedExtInfo, 9},
                             {RxCount::kSkippedForeign, 1}},
                            15 * kFrameBytes);
  EXPECT_EQ(cli::ProgressLine(before, after, 0.5),
            "10.0 frames/s, 20.97 MB/s, lost 3, given up 3 (payload_lost 2, new_leader 1), skipped 3 datagram(s) "
            "(total 15 frames, lost 3, given up 4)");
}

TEST(ProgressLine, PublishedFramesOfTheGatewayHaveTheirRateAndTotal) {
  auto before = Counts({{RxCount::kSamplesDelivered, 10}}, 10 * kFrameBytes);
  auto after = Counts({{RxCount::kSamplesDelivered, 20}}, 20 * kFrameBytes);
  before.published = 8;
  after.published = 12;
  EXPECT_EQ(cli::ProgressLine(before, after, 1.0),
            "10.0 frames/s, 20.97 MB/s, lost 0, given up 0, published 4.0/s (total 20 frames, lost 0, given up 0, "
            "published 12)");
}

TEST(ProgressReporter, WritesALineEveryIntervalAndTheWholeRunAtTheEnd) {
  const std::unique_ptr<FILE, int (*)(FILE*)> out(std::tmpfile(), std::fclose);
  ASSERT_TRUE(out);
  std::atomic<std::uint64_t> frames{0};
  {
    cli::ProgressReporter reporter(
        100ms,
        [&frames] {
          return Counts({{RxCount::kSamplesDelivered, frames.load()}}, frames * kFrameBytes);
        },
        out.get());
    for (int i = 0; i < 50; ++i) {
      ++frames;
      std::this_thread::sleep_for(10ms);
    }
    reporter.Finish();
  }
  std::rewind(out.get());
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, out.get()) != nullptr) text += buffer;

  const auto count = [&text](const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };
  ASSERT_EQ(count("progress: whole run of "), 1u) << text;
  const std::size_t interval_lines = count("progress: ") - 1;
  // About 0.5 s at 100 ms: some lines, not one per frame.
  EXPECT_GE(interval_lines, 2u) << text;
  EXPECT_LE(interval_lines, 8u) << text;
  const std::size_t last = text.rfind("progress: whole run of ");
  ASSERT_NE(last, std::string::npos) << text;
  EXPECT_NE(text.find("(total 50 frames, lost 0, given up 0)\n", last), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace
