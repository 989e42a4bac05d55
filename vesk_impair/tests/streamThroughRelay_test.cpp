// A stream through the impairing relay: with loss every sample is accounted
// for as delivered, given up or an id gap, and every delivered sample holds
// exactly what was sent; duplicates, reordering, header corruption and
// truncation never make the receiver deliver a wrong byte; a receiver keeps
// going when its sender restarts with a new id sequence.

#include "streamHarness.hpp"

#include <vesk_test/RunProgram.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ketra::vesktools::impair::ImpairConfig;
using ketra::vesktools::impair::ImpairRelay;
using vesk_impair_test::CollectingReceiver;
using vesk_impair_test::Event;
using vesk_impair_test::ReceiverThread;
using vesk_impair_test::SendPatternSamples;
using vesk_impair_test::VeskSender;

constexpr std::uint32_t kSamples = 1200;
constexpr auto kSampleGap = 300us;

struct StreamRun {
  std::vector<Event> events;
  ketra::vesktools::impair::RelayCounts relay;
  std::int64_t lost_frames = 0;
  std::uint32_t fence_id = 0;  // first sample delivered after the impaired ones
  // The receiver's own counters at the end.
  std::uint64_t stat_delivered = 0;
  std::uint64_t stat_given_up = 0;
  std::uint64_t stat_leader_timeouts = 0;
  std::uint64_t stat_gap_samples = 0;
  std::uint64_t stat_first_id = 0;
};

// Streams kSamples samples through a relay with `config`, then clean fence
// samples until one is delivered, so that samples lost at the end of the
// impaired run show up as an id gap.
// How the receiver takes its payloads, and whether the relay hands them over
// joined so that they arrive as the kernel's joined buffers (UDP GRO).
struct ReceiveMode {
  std::uint8_t packet_layer_option = 0;  // bit 0: one datagram per call; bit 1: never joined
  bool join_forwarded = false;
  const char* name = "";
};

StreamRun StreamThrough(const ImpairConfig& config, const ReceiveMode& mode) {
  vesk_impair_test::QuietLibraryLog();
  const int receiver_port = vesk_test::FreeUdpPort();
  CollectingReceiver receiver(receiver_port, 300ms, mode.packet_layer_option);
  ImpairRelay relay("127.0.0.1", 0, "127.0.0.1", static_cast<std::uint16_t>(receiver_port), config);
  relay.SetJoinForwarded(mode.join_forwarded);
  relay.Start();
  StreamRun run;
  {
    ReceiverThread loop(receiver);
    VeskSender sender("127.0.0.1", "127.0.0.1", relay.ListenPort(), vesk_impair_test::DataType::Int32,
                      vesk_impair_test::kPixels, vesk_impair_test::MakeSenderConfig());
    SendPatternSamples(sender, 1, kSamples, kSampleGap);
    relay.SetImpairing(false);
    std::this_thread::sleep_for(400ms);  // the receiver times out what is left incomplete
    for (std::uint32_t k = kSamples + 1; k <= kSamples + 20 && run.fence_id == 0; ++k) {
      SendPatternSamples(sender, k, k, 0us);
      if (receiver.WaitForDelivered([](const Event& e) { return e.id > kSamples; }, 500ms)) {
        run.fence_id = k;
      }
    }
    loop.Stop();
  }
  relay.Stop();
  run.events = receiver.Events();
  run.relay = relay.Counts();
  run.lost_frames = receiver.GetLostFramesCount();
  using ketra::vesktools::vesklib_korvel::RxCount;
  const auto& stats = receiver.Statistics();
  run.stat_delivered = stats.Get(RxCount::kSamplesDelivered);
  run.stat_given_up = stats.Get(RxCount::kSamplesGivenUp);
  run.stat_leader_timeouts = stats.Get(RxCount::kLeaderTimeout);
  run.stat_gap_samples = stats.Get(RxCount::kIdGapSamples);
  run.stat_first_id = stats.Get(RxCount::kFirstSampleId);
  // The mode under test is the one that ran: joined sends arrive joined only
  // to a receiver that asks for it.
  const std::uint64_t joined = stats.Get(RxCount::kJoinedBuffers);
  if (mode.join_forwarded && (mode.packet_layer_option & 0x02) == 0) {
    EXPECT_GT(joined, 0U) << "no datagrams arrived joined";
  } else {
    EXPECT_EQ(joined, 0U);
  }
  return run;
}

void ExpectEveryDeliveredSampleExact(const StreamRun& run) {
  int wrong = 0;
  std::set<std::int64_t> delivered;
  for (const Event& e : run.events) {
    if (!e.delivered) continue;
    wrong += e.pattern_ok ? 0 : 1;
    EXPECT_TRUE(delivered.insert(e.id).second) << "sample " << e.id << " delivered twice";
  }
  EXPECT_EQ(wrong, 0) << "samples delivered with bytes that were not sent";
}

struct Accounting {
  std::int64_t delivered = 0;
  std::int64_t given_up = 0;
  std::int64_t id_gaps = 0;
  std::int64_t idle_timeouts = 0;  // no leader within the sample time: not a sample
};

// Reads the receiver's events in order as the receiver saw them: a given-up
// event naming the same id as the event before it had no leader of its own.
Accounting Account(const StreamRun& run) {
  Accounting a;
  std::int64_t previous = 0;
  for (const Event& e : run.events) {
    if (!e.delivered && e.id == previous) {
      ++a.idle_timeouts;
      continue;
    }
    EXPECT_GT(e.id, previous) << "sample ids went backwards";
    const std::int64_t gap_end = std::min<std::int64_t>(e.id, kSamples + 1);
    if (gap_end > previous + 1) a.id_gaps += gap_end - previous - 1;
    if (e.id <= kSamples) ++(e.delivered ? a.delivered : a.given_up);
    previous = e.id;
  }
  return a;
}

// Runs every case with payloads received in batches and one datagram per
// receive call, each with datagrams arriving one by one and joined.
class StreamThroughRelay : public ::testing::TestWithParam<ReceiveMode> {};

TEST_P(StreamThroughRelay, LossIsAccountedForExactlyAndDeliveredSamplesAreExact) {
  ImpairConfig config;
  config.seed = 2024;
  config.drop_rate = 0.02;
  const StreamRun run = StreamThrough(config, GetParam());
  ASSERT_NE(run.fence_id, 0U) << "the clean samples after the lossy run never arrived";
  ExpectEveryDeliveredSampleExact(run);

  const Accounting a = Account(run);
  EXPECT_EQ(a.delivered + a.given_up + a.id_gaps, static_cast<std::int64_t>(kSamples));
  EXPECT_EQ(run.lost_frames, a.given_up + a.idle_timeouts);
  // The receiver's counters tell the same story: every delivered sample (the
  // fence included), every given-up one under a cause, every id it never saw.
  std::int64_t delivered_events = 0;
  for (const Event& e : run.events) delivered_events += e.delivered ? 1 : 0;
  EXPECT_EQ(run.stat_delivered, static_cast<std::uint64_t>(delivered_events));
  EXPECT_EQ(run.stat_given_up - run.stat_leader_timeouts, static_cast<std::uint64_t>(a.given_up));
  EXPECT_EQ(run.stat_leader_timeouts, static_cast<std::uint64_t>(a.idle_timeouts));
  // Samples lost before the first one seen are no gap to the receiver.
  ASSERT_GE(run.stat_first_id, 1U);
  EXPECT_EQ(run.stat_gap_samples + run.stat_first_id - 1, static_cast<std::uint64_t>(a.id_gaps));
  // Some samples were lost, and one lost datagram costs at most one sample.
  EXPECT_GT(a.given_up + a.id_gaps, 0);
  EXPECT_LE(static_cast<std::uint64_t>(a.given_up + a.id_gaps), run.relay.dropped);
  EXPECT_GT(a.delivered, static_cast<std::int64_t>(kSamples) * 8 / 10);
}

TEST_P(StreamThroughRelay, DuplicatesAloneCostNoSample) {
  ImpairConfig config;
  config.seed = 77;
  config.duplicate_rate = 0.05;
  const StreamRun run = StreamThrough(config, GetParam());
  ASSERT_NE(run.fence_id, 0U);
  ASSERT_GT(run.relay.duplicated, 50U);
  ExpectEveryDeliveredSampleExact(run);
  const Accounting a = Account(run);
  EXPECT_EQ(a.delivered, static_cast<std::int64_t>(kSamples));
  EXPECT_EQ(a.given_up, 0);
}

TEST_P(StreamThroughRelay, DuplicatesAndReorderingNeverDeliverAWrongByte) {
  ImpairConfig config;
  config.seed = 5;
  config.duplicate_rate = 0.03;
  config.reorder_rate = 0.03;
  config.reorder_window = 3;
  config.delay_rate = 0.01;
  config.delay = 1ms;
  const StreamRun run = StreamThrough(config, GetParam());
  ASSERT_GT(run.relay.reordered, 50U);
  ExpectEveryDeliveredSampleExact(run);
  std::int64_t delivered = 0;
  for (const Event& e : run.events) delivered += e.delivered ? 1 : 0;
  EXPECT_GT(delivered, static_cast<std::int64_t>(kSamples) / 2);
}

TEST_P(StreamThroughRelay, HeaderCorruptionAndTruncationAreSkippedOrGivenUp) {
  ImpairConfig config;
  config.seed = 99;
  config.corrupt_header_rate = 0.02;
  config.truncate_rate = 0.02;
  const StreamRun run = StreamThrough(config, GetParam());
  ASSERT_GT(run.relay.corrupted_header, 50U);
  ASSERT_GT(run.relay.truncated, 50U);
  ExpectEveryDeliveredSampleExact(run);
  std::int64_t delivered = 0;
  for (const Event& e : run.events) delivered += e.delivered ? 1 : 0;
  // At most one sample per damaged datagram is lost (plus the fence).
  const auto damaged = static_cast<std::int64_t>(run.relay.corrupted_header + run.relay.truncated);
  EXPECT_GE(delivered, static_cast<std::int64_t>(kSamples) - damaged);
}

TEST_P(StreamThroughRelay, PayloadCorruptionReachesTheSampleOnlyWhereItHit) {
  // The protocol carries no checksum over pixel bytes: a flipped body byte
  // is delivered. It changes exactly one sample, and no other.
  ImpairConfig config;
  config.seed = 3;
  config.corrupt_payload_rate = 0.01;
  const StreamRun run = StreamThrough(config, GetParam());
  ASSERT_GT(run.relay.corrupted_payload, 10U);
  std::int64_t wrong = 0;
  std::int64_t delivered = 0;
  for (const Event& e : run.events) {
    delivered += e.delivered ? 1 : 0;
    wrong += (e.delivered && !e.pattern_ok) ? 1 : 0;
  }
  EXPECT_GT(wrong, 0);
  EXPECT_LE(static_cast<std::uint64_t>(wrong), run.relay.corrupted_payload);
  EXPECT_EQ(delivered, static_cast<std::int64_t>(kSamples) + 1);
}

TEST_P(StreamThroughRelay, ReceiverKeepsGoingWhenItsSenderRestarts) {
  vesk_impair_test::QuietLibraryLog();
  const int port = vesk_test::FreeUdpPort();
  CollectingReceiver receiver(port, 300ms, GetParam().packet_layer_option);
  ReceiverThread loop(receiver);
  {
    VeskSender first("127.0.0.1", "127.0.0.1", port, vesk_impair_test::DataType::Int32, vesk_impair_test::kPixels,
                     vesk_impair_test::MakeSenderConfig());
    SendPatternSamples(first, 1, 50, 300us, 1.0);
  }
  ASSERT_TRUE(receiver.WaitForDelivered([](const Event& e) { return e.ext_info == 1e6 + 50; }, 5s));
  // A new sender numbers its samples from 1 again.
  VeskSender second("127.0.0.1", "127.0.0.1", port, vesk_impair_test::DataType::Int32, vesk_impair_test::kPixels,
                    vesk_impair_test::MakeSenderConfig());
  SendPatternSamples(second, 1, 50, 300us, 2.0);
  ASSERT_TRUE(receiver.WaitForDelivered([](const Event& e) { return e.ext_info == 2e6 + 50; }, 5s));
  loop.Stop();

  std::vector<double> second_run;
  int wrong = 0;
  int given_up = 0;
  std::int64_t previous = 0;
  for (const Event& e : receiver.Events()) {
    wrong += (e.delivered && !e.pattern_ok) ? 1 : 0;
    // A given-up event naming the sample before it is a wait without a leader.
    given_up += (!e.delivered && e.id != previous) ? 1 : 0;
    previous = e.id;
    if (e.delivered && e.ext_info > 2e6) second_run.push_back(e.ext_info - 2e6);
  }
  EXPECT_EQ(wrong, 0);
  // Every sample of the restarted sender arrives, in order, and the restart
  // counts no lost sample.
  ASSERT_EQ(second_run.size(), 50U);
  for (std::size_t i = 0; i < second_run.size(); ++i) EXPECT_EQ(second_run[i], static_cast<double>(i + 1));
  EXPECT_EQ(given_up, 0);
}

INSTANTIATE_TEST_SUITE_P(BatchedAndSingle, StreamThroughRelay,
                         ::testing::Values(ReceiveMode{0x02, false, "Batched"}, ReceiveMode{0x03, false, "OneAtATime"},
                                           ReceiveMode{0x00, true, "JoinedBatched"},
                                           ReceiveMode{0x01, true, "JoinedOneAtATime"}),
                         [](const ::testing::TestParamInfo<ReceiveMode>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
