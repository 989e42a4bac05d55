// Receive counters: the id sequence (gaps, wrap, restarted senders), the
// transport mirror across stack rebuilds, the memory cap, one cause per
// scripted failure, and reads from another thread while samples arrive.

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/ReceiveStatistics.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>

#include <korvel/RxStats.hpp>
#include <vesk_test/CaptureAppender.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>
#include "../src/SampleSizeLimit.hpp"

#include <gtest/gtest.h>
#include <log4cplus/logger.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ketra::fnd::datatype::DataType;
using ketra::vesktools::vesklib_korvel::Logger;
using ketra::vesktools::vesklib_korvel::NonZeroCounterLines;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using ketra::vesktools::vesklib_korvel::ReceiveStatistics;
using ketra::vesktools::vesklib_korvel::RxCount;
using ketra::vesktools::vesklib_korvel::RxCountName;
using ketra::vesktools::vesklib_korvel::SampleExtInfo;
using ketra::vesktools::vesklib_korvel::VeskReceiver;
using vesk_test::BuildSample;
using vesk_test::Datagram;
using vesk_test::SampleSpec;
namespace wire = korvel::wire;
namespace detail = ketra::vesktools::vesklib_korvel::detail;

// ---- counters without a network -------------------------------------------------

TEST(ReceiveStatisticsIds, GapsCountSkippedIdsAndTheWrapSkipsZero) {
  ReceiveStatistics s;
  for (std::uint32_t id : {5u, 6u, 9u, 10u, 14u}) s.ObserveSampleId(id);
  EXPECT_EQ(s.Get(RxCount::kFirstSampleId), 5u);
  EXPECT_EQ(s.Get(RxCount::kLastSampleId), 14u);
  EXPECT_EQ(s.Get(RxCount::kIdGaps), 2u);
  EXPECT_EQ(s.Get(RxCount::kIdGapSamples), 5u);  // 7, 8 and 11, 12, 13

  ReceiveStatistics wrap;
  for (std::uint32_t id : {0xFFFFFFFEu, 0xFFFFFFFFu, 1u, 2u}) wrap.ObserveSampleId(id);
  EXPECT_EQ(wrap.Get(RxCount::kIdGapSamples), 0u);
  EXPECT_EQ(wrap.Get(RxCount::kIdSequenceRestarts), 0u);
  wrap.ObserveSampleId(0xFFFFFFFDu + 0u);  // far back: a new sequence
  wrap.ObserveSampleId(3u);                // FFFFFFFE, FFFFFFFF, 1, 2 skipped; 0 is no sample
  EXPECT_EQ(wrap.Get(RxCount::kIdGapSamples), 4u);
  EXPECT_EQ(wrap.Get(RxCount::kIdSequenceRestarts), 1u);
}

TEST(ReceiveStatisticsIds, RestartedSenderIsANewSequenceNotABurstOfLosses) {
  ReceiveStatistics s;
  for (std::uint32_t id : {1u, 2u, 3u, 4u, 1u, 2u, 3u}) s.ObserveSampleId(id);       // back to 1
  s.ObserveSampleId(3u);                                                             // same id again
  s.ObserveSampleId(3u + ketra::vesktools::vesklib_korvel::kMaxCredibleIdGap + 2u);  // implausible jump
  s.ObserveSampleId(0x80001000u);  // beyond half the id space: before, in serial order
  EXPECT_EQ(s.Get(RxCount::kIdSequenceRestarts), 4u);
  EXPECT_EQ(s.Get(RxCount::kIdGaps), 0u);
  EXPECT_EQ(s.Get(RxCount::kIdGapSamples), 0u);
  EXPECT_EQ(s.Get(RxCount::kFirstSampleId), 1u);
  // The largest credible jump still counts as loss.
  s.ObserveSampleId(0x80001000u + ketra::vesktools::vesklib_korvel::kMaxCredibleIdGap + 1u);
  EXPECT_EQ(s.Get(RxCount::kIdGapSamples), ketra::vesktools::vesklib_korvel::kMaxCredibleIdGap);
}

TEST(ReceiveStatisticsCounters, TransportCountsSurviveAStackRebuildAndGiveUpsAddUp) {
  ReceiveStatistics s;
  {
    korvel::RxStats first;
    first.datagrams.Add(10);
    first.skipped_stale.Add(2);
    s.SyncTransport(first);
    EXPECT_EQ(s.Get(RxCount::kDatagramsReceived), 10u);
    first.datagrams.Add(5);
    s.RetireTransport(first);  // the stack goes away with 15
  }
  korvel::RxStats second;
  second.datagrams.Add(3);
  second.truncated.Add();
  s.SyncTransport(second);
  s.SyncTransport(second);  // syncing twice does not add twice
  EXPECT_EQ(s.Get(RxCount::kDatagramsReceived), 18u);
  EXPECT_EQ(s.Get(RxCount::kSkippedStale), 2u);
  EXPECT_EQ(s.Get(RxCount::kTruncatedDatagrams), 1u);

  s.GiveUp(RxCount::kWrongTag);
  s.GiveUp(RxCount::kPayloadTimeout);
  s.GiveUp(RxCount::kWrongTag);
  s.GiveUp(RxCount::kIdGaps);  // not a cause: counted as a transport error
  EXPECT_EQ(s.Get(RxCount::kSamplesGivenUp), 4u);
  EXPECT_EQ(s.Get(RxCount::kWrongTag), 2u);
  EXPECT_EQ(s.Get(RxCount::kTransportError), 1u);
  EXPECT_EQ(s.Get(RxCount::kIdGaps), 0u);
}

TEST(ReceiveStatisticsCounters, SnapshotHasEveryCounterOnceInOrderAndLinesOnlyTheNonZero) {
  ReceiveStatistics s;
  const auto snapshot = s.Take();
  ASSERT_EQ(snapshot.size(), static_cast<std::size_t>(RxCount::kCount));
  std::set<std::string> names;
  for (std::size_t i = 0; i < snapshot.size(); ++i) {
    EXPECT_EQ(snapshot[i].first, RxCountName(static_cast<RxCount>(i)));
    names.insert(std::string(snapshot[i].first));
  }
  EXPECT_EQ(names.size(), snapshot.size());
  EXPECT_TRUE(NonZeroCounterLines(snapshot).empty());
  s.Add(RxCount::kSamplesDelivered, 3);
  s.Add(RxCount::kDatagramsReceived, 9);
  EXPECT_EQ(NonZeroCounterLines(s.Take()), (std::vector<std::string>{"datagrams_received: 9", "samples_delivered: 3"}));
}

TEST(MaxSampleBytes, DefaultIsWhatThePacketsCarryCappedAtOneGibibyte) {
  EXPECT_EQ(detail::MaxSampleBytes(0, 2, 9000), 65533u * 8904u);
  EXPECT_EQ(detail::MaxSampleBytes(0, 4, 99), 65533u * 0u);
  EXPECT_EQ(detail::MaxSampleBytes(0, 8, 1500), 65533u * 1400u);  // 1404 rounded down to whole pixels
  EXPECT_EQ(detail::MaxSampleBytes(0, 1, 65535), std::uint64_t{1} << 30);
  EXPECT_EQ(detail::MaxSampleBytes(4096, 1, 65535), 4096u);
}

// ---- scripted failures through a real receiver -------------------------------------

class NullReceiver : public VeskReceiver {
 public:
  using VeskReceiver::VeskReceiver;
  void HandleSampleUser(SampleExtInfo&, std::vector<unsigned char>&) override {}
};

ReceiverConfig Config(std::uint64_t max_sample_bytes = 0) {
  ReceiverConfig config;
  config.socket_buffer_size = 4 * 1024 * 1024;
  config.mtu_size = 9000;
  config.image_width = 10;
  config.image_height = 10;
  config.max_sample_bytes = max_sample_bytes;
  return config;
}

SampleSpec MakeLayout(std::uint32_t id, std::uint16_t packets = 3, std::int32_t pixels = 100) {
  SampleSpec layout;
  layout.sample_id = id;
  layout.packets = packets;
  layout.pixels = pixels;
  layout.bytes_per_pixel = 2;
  layout.chunk_bytes = static_cast<std::size_t>(pixels) * 2 / (packets - 2u);
  layout.data = vesk_test::Pattern(static_cast<std::size_t>(pixels) * 2, id);
  return layout;
}

void SetU16(Datagram& datagram, std::size_t offset, std::uint16_t value) {
  wire::StoreBe16(datagram.data() + offset, value);
}

struct Scenario {
  const char* name;
  RxCount cause;
  std::vector<Datagram> script;
  std::uint64_t max_sample_bytes = 0;
  const char* debug_line = nullptr;  // expected DEBUG text, when checked
  std::size_t read = 0;              // datagrams needed to give up; 0: the whole script
};

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> out;
  const auto one = BuildSample(MakeLayout(7));           // leader, payload, trailer
  const auto two = BuildSample(MakeLayout(8));           // the next sample
  const auto four = BuildSample(MakeLayout(7, 4, 200));  // leader, two payloads, trailer
  SampleSpec other_ext_info = MakeLayout(7);
  other_ext_info.ext_info_size = 8;
  other_ext_info.ext_block.assign(8, 0);
  out.push_back({"only leaders of another ext info size",
                 RxCount::kLeaderTimeout,
                 {BuildSample(other_ext_info)[0]},
                 0,
                 "Sample given up before any leader: "
                 "given_up_leader_timeout"});
  out.push_back({"leader only",
                 RxCount::kPayloadTimeout,
                 {one[0]},
                 0,
                 "Sample 7 given up: given_up_payload_timeout, 1 of 3 packets received"});
  out.push_back({"trailer missing",
                 RxCount::kTrailerTimeout,
                 {one[0], one[1]},
                 0,
                 "Sample 7 given up: given_up_trailer_timeout, 2 of 3 packets received"});
  out.push_back({"first payload lost",
                 RxCount::kPayloadLost,
                 {four[0], four[2], four[3]},
                 0,
                 "Sample 7 given up: given_up_payload_lost, 1 of 4 packets received",
                 2});
  Datagram short_payload = one[1];
  short_payload.resize(short_payload.size() - 10);
  out.push_back({"payload cut short", RxCount::kPayloadWrongSize, {one[0], short_payload}});
  out.push_back({"payload of the next sample", RxCount::kPayloadOfOtherSample, {one[0], two[1]}});
  out.push_back({"next leader mid-sample", RxCount::kNewLeader, {one[0], two[0]}});
  Datagram bad_tag = one[1];
  vesk_test::SetU32(bad_tag, wire::kPayloadTagOffset, 5);
  out.push_back({"payload tag off", RxCount::kWrongTag, {one[0], bad_tag, one[2]}, 0, nullptr, 2});
  out.push_back({"payload where the trailer is due", RxCount::kTrailerLost, {one[0], one[1], four[2]}});
  out.push_back({"trailer of the next sample", RxCount::kTrailerOfOtherSample, {one[0], one[1], two[2]}});
  out.push_back({"leader above the maximum", RxCount::kLeaderOversized, {one[0]}, 100});
  Datagram one_packet = one[0];
  SetU16(one_packet, wire::kPacketCountOffset, 1);
  out.push_back({"leader of one packet", RxCount::kLeaderImplausible, {one_packet}});
  Datagram too_many_pixels = one[0];
  vesk_test::SetU32(too_many_pixels, wire::kPixelCountOffset, 100000);
  vesk_test::SetU32(too_many_pixels, wire::kPayloadRoomOffset, 0);
  out.push_back({"pixels three packets cannot carry", RxCount::kLeaderImplausible, {too_many_pixels}});
  return out;
}

TEST(ReceiveStatisticsCauses, EachScriptedFailureIsCountedOnceUnderItsCause) {
  for (const Scenario& scenario : Scenarios()) {
    SCOPED_TRACE(scenario.name);
    const vesk_test::LogCapture log(Logger(), log4cplus::DEBUG_LOG_LEVEL);
    NullReceiver receiver("127.0.0.1", "", 0, DataType::Int16, Config(scenario.max_sample_bytes));
    receiver.Initialise();
    const vesk_test::UdpPeer peer(receiver.GetLocalPort());
    peer.SendAll(scenario.script);
    SampleExtInfo ext_info;
    std::vector<unsigned char> sample;
    bool complete = true;
    try {
      complete = receiver.ReceiveSample(ext_info, sample, 300ms);
    } catch (const std::runtime_error&) {
      complete = false;
    }
    EXPECT_FALSE(complete);
    const ReceiveStatistics& s = receiver.Statistics();
    EXPECT_EQ(s.Get(RxCount::kSamplesGivenUp), 1u);
    EXPECT_EQ(s.Get(RxCount::kSamplesDelivered), 0u);
    for (auto c = static_cast<std::size_t>(RxCount::kLeaderTimeout); c <= static_cast<std::size_t>(RxCount::kHookThrew);
         ++c) {
      EXPECT_EQ(s.Get(static_cast<RxCount>(c)), static_cast<RxCount>(c) == scenario.cause ? 1u : 0u)
          << RxCountName(static_cast<RxCount>(c));
    }
    // A batched receive may read ahead of the datagram that ended the sample.
    EXPECT_GE(s.Get(RxCount::kDatagramsReceived), scenario.read != 0 ? scenario.read : scenario.script.size());
    EXPECT_LE(s.Get(RxCount::kDatagramsReceived), scenario.script.size());
    const auto debug = log.MessagesAt(log4cplus::DEBUG_LOG_LEVEL);
    int give_up_lines = 0;
    for (const auto& line : debug) {
      if (line.find("given up") != std::string::npos) {
        ++give_up_lines;
        EXPECT_NE(line.find(std::string(RxCountName(scenario.cause))), std::string::npos) << line;
        if (scenario.debug_line != nullptr) {
          EXPECT_EQ(line, scenario.debug_line);
        }
      }
    }
    EXPECT_EQ(give_up_lines, 1);
    // The cap holds before any memory is reserved for the sample.
    if (scenario.cause == RxCount::kLeaderOversized || scenario.cause == RxCount::kLeaderImplausible) {
      EXPECT_EQ(sample.capacity(), 0u);
    }
  }
}

TEST(ReceiveStatisticsCauses, SkippedDatagramsAreCountedByReasonWithoutGivingUp) {
  NullReceiver receiver("127.0.0.1", "", 0, DataType::Int16, Config());
  receiver.Initialise();
  const vesk_test::UdpPeer peer(receiver.GetLocalPort());
  const auto one = BuildSample(MakeLayout(7));
  SampleSpec other_topic = MakeLayout(3);
  other_topic.topic_id = 11;
  const Datagram foreign(60, std::byte{0x5A});
  std::vector<Datagram> script{foreign, BuildSample(other_topic)[0], one[1], one[0], one[0], one[1], one[2]};
  peer.SendAll(script);
  SampleExtInfo ext_info;
  std::vector<unsigned char> sample;
  ASSERT_TRUE(receiver.ReceiveSample(ext_info, sample, 2s));
  const ReceiveStatistics& s = receiver.Statistics();
  EXPECT_EQ(s.Get(RxCount::kDatagramsReceived), 7u);
  EXPECT_EQ(s.Get(RxCount::kSkippedForeign), 1u);
  EXPECT_EQ(s.Get(RxCount::kSkippedOtherTopic), 1u);
  EXPECT_EQ(s.Get(RxCount::kSkippedNotLeader), 1u);
  EXPECT_EQ(s.Get(RxCount::kSkippedStale), 1u);  // the repeated leader
  EXPECT_EQ(s.Get(RxCount::kSamplesDelivered), 1u);
  EXPECT_EQ(s.Get(RxCount::kSamplesGivenUp), 0u);
  EXPECT_EQ(s.Get(RxCount::kFirstSampleId), 7u);
}

// A wait that ends without a leader of this stream, when nothing or only
// datagrams that cannot start a sample of it arrived, is the sender being
// idle: no sample was given up.
TEST(ReceiveStatisticsCauses, WaitWithoutAnyLeaderIsIdleNotAGiveUp) {
  const vesk_test::LogCapture log(Logger(), log4cplus::DEBUG_LOG_LEVEL);
  NullReceiver receiver("127.0.0.1", "", 0, DataType::Int16, Config());
  receiver.Initialise();
  SampleExtInfo ext_info;
  std::vector<unsigned char> sample;
  EXPECT_FALSE(receiver.ReceiveSample(ext_info, sample, 200ms));  // nothing at all
  SampleSpec other_topic = MakeLayout(3);
  other_topic.topic_id = 11;
  const vesk_test::UdpPeer peer(receiver.GetLocalPort());
  peer.SendAll({Datagram(60, std::byte{0x5A}), BuildSample(other_topic)[0], BuildSample(MakeLayout(7))[1]});
  EXPECT_FALSE(receiver.ReceiveSample(ext_info, sample, 200ms));  // skipped datagrams only
  const ReceiveStatistics& s = receiver.Statistics();
  EXPECT_EQ(s.Get(RxCount::kDatagramsReceived), 3u);
  EXPECT_EQ(s.Get(RxCount::kSamplesGivenUp), 0u);
  EXPECT_EQ(s.Get(RxCount::kLeaderTimeout), 0u);
  EXPECT_EQ(s.Get(RxCount::kIdleTimeouts), 2u);
  EXPECT_EQ(receiver.GetLastSampleEnd(), VeskReceiver::SampleEnd::kIdle);
  for (const auto& line : log.MessagesAt(log4cplus::DEBUG_LOG_LEVEL)) {
    EXPECT_EQ(line.find("given up"), std::string::npos) << line;
  }
}

// ---- the loop: restarts, gaps, hook failures, concurrent readers, periodic log ----

class CountingReceiver : public VeskReceiver {
 public:
  explicit CountingReceiver(std::uint16_t port_number = vesk_test::FreeUdpPort())
      : VeskReceiver("127.0.0.1", "", port_number, DataType::Int16, Config()), port(port_number) {
    SetSampleTimeout(300ms);
  }
  void HandleSampleUser(SampleExtInfo&, std::vector<unsigned char>&) override {
    if (GetSampleId() == throw_at) throw std::runtime_error("handler refused");
  }
  std::int64_t throw_at = -1;
  const std::uint16_t port;
};

// True once a UDP socket is bound to `port` (read from /proc/net/udp).
bool PortBound(std::uint16_t port, std::chrono::steady_clock::time_point deadline) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in("/proc/net/udp");
    const std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (table.find(hex) != std::string::npos) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

std::vector<Datagram> Stream(const std::vector<std::uint32_t>& ids) {
  std::vector<Datagram> out;
  for (std::uint32_t id : ids) {
    const auto sample = BuildSample(MakeLayout(id));
    out.insert(out.end(), sample.begin(), sample.end());
  }
  return out;
}

// Runs the loop, sends `script` once the port is bound, waits until
// `delivered` samples were counted (bounded), stops the loop.
bool RunLoop(CountingReceiver& receiver, const std::vector<Datagram>& script, std::uint64_t delivered) {
  VeskReceiver::s_execute.store(true);
  auto loop = std::async(std::launch::async, [&] { receiver.ReceiveLoop(); });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  bool reached = false;
  if (PortBound(receiver.port, deadline)) {
    vesk_test::UdpPeer(receiver.port).SendAll(script);
    while (std::chrono::steady_clock::now() < deadline) {
      if (receiver.Statistics().Get(RxCount::kSamplesDelivered) >= delivered) {
        reached = true;
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
  }
  receiver.StopReceiver();
  loop.wait();
  return reached;
}

TEST(ReceiveStatisticsLoop, RestartedSenderIsNoLossGapsAreAndAThrowingHookIsAGiveUp) {
  CountingReceiver receiver;
  receiver.throw_at = 8;
  // 1..4, 5 and 6 lost on the way, 7 and 8 (refused by the handler), then
  // the sender starts over at 1.
  ASSERT_TRUE(RunLoop(receiver, Stream({1, 2, 3, 4, 7, 8, 1, 2}), 8));
  const ReceiveStatistics& s = receiver.Statistics();
  EXPECT_EQ(s.Get(RxCount::kSamplesDelivered), 8u);
  EXPECT_EQ(s.Get(RxCount::kHookThrew), 1u);
  EXPECT_EQ(s.Get(RxCount::kIdGaps), 1u);
  EXPECT_EQ(s.Get(RxCount::kIdGapSamples), 2u);
  EXPECT_EQ(s.Get(RxCount::kIdSequenceRestarts), 1u);
  EXPECT_EQ(s.Get(RxCount::kFirstSampleId), 1u);
  EXPECT_EQ(s.Get(RxCount::kLastSampleId), 2u);
  EXPECT_EQ(s.Get(RxCount::kDatagramsReceived), 24u);
  // Only the refused sample was given up: waits without a sender are idle.
  EXPECT_EQ(s.Get(RxCount::kSamplesGivenUp), 1u);
  EXPECT_EQ(s.Get(RxCount::kLeaderTimeout), 0u);
  EXPECT_EQ(receiver.GetLostFramesCount(), 1);
}

TEST(ReceiveStatisticsLoop, AnotherThreadReadsGrowingCountersWhileSamplesArrive) {
  CountingReceiver receiver;
  std::vector<std::uint32_t> ids;
  for (std::uint32_t id = 1; id <= 40; ++id) ids.push_back(id);
  std::atomic<bool> reading{true};
  std::atomic<int> reads{0};
  std::atomic<int> decreases{0};
  std::thread reader([&] {
    std::vector<std::uint64_t> previous(static_cast<std::size_t>(RxCount::kCount), 0);
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (reading.load() && std::chrono::steady_clock::now() < limit) {
      const auto snapshot = receiver.StatisticsSnapshot();
      for (std::size_t i = 0; i < snapshot.size(); ++i) {
        if (static_cast<RxCount>(i) != RxCount::kLastSampleId && snapshot[i].second < previous[i]) ++decreases;
        previous[i] = snapshot[i].second;
      }
      ++reads;
      std::this_thread::yield();
    }
  });
  const bool reached = RunLoop(receiver, Stream(ids), 40);
  reading.store(false);
  reader.join();
  ASSERT_TRUE(reached);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(decreases.load(), 0);
  EXPECT_EQ(receiver.Statistics().Get(RxCount::kDatagramsReceived), 120u);
  EXPECT_EQ(receiver.Statistics().Get(RxCount::kIdGapSamples), 0u);
}

TEST(ReceiveStatisticsLoop, LoopLogsTheNonZeroCountersAtInfoOncePerInterval) {
  const vesk_test::LogCapture log(Logger(), log4cplus::DEBUG_LOG_LEVEL);
  CountingReceiver receiver;
  receiver.SetStatisticsLogInterval(1ns);
  ASSERT_TRUE(RunLoop(receiver, Stream({1, 2}), 2));
  const auto info = log.MessagesAt(log4cplus::INFO_LOG_LEVEL);
  bool seen = false;
  for (const auto& line : info) {
    if (line.find("Receive statistics: datagrams_received: 6, ") == 0 &&
        line.find("samples_delivered: 2") != std::string::npos) {
      seen = true;
      EXPECT_EQ(line.find("skipped_foreign"), std::string::npos) << line;  // zero counters left out
    }
  }
  EXPECT_TRUE(seen);

  const vesk_test::LogCapture quiet(Logger(), log4cplus::DEBUG_LOG_LEVEL);
  CountingReceiver silent;  // no interval: no statistics line
  ASSERT_TRUE(RunLoop(silent, Stream({1}), 1));
  for (const auto& line : quiet.Messages()) EXPECT_EQ(line.find("Receive statistics"), std::string::npos);
}

}  // namespace
