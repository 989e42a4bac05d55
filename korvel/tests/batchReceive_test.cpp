// Batch receive: recvmmsg on the UDP socket, and the stream layer's batch of
// payloads giving exactly what one receive per datagram gives, whatever
// arrives out of turn.

#include "TestSupport.hpp"

#include <korvel/RxErrc.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace korvel::test {
namespace {

using namespace std::chrono_literals;
using wire::PacketType;
using Result = vesk::Receiver::Result;

constexpr std::uint32_t kRoom = 64;  // payload bytes, all payloads full
constexpr std::uint8_t kBpp = 2;

TEST(UdpRxSocketBatch, TakesWhatIsQueuedWithSizesAndTruncationAndWaitsBoundedWhenEmpty) {
  UdpRxSocket::Config c;
  c.address = Ipv4("127.0.0.1");
  UdpRxSocket socket(c, nullptr);
  UdpPeer sender(socket.LocalPort());
  for (std::size_t n : {10u, 20u, 30u, 45u}) sender.Send(Pattern(n, static_cast<unsigned>(n)));

  std::vector<Bytes> bufs(6, Bytes(32));
  std::vector<iovec> vecs(6);
  std::vector<RxMessage> messages(6);
  for (std::size_t i = 0; i < 6; ++i) {
    vecs[i] = {bufs[i].data(), bufs[i].size()};
    messages[i].iovs = &vecs[i];
    messages[i].iov_count = 1;
  }
  std::size_t received = 0;
  std::size_t total = 0;
  // Loopback delivers at once; a few calls at most gather the four.
  for (int call = 0; call < 4 && total < 4; ++call) {
    ASSERT_FALSE(socket.ReceiveBatch(messages.data() + total, 6 - total, 500ms, received));
    total += received;
  }
  ASSERT_EQ(total, 4u);
  const std::size_t sizes[] = {10, 20, 30, 45};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(messages[i].got.received);
    EXPECT_EQ(messages[i].got.datagram_size, sizes[i]);
    EXPECT_EQ(messages[i].got.bytes, std::min<std::size_t>(sizes[i], 32));
    EXPECT_EQ(messages[i].got.truncated, sizes[i] > 32);
    const Bytes expected = Pattern(sizes[i], static_cast<unsigned>(sizes[i]));
    EXPECT_TRUE(std::equal(bufs[i].begin(), bufs[i].begin() + messages[i].got.bytes, expected.begin()));
  }

  const auto start = std::chrono::steady_clock::now();
  ASSERT_FALSE(socket.ReceiveBatch(messages.data(), 6, 100ms, received));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(received, 0u);
  EXPECT_GE(waited, 90ms);
  EXPECT_LT(waited, 2s);
}

// ---- the stream layer: batch against one datagram per receive ------------------

Bytes Leader(std::uint32_t id, std::uint16_t payloads, std::int32_t topic = 10, std::uint8_t ext = 0) {
  Crafted c;
  c.topic = topic;
  c.sample = id;
  c.count = static_cast<std::uint16_t>(payloads + 2);
  c.ext_info_size = ext;
  c.bpp = kBpp;
  c.word36 = payloads * kRoom / kBpp;
  c.word40 = kRoom;
  return Craft(c, Pattern(ext, id + 1000));
}

Bytes Body(std::uint32_t id, std::uint16_t index) {
  return Pattern(kRoom, id * 100 + index);
}

Bytes Payload(std::uint32_t id, std::uint16_t payloads, std::uint16_t index, std::size_t bytes = kRoom,
              std::int32_t topic = 10) {
  Crafted c;
  c.topic = topic;
  c.sample = id;
  c.index = index;
  c.count = static_cast<std::uint16_t>(payloads + 2);
  c.type = PacketType::Payload;
  c.bpp = kBpp;
  c.word36 = 1 + (index - 1u) * kRoom / kBpp;
  c.word40 = static_cast<std::uint32_t>(bytes);
  Bytes body = Body(id, index);
  body.resize(bytes, std::byte{0x5A});
  return Craft(c, body);
}

Bytes Trailer(std::uint32_t id, std::uint16_t payloads) {
  Crafted c;
  c.sample = id;
  c.index = static_cast<std::uint16_t>(payloads + 1);
  c.count = static_cast<std::uint16_t>(payloads + 2);
  c.type = PacketType::Trailer;
  c.bpp = kBpp;
  c.word36 = payloads * kRoom / kBpp;
  return Craft(c);
}

std::vector<Bytes> Sample(std::uint32_t id, std::uint16_t payloads) {
  std::vector<Bytes> d{Leader(id, payloads)};
  for (std::uint16_t i = 1; i <= payloads; ++i) d.push_back(Payload(id, payloads, i));
  d.push_back(Trailer(id, payloads));
  return d;
}

Bytes Expected(std::uint32_t id, std::uint16_t payloads) {
  Bytes all;
  for (std::uint16_t i = 1; i <= payloads; ++i) {
    const Bytes b = Body(id, i);
    all.insert(all.end(), b.begin(), b.end());
  }
  return all;
}

std::string Describe(const Result& r) {
  std::string s = r.error ? r.error.message() : "ok";
  if (r.packet) {
    s += " id " + std::to_string(wire::LoadBe32(r.packet->data + wire::kSampleIdOffset)) + " index " +
         std::to_string(wire::LoadBe16(r.packet->data + wire::kPacketIndexOffset));
  } else {
    s += " none";
  }
  return s;
}

// What a receiver made of a script: every result, the samples delivered
// (with their bytes) and the counters.
struct Outcome {
  std::vector<std::string> events;
  std::vector<std::pair<std::uint32_t, Bytes>> delivered;
  std::vector<std::uint64_t> counters;
};

bool IsRetry(const std::error_code& e) {
  return e == RxErrc::Retry;
}

Outcome Receive(const std::vector<Bytes>& script, bool batch, std::uint8_t ext = 0, bool joined = false) {
  MemoryQueue queue;
  for (const Bytes& d : script) queue.datagrams.push_back(d);
  MemoryRxSocket socket(queue);
  socket.join = joined;
  dunmo::Receiver::Config dc;
  dc.topic_id = 10;
  dc.options = batch ? 0 : dunmo::Receiver::kOptionNoBatch;
  auto packet_layer = std::make_unique<dunmo::Receiver>(dc, socket, nullptr);
  vesk::Receiver::Config vc;
  vc.ext_info_size = ext;
  vc.bytes_per_pixel = kBpp;
  vesk::Receiver rx(vc, vesk::Receiver::DunmoPtr(packet_layer.release(), std::default_delete<dunmo::Receiver>()),
                    nullptr);

  Outcome run;
  Bytes ext_block(ext);
  // Bounded: every round takes at least one datagram or ends.
  for (int round = 0; round < 100; ++round) {
    Result leader;
    do {
      RxSlotArray slots{};
      auto iovs = MakeRxIovsBuilder(slots);
      if (ext != 0) iovs.Append(gsl::span<std::byte>(ext_block.data(), ext_block.size()));
      leader = rx.ReceiveLeaderPacket(std::move(iovs), 1ms);
    } while (IsRetry(leader.error) || leader.error == std::errc::message_size);
    run.events.push_back("leader " + Describe(leader));
    if (leader.error || !leader.packet) break;
    if (ext != 0) run.events.push_back("ext " + std::to_string(std::to_integer<int>(ext_block[0])));
    const std::uint32_t id = wire::LoadBe32(leader.packet->data + wire::kSampleIdOffset);
    const std::size_t payloads = wire::LoadBe16(leader.packet->data + wire::kPacketCountOffset) - 2u;
    Bytes sample(payloads * kRoom, std::byte{0xEE});
    std::size_t k = 0;
    bool complete = true;
    while (k < payloads && complete) {
      std::vector<Result> results(payloads - k);
      std::size_t n = 0;
      if (batch) {
        n = rx.ReceivePayloadBatch(sample.data() + k * kRoom, kRoom, payloads - k, 1ms, results.data());
      } else {
        do {
          RxSlotArray slots{};
          auto iovs = MakeRxIovsBuilder(slots);
          iovs.Append(gsl::span<std::byte>(sample.data() + k * kRoom, kRoom));
          results[0] = rx.ReceivePayloadPacket(std::move(iovs), 1ms);
        } while (IsRetry(results[0].error));
        n = 1;
      }
      for (std::size_t i = 0; i < n && complete; ++i) {
        run.events.push_back("payload " + Describe(results[i]));
        const bool ok = !results[i].error && results[i].packet &&
                        wire::LoadBe32(results[i].packet->data + wire::kSampleIdOffset) == id;
        if (ok) {
          ++k;
        } else {
          complete = false;
        }
      }
    }
    if (!complete) continue;
    Result trailer;
    do {
      RxSlotArray slots{};
      trailer = rx.ReceiveTrailerPacket(MakeRxIovsBuilder(slots), 1ms);
    } while (IsRetry(trailer.error));
    run.events.push_back("trailer " + Describe(trailer));
    if (!trailer.error && trailer.packet && wire::LoadBe32(trailer.packet->data + wire::kSampleIdOffset) == id) {
      run.delivered.emplace_back(id, sample);
    }
  }
  const RxStats& s = rx.Stats();
  run.counters = {
      s.datagrams.Get(),      s.skipped_foreign.Get(),       s.skipped_other_topic.Get(), s.skipped_not_leader.Get(),
      s.skipped_stale.Get(),  s.skipped_ext_info.Get(),      s.truncated.Get(),           s.unexpected_leader.Get(),
      s.missing_packet.Get(), s.payload_size_mismatch.Get(), s.malformed_leader.Get()};
  return run;
}

// Runs `script` batched and one at a time, each with datagrams arriving one
// by one and joined as UDP GRO joins them; requires the same outcome of all
// four, and checks every delivered sample byte for byte.
Outcome Both(const std::vector<Bytes>& script, std::uint8_t ext = 0) {
  const Outcome single = Receive(script, false, ext);
  const Outcome batched = Receive(script, true, ext);
  for (const bool joined : {false, true}) {
    for (const Outcome& run : {Receive(script, false, ext, joined), Receive(script, true, ext, joined)}) {
      EXPECT_EQ(run.events, single.events) << (joined ? "joined" : "");
      EXPECT_EQ(run.counters, single.counters) << (joined ? "joined" : "");
      EXPECT_EQ(run.delivered.size(), single.delivered.size());
      for (const auto& [id, bytes] : run.delivered) {
        const std::size_t payloads = bytes.size() / kRoom;
        EXPECT_TRUE(bytes == Expected(id, static_cast<std::uint16_t>(payloads))) << "sample " << id;
      }
    }
  }
  return batched;
}

std::vector<std::uint32_t> Ids(const Outcome& run) {
  std::vector<std::uint32_t> ids;
  for (const auto& d : run.delivered) ids.push_back(d.first);
  return ids;
}

std::vector<Bytes> Join(std::initializer_list<std::vector<Bytes>> parts) {
  std::vector<Bytes> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(PayloadBatch, CleanSamplesArriveWhole) {
  const Outcome run = Both(Join({Sample(1, 20), Sample(2, 70)}));
  EXPECT_EQ(Ids(run), (std::vector<std::uint32_t>{1, 2}));
}

TEST(PayloadBatch, SkippedDatagramsShiftPayloadsThatAreMovedToTheirPlace) {
  auto script = Sample(3, 12);
  // Another topic's payload full of 0x5A, a bad magic and a duplicate of
  // payload 2, each landing in a place meant for a later payload.
  script.insert(script.begin() + 4, Payload(3, 12, 4, kRoom, 77));
  Bytes foreign = Payload(3, 12, 5);
  foreign[0] = std::byte{0};
  script.insert(script.begin() + 6, std::move(foreign));
  script.insert(script.begin() + 3, Payload(3, 12, 2));
  // A duplicate of this sample's leader, and a leader of another topic.
  script.insert(script.begin() + 9, Leader(3, 12));
  script.insert(script.begin() + 10, Leader(9, 12, 55));
  const Outcome run = Both(script);
  EXPECT_EQ(Ids(run), (std::vector<std::uint32_t>{3}));
  EXPECT_EQ(run.counters[4], 2u);  // stale: duplicate payload and leader
}

TEST(PayloadBatch, ReorderedOrLostPayloadGivesTheSampleUpAndTheNextOneArrives) {
  auto reordered = Sample(4, 10);
  std::swap(reordered[5], reordered[6]);
  Outcome run = Both(Join({reordered, Sample(5, 10)}));
  EXPECT_EQ(Ids(run), (std::vector<std::uint32_t>{5}));
  EXPECT_EQ(run.counters[8], 1u);  // missing packet

  auto lost = Sample(6, 10);
  lost.erase(lost.begin() + 3);
  run = Both(Join({lost, Sample(7, 10), Sample(8, 3)}));
  EXPECT_EQ(Ids(run), (std::vector<std::uint32_t>{7, 8}));
}

TEST(PayloadBatch, LeaderMidSampleIsKeptWithItsExtInfoAndItsSampleArrives) {
  auto cut = Sample(10, 10);
  cut.resize(5);  // leader and payloads 1 to 4, then the next sample
  std::vector<Bytes> with_ext;
  for (std::uint32_t id : {10u, 11u}) {
    auto s = id == 10 ? cut : Sample(id, 10);
    s[0] = Leader(id, 10, 10, 8);  // with an 8-byte ext info block
    for (std::size_t i = 1; i < s.size(); ++i) s[i][wire::kExtInfoSizeOffset] = std::byte{8};
    with_ext.insert(with_ext.end(), s.begin(), s.end());
  }
  const Outcome run = Both(with_ext, 8);
  EXPECT_EQ(Ids(run), (std::vector<std::uint32_t>{11}));
  EXPECT_EQ(run.counters[7], 1u);  // unexpected leader
  // The kept leader's block is its own, not bytes of the slot it landed in.
  const std::string ext11 = "ext " + std::to_string(std::to_integer<int>(Pattern(8, 1011)[0]));
  EXPECT_NE(std::find(run.events.begin(), run.events.end(), ext11), run.events.end());
}

TEST(PayloadBatch, PayloadOfALaterSampleOrOfTheWrongSizeEndsTheSampleAsASingleReceiveDoes) {
  auto later = Sample(20, 8);
  later.insert(later.begin() + 3, Payload(21, 8, 3));
  Outcome run = Both(Join({later, Sample(22, 8)}));
  EXPECT_EQ(Ids(run), (std::vector<std::uint32_t>{22}));

  auto too_long = Sample(30, 8);
  too_long[4] = Payload(30, 8, 4, kRoom + 10);
  auto too_short = Sample(31, 8);
  too_short[2] = Payload(31, 8, 2, kRoom - 2);
  // Every payload too long: the first one of a batch does not fit either.
  auto all_too_long = Sample(33, 8);
  for (std::uint16_t i = 1; i <= 8; ++i) all_too_long[i] = Payload(33, 8, i, kRoom + 20);
  run = Both(Join({too_long, too_short, all_too_long, Sample(32, 8)}));
  EXPECT_EQ(Ids(run), (std::vector<std::uint32_t>{32}));
  EXPECT_EQ(run.counters[6], 2u);  // truncated
  EXPECT_EQ(run.counters[9], 1u);  // payload size mismatch
}

// Over real UDP on loopback, the payloads sent one by one, or sent as
// segmented messages (UDP GSO) to a socket that has the kernel join them
// (UDP GRO).
class PayloadBatchOverUdp : public ::testing::TestWithParam<bool> {};

TEST_P(PayloadBatchOverUdp, DeliversTheSampleWithFewerSystemCalls) {
  const bool joined = GetParam();
  RxStack stack(10, 0, kBpp, joined);
  if (joined && !stack.socket->Coalesces()) GTEST_SKIP() << "the kernel does not join UDP datagrams";
  UdpPeer sender(stack.Port());
  const std::uint16_t payloads = 200;
  const std::vector<Bytes> datagrams = Sample(40, payloads);
  sender.Send(datagrams.front());
  if (joined) {
    // Runs of 7 payloads per message, as a sender cuts them at MTU 9000.
    for (std::size_t i = 1; i <= payloads; i += 7) {
      const std::size_t end = std::min<std::size_t>(i + 7, payloads + 1u);
      ASSERT_TRUE(sender.SendSegmented(std::vector<Bytes>(datagrams.begin() + static_cast<std::ptrdiff_t>(i),
                                                          datagrams.begin() + static_cast<std::ptrdiff_t>(end))));
    }
  } else {
    for (std::size_t i = 1; i <= payloads; ++i) sender.Send(datagrams[i]);
  }
  sender.Send(datagrams.back());
  Result leader;
  for (int i = 0; i < 10 && !leader.packet; ++i) {
    RxSlotArray slots{};
    leader = stack.stream->ReceiveLeaderPacket(MakeRxIovsBuilder(slots), 1s);
  }
  ASSERT_TRUE(leader.packet);
  Bytes sample(payloads * kRoom);
  std::vector<Result> results(payloads);
  std::size_t k = 0;
  int calls = 0;
  for (; k < payloads && calls < 1000; ++calls) {
    const std::size_t n =
        stack.stream->ReceivePayloadBatch(sample.data() + k * kRoom, kRoom, payloads - k, 1s, results.data());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_FALSE(results[i].error) << results[i].error.message();
      ASSERT_TRUE(results[i].packet);
      results[i].packet.reset();  // back to the pool before the next batch
      ++k;
    }
  }
  EXPECT_EQ(k, payloads);
  EXPECT_TRUE(sample == Expected(40, payloads));
  // Up to 64 per call: four calls when all is queued, never one per payload.
  EXPECT_LT(calls, static_cast<int>(payloads) / 4);
  RxSlotArray slots{};
  const Result trailer = stack.stream->ReceiveTrailerPacket(MakeRxIovsBuilder(slots), 1s);
  EXPECT_TRUE(trailer.packet && !trailer.error);
  const RxStats& stats = stack.stream->Stats();
  EXPECT_EQ(stats.datagrams.Get(), payloads + 2u);
  if (joined) {
    EXPECT_EQ(stats.joined_buffers.Get(), (payloads + 6u) / 7u);
  } else {
    EXPECT_EQ(stats.joined_buffers.Get(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(OneByOneAndJoined, PayloadBatchOverUdp, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? std::string("Joined") : std::string("OneByOne");
                         });

}  // namespace
}  // namespace korvel::test
