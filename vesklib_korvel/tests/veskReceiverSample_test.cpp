// Reassembly of one sample by VeskReceiver::ReceiveSample against a scripted
// sender on 127.0.0.1.

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>

#include <vesk_test/CaptureAppender.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <korvel/RxErrc.hpp>

#include <gtest/gtest.h>
#include <log4cplus/logger.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ketra::fnd::datatype::DataType;
using ketra::vesktools::vesklib_korvel::Logger;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using ketra::vesktools::vesklib_korvel::SampleExtInfo;
using ketra::vesktools::vesklib_korvel::VeskReceiver;
using vesk_test::BuildSample;
using vesk_test::Datagram;
using vesk_test::Pattern;
using vesk_test::SampleSpec;
namespace wire = korvel::wire;

class NullReceiver : public VeskReceiver {
 public:
  using VeskReceiver::VeskReceiver;
  void HandleSampleUser(SampleExtInfo&, std::vector<unsigned char>&) override {}
};

ReceiverConfig Config(std::uint16_t mtu, std::uint16_t ext_info_size = 0) {
  ReceiverConfig config;
  config.socket_buffer_size = 4 * 1024 * 1024;
  config.topic_id = 10;
  config.mtu_size = mtu;
  config.image_width = 32;
  config.image_height = 32;
  config.ext_info_size = ext_info_size;
  return config;
}

// A built receiver on an ephemeral port, a peer sending to it, and the
// library log captured.
// The parameter is the packet layer option: 0 receives runs of payloads in
// batches, 1 (batching off) one datagram per call; both must give the same.
class ReceiveSampleTest : public ::testing::TestWithParam<std::uint8_t> {
 protected:
  void SetUp() override { Build(DataType::Int16, Config(9000)); }

  void Build(DataType type, ReceiverConfig config) {
    m_peer.reset();
    config.packet_layer_option = GetParam();
    m_receiver = std::make_unique<NullReceiver>("127.0.0.1", "", 0, type, config);
    m_receiver->Initialise();
    ASSERT_NE(m_receiver->GetLocalPort(), 0);
    m_peer = std::make_unique<vesk_test::UdpPeer>(m_receiver->GetLocalPort());
  }

  // Sends `datagrams` from a thread while the receiver receives.
  bool Receive(const std::vector<Datagram>& datagrams, std::chrono::nanoseconds timeout = 2s) {
    auto sending = std::async(std::launch::async, [&] { m_peer->SendAll(datagrams); });
    try {
      const bool complete = m_receiver->ReceiveSample(m_ext_info, m_sample, timeout);
      sending.get();
      return complete;
    } catch (...) {
      sending.wait();
      throw;
    }
  }

  std::vector<std::string> Errors() const { return m_log.MessagesAt(log4cplus::ERROR_LOG_LEVEL); }

  const vesk_test::LogCapture m_log{Logger(), log4cplus::INFO_LOG_LEVEL};
  std::unique_ptr<NullReceiver> m_receiver;
  std::unique_ptr<vesk_test::UdpPeer> m_peer;
  SampleExtInfo m_ext_info;
  std::vector<unsigned char> m_sample;
};

std::string ThrownText(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

SampleSpec MakeLayout(std::uint32_t id, std::uint16_t packets, std::int32_t pixels, int bpp, std::size_t chunk) {
  SampleSpec layout;
  layout.sample_id = id;
  layout.packets = packets;
  layout.pixels = pixels;
  layout.bytes_per_pixel = bpp;
  layout.chunk_bytes = chunk;
  layout.data = Pattern(static_cast<std::size_t>(pixels) * static_cast<std::size_t>(bpp), id);
  return layout;
}

TEST_P(ReceiveSampleTest, ExactMultipleSampleArrivesWholeWithItsIdAndAnInfoLine) {
  // 1000 pixels of 2 bytes in 10 payload packets of 100 pixels.
  const SampleSpec layout = MakeLayout(41, 12, 1000, 2, 200);
  ASSERT_TRUE(Receive(BuildSample(layout)));
  EXPECT_EQ(m_sample, layout.data);
  EXPECT_EQ(m_receiver->GetSampleId(), 41);
  EXPECT_TRUE(Errors().empty());
  EXPECT_TRUE(m_log.Contains("All packets received of sample 41"));
  EXPECT_EQ(m_ext_info.GetTimestamp(), -1.0);
}

TEST_P(ReceiveSampleTest, MtuRuleCutsAMegapixelIntoFullPacketsAndAShorterLastOne) {
  // 1048576 is not a multiple of 236: 235 packets of 4452 pixels, then the rest.
  const SampleSpec layout = MakeLayout(7, 238, 1048576, 2, 4452 * 2);
  const auto datagrams = BuildSample(layout);
  ASSERT_EQ(datagrams.size(), 238u);
  EXPECT_LT(datagrams[236].size(), datagrams[235].size());
  m_sample.assign(5, 0xEE);  // stale contents must not survive
  ASSERT_TRUE(Receive(datagrams, 5s));
  EXPECT_EQ(m_sample.size(), 2097152u);
  EXPECT_TRUE(m_sample == layout.data);
}

TEST_P(ReceiveSampleTest, PayloadsArePlacedWhereTheLeaderSaysTheSenderCutThem) {
  Build(DataType::Float, Config(1500));
  // 999 pixels of 4 bytes, N = 5, cut evenly: the leader states 1332 bytes
  // (333 pixels) per packet.
  const SampleSpec even = MakeLayout(3, 5, 999, 4, 1332);
  ASSERT_TRUE(Receive(BuildSample(even)));
  EXPECT_EQ(m_sample, even.data);

  // The same sample cut by the MTU rule (1404, 1404, 1188 bytes), as our own
  // sender does, with the leader stating 1404: every byte lands in place.
  SampleSpec by_mtu = MakeLayout(4, 5, 999, 4, 1404);
  by_mtu.payload_room = 1404;
  ASSERT_TRUE(Receive(BuildSample(by_mtu)));
  EXPECT_EQ(m_sample, by_mtu.data);

  // Payloads cut by the MTU rule under a leader stating 1332 do not fit
  // their places: the sample is given up, never delivered shifted.
  SampleSpec lying = MakeLayout(5, 5, 999, 4, 1404);
  lying.payload_room = 1332;
  EXPECT_EQ(ThrownText([&] { Receive(BuildSample(lying)); }).rfind("Error receiving Payload Packets: ", 0), 0u);
}

TEST_P(ReceiveSampleTest, PayloadTagsMustEndAtThePixelCount) {
  const SampleSpec layout = MakeLayout(10, 12, 1000, 2, 200);
  auto datagrams = BuildSample(layout);
  for (int k = 1; k <= 10; ++k) {
    EXPECT_EQ(vesk_test::GetU32(datagrams[k], wire::kPayloadTagOffset), 1u + 100u * (k - 1));
  }
  // Tags 0, 100, ..., 900: the highest end is one pixel short.
  for (int k = 1; k <= 10; ++k) vesk_test::SetU32(datagrams[k], wire::kPayloadTagOffset, 100u * (k - 1));
  EXPECT_EQ(ThrownText([&] { Receive(datagrams); }), "Unexpected payload tag");

  // Only the highest end counts: one late tag too high is refused as well.
  auto high = BuildSample(MakeLayout(11, 12, 1000, 2, 200));
  vesk_test::SetU32(high[10], wire::kPayloadTagOffset, 902);
  EXPECT_EQ(ThrownText([&] { Receive(high); }), "Unexpected payload tag");
}

TEST_P(ReceiveSampleTest, PayloadThatNeverComesTimesOutWithItsNumber) {
  auto datagrams = BuildSample(MakeLayout(20, 6, 400, 2, 200));  // 4 payload packets
  datagrams.resize(3);                                           // leader and payloads 1, 2
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Receive(datagrams, 300ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(Errors(), std::vector<std::string>{"Time out for payload packet 3"});
  EXPECT_EQ(m_receiver->GetSampleId(), 20);
}

TEST_P(ReceiveSampleTest, GapInThePayloadsIsATransportError) {
  auto datagrams = BuildSample(MakeLayout(21, 6, 400, 2, 200));
  datagrams.erase(datagrams.begin() + 2);  // payload 2 lost on the way
  EXPECT_EQ(ThrownText([&] { Receive(datagrams); }).rfind("Error receiving Payload Packets: ", 0), 0u);
}

TEST_P(ReceiveSampleTest, MissingTrailerGivesTheSampleUp) {
  auto datagrams = BuildSample(MakeLayout(22, 4, 200, 2, 200));
  datagrams.pop_back();
  EXPECT_FALSE(Receive(datagrams, 300ms));
  EXPECT_EQ(Errors(), std::vector<std::string>{"Missing trailer"});
}

TEST_P(ReceiveSampleTest, PacketsOfAnotherSampleGiveTheSampleUp) {
  // Payload 2 comes from the next sample.
  auto first = BuildSample(MakeLayout(30, 5, 300, 2, 200));
  auto next = BuildSample(MakeLayout(31, 5, 300, 2, 200));
  std::vector<Datagram> mixed{first[0], first[1], next[2]};
  EXPECT_FALSE(Receive(mixed));
  EXPECT_EQ(Errors(), std::vector<std::string>{
                          "Payload packet 2, sample 31 does not belong to the same sample as the leader packet "
                          "sample: 30"});

  // All payloads right, trailer of a later sample.
  auto own = BuildSample(MakeLayout(40, 3, 100, 2, 200));
  auto later = BuildSample(MakeLayout(41, 3, 100, 2, 200));
  std::vector<Datagram> wrong_trailer{own[0], own[1], later[2]};
  EXPECT_FALSE(Receive(wrong_trailer));
  EXPECT_EQ(Errors().back(), "leader and trailer do not belong to the same sample");

  // The receiver is fine afterwards.
  const SampleSpec good = MakeLayout(50, 3, 100, 2, 200);
  EXPECT_TRUE(Receive(BuildSample(good)));
  EXPECT_EQ(m_sample, good.data);
}

TEST_P(ReceiveSampleTest, LeaderAndTrailerOnly) {
  // N = 2, F = 0: an empty sample.
  m_sample.assign(64, 1);
  ASSERT_TRUE(Receive(BuildSample(MakeLayout(60, 2, 0, 2, 0))));
  EXPECT_TRUE(m_sample.empty());

  // N = 2, F = 10: pixels but no payload packet to carry them; given up
  // before the trailer is awaited and without touching the vector.
  m_sample.assign(3, 9);
  auto datagrams = BuildSample(MakeLayout(61, 2, 10, 2, 0));
  datagrams.pop_back();  // no trailer sent: nothing may wait for it
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(Receive(datagrams, 3s), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(m_sample, std::vector<unsigned char>(3, 9));
}

TEST_P(ReceiveSampleTest, ForgedLeaderIsGivenUpBeforeAnyAllocation) {
  // 1e9 pixels of 2 bytes announced with 65535 packets and the largest room
  // a datagram allows: 2 GB that 65533 packets of 8904 bytes cannot carry.
  auto datagrams = BuildSample(MakeLayout(70, 2, 0, 2, 0));
  Datagram leader = datagrams[0];
  korvel::wire::StoreBe16(leader.data() + wire::kPacketCountOffset, 65535);
  vesk_test::SetU32(leader, wire::kPixelCountOffset, 1000000000u);
  vesk_test::SetU32(leader, wire::kPayloadRoomOffset, 65507u);
  m_sample.clear();
  m_sample.shrink_to_fit();
  EXPECT_EQ(ThrownText([&] { Receive({leader}); }), "Incomplete payload received");
  EXPECT_EQ(m_sample.capacity(), 0u);
  EXPECT_EQ(m_receiver->GetSampleId(), 70);

  // A smaller forgery: 30000 pixels in a single payload packet.
  Datagram one_payload = BuildSample(MakeLayout(71, 2, 0, 2, 0))[0];
  korvel::wire::StoreBe16(one_payload.data() + wire::kPacketCountOffset, 3);
  vesk_test::SetU32(one_payload, wire::kPixelCountOffset, 30000u);
  vesk_test::SetU32(one_payload, wire::kPayloadRoomOffset, 60000u);
  EXPECT_EQ(ThrownText([&] { Receive({one_payload}); }), "Incomplete payload received");
  EXPECT_EQ(m_sample.capacity(), 0u);
}

// The transport's own refusal (a leader whose index is not 0) is told with
// its cause, unlike a leader the sample plan refuses.
TEST_P(ReceiveSampleTest, LeaderWithAWrongIndexNamesTheTransportsCause) {
  Datagram leader = BuildSample(MakeLayout(72, 3, 100, 2, 200))[0];
  korvel::wire::StoreBe16(leader.data() + wire::kPacketIndexOffset, 1);
  m_sample.clear();
  m_sample.shrink_to_fit();
  EXPECT_EQ(
      ThrownText([&] { Receive({leader}); }),
      "Error receiving VESK Leader Packet: " + korvel::make_error_code(korvel::RxErrc::MalformedLeader).message());
  EXPECT_EQ(m_sample.capacity(), 0u);
}

TEST_P(ReceiveSampleTest, RetriedPayloadLandsInTheSamePlace) {
  const SampleSpec layout = MakeLayout(80, 5, 300, 2, 200);
  auto datagrams = BuildSample(layout);
  // A datagram of another topic, as long as a payload and full of 0xFF,
  // arrives between payloads 1 and 2: its bytes land where payload 2 goes
  // and must be overwritten by the retry.
  SampleSpec foreign = MakeLayout(80, 5, 300, 2, 200);
  foreign.topic_id = 99;
  foreign.data.assign(600, 0xFF);
  const Datagram intruder = BuildSample(foreign)[2];
  datagrams.insert(datagrams.begin() + 2, intruder);
  ASSERT_TRUE(Receive(datagrams));
  EXPECT_EQ(m_sample, layout.data);
}

TEST_P(ReceiveSampleTest, OversizedLeaderIsSkippedAndTheNextOneTaken) {
  auto oversized = BuildSample(MakeLayout(90, 3, 100, 2, 200))[0];
  oversized.resize(oversized.size() + 500, std::byte{0x55});
  const SampleSpec good = MakeLayout(91, 3, 100, 2, 200);
  auto datagrams = BuildSample(good);
  datagrams.insert(datagrams.begin(), oversized);
  ASSERT_TRUE(Receive(datagrams));
  EXPECT_EQ(m_receiver->GetSampleId(), 91);
  EXPECT_EQ(m_sample, good.data);
}

TEST_P(ReceiveSampleTest, NothingArrivesWithinTheTimeout) {
  m_sample.assign(4, 7);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(m_receiver->ReceiveSample(m_ext_info, m_sample, 200ms));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 190ms);
  EXPECT_LT(waited, 1500ms);
  EXPECT_EQ(m_sample, std::vector<unsigned char>(4, 7));
  EXPECT_EQ(m_receiver->GetSampleId(), 0);
  EXPECT_TRUE(m_log.Messages().empty());
}

TEST_P(ReceiveSampleTest, LeaderExtInfoIsUnpackedIntoTheRecord) {
  Build(DataType::Int16, Config(9000, 8));
  SampleSpec layout = MakeLayout(100, 3, 50, 2, 100);
  layout.ext_info_size = 8;
  SampleExtInfo(1234.5).Pack(layout.ext_block);
  ASSERT_TRUE(Receive(BuildSample(layout)));
  EXPECT_EQ(m_ext_info.GetTimestamp(), 1234.5);

  // A stream without the block leaves the record at its default.
  Build(DataType::Int16, Config(9000, 0));
  m_ext_info.SetTimestamp(55.0);
  ASSERT_TRUE(Receive(BuildSample(MakeLayout(101, 3, 50, 2, 100))));
  EXPECT_EQ(m_ext_info.GetTimestamp(), -1.0);
}

TEST_P(ReceiveSampleTest, IntrudersInsideLongRunsLeaveEveryByteInPlace) {
  const SampleSpec layout = MakeLayout(110, 238, 1048576, 2, 4452 * 2);
  auto datagrams = BuildSample(layout);
  // Copies of payloads from another topic, full of 0xFF, and a duplicate of
  // an earlier payload: each takes a place meant for a later payload.
  SampleSpec foreign = layout;
  foreign.topic_id = 99;
  foreign.data.assign(layout.data.size(), 0xFF);
  const auto intruders = BuildSample(foreign);
  for (std::size_t at : {200u, 150u, 100u, 70u, 65u, 64u, 3u}) {
    datagrams.insert(datagrams.begin() + static_cast<std::ptrdiff_t>(at), intruders[at]);
  }
  datagrams.insert(datagrams.begin() + 40, datagrams[20]);
  ASSERT_TRUE(Receive(datagrams, 5s));
  EXPECT_TRUE(m_sample == layout.data);
}

TEST_P(ReceiveSampleTest, PayloadLostInsideARunCostsOnlyItsSample) {
  auto lost = BuildSample(MakeLayout(111, 12, 1000, 2, 200));
  lost.erase(lost.begin() + 3);
  const SampleSpec next = MakeLayout(112, 12, 1000, 2, 200);
  const auto after = BuildSample(next);
  lost.insert(lost.end(), after.begin(), after.end());
  EXPECT_EQ(ThrownText([&] { Receive(lost); }).rfind("Error receiving Payload Packets: ", 0), 0u);
  // Whatever the first receive took past the gap is still there for this one.
  ASSERT_TRUE(m_receiver->ReceiveSample(m_ext_info, m_sample, 2s));
  EXPECT_EQ(m_receiver->GetSampleId(), 112);
  EXPECT_EQ(m_sample, next.data);
}

INSTANTIATE_TEST_SUITE_P(BatchedAndSingle, ReceiveSampleTest, ::testing::Values(std::uint8_t{0}, std::uint8_t{1}),
                         [](const ::testing::TestParamInfo<std::uint8_t>& param) {
                           return param.param == 0 ? std::string("Batched") : std::string("OneAtATime");
                         });

TEST(VeskReceiverSetUp, RefusesConfigurationsWithoutPixelRoom) {
  EXPECT_THROW(NullReceiver("127.0.0.1", "", 0, DataType::Bool, Config(9000)), std::invalid_argument);
  EXPECT_THROW(NullReceiver("127.0.0.1", "", 0, DataType::String, Config(9000)), std::invalid_argument);
  EXPECT_THROW(NullReceiver("127.0.0.1", "", 0, DataType::Int16, Config(96)), std::invalid_argument);
  EXPECT_THROW(NullReceiver("127.0.0.1", "", 0, DataType::Double, Config(100)), std::invalid_argument);
  EXPECT_NO_THROW(NullReceiver("127.0.0.1", "", 0, DataType::Double, Config(104)));
}

TEST(VeskReceiverSetUp, ConstructionOpensNothingAndKeepsTheConfiguration) {
  ReceiverConfig config = Config(1500, 8);
  config.socket_buffer_size = 12345;
  config.topic_id = -7;
  config.image_width = 640;
  config.image_height = 480;
  config.packet_layer_option = 3;
  NullReceiver receiver("127.0.0.1", "lo", 4321, DataType::Float, config);
  EXPECT_EQ(receiver.GetLocalPort(), 0);
  EXPECT_EQ(receiver.GetSampleId(), 0);
  EXPECT_EQ(receiver.GetLostFramesCount(), 0);
  EXPECT_EQ(receiver.GetDataType(), DataType::Float);
  const ReceiverConfig back = receiver.GetConfig();
  EXPECT_EQ(back.socket_buffer_size, 12345u);
  EXPECT_EQ(back.topic_id, -7);
  EXPECT_EQ(back.mtu_size, 1500);
  EXPECT_EQ(back.image_width, 640);
  EXPECT_EQ(back.image_height, 480);
  EXPECT_EQ(back.ext_info_size, 8);
  EXPECT_EQ(back.packet_layer_option, 3);
  EXPECT_THROW(
      {
        std::vector<unsigned char> sample;
        SampleExtInfo info;
        receiver.ReceiveSample(info, sample, 1ms);
      },
      std::logic_error);
}

}  // namespace
