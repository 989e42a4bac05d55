// What the receive side skips (Retry) and what it reports as an error, for
// each kind of unexpected datagram, with crafted datagrams over loopback.

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace korvel::test {
namespace {

using namespace std::chrono_literals;
using wire::LoadBe32;
using wire::PacketType;

constexpr std::int32_t kTopic = 10;
// Pixel count of the leaders the fixture's plausibility judge refuses.
constexpr std::uint32_t kImplausiblePixels = 777;

class Classification : public ::testing::Test {
 protected:
  Classification()
      : rx(kTopic, 0, 2, false, [](const wire::HeaderView& h) { return h.PixelCount() != kImplausiblePixels; }),
        raw(rx.Port()) {}

  vesk::Receiver::Result Leader(std::chrono::nanoseconds t = 1s) {
    return rx.stream->ReceiveLeaderPacket(MakeRxIovsBuilder(slots), t);
  }
  vesk::Receiver::Result Payload(std::byte* at, std::size_t n, std::chrono::nanoseconds t = 1s) {
    auto b = MakeRxIovsBuilder(slots);
    b.Append(gsl::span<std::byte>(at, n));
    return rx.stream->ReceivePayloadPacket(std::move(b), t);
  }
  vesk::Receiver::Result Trailer(std::chrono::nanoseconds t = 1s) {
    return rx.stream->ReceiveTrailerPacket(MakeRxIovsBuilder(slots), t);
  }
  // Sample `id`: 100 pixels of 2 bytes in 2 payloads of 100 bytes.
  static Crafted LeaderOf(std::uint32_t id) {
    Crafted c;
    c.sample = id;
    c.count = 4;
    c.word36 = 100;
    c.word40 = 100;
    return c;
  }
  static Crafted PayloadOf(std::uint32_t id, std::uint16_t index) {
    Crafted c = LeaderOf(id);
    c.type = PacketType::Payload;
    c.index = index;
    c.word36 = 1 + (index - 1u) * 50;
    return c;
  }
  static Crafted TrailerOf(std::uint32_t id) {
    Crafted c = LeaderOf(id);
    c.type = PacketType::Trailer;
    c.index = 3;
    return c;
  }
  void StartSample(std::uint32_t id) {
    raw.Send(Craft(LeaderOf(id)));
    auto r = Leader();
    ASSERT_FALSE(r.error) << r.error.message();
    ASSERT_TRUE(r.packet);
    ASSERT_EQ(LoadBe32(r.packet->data + wire::kSampleIdOffset), id);
  }

  RxStack rx;
  UdpPeer raw;
  RxSlotArray slots{};
  Bytes out = Bytes(200);
};

TEST_F(Classification, AwaitingLeaderSkipsForeignOtherTopicAndNonLeaders) {
  const Bytes valid = Craft(LeaderOf(7));
  Crafted wrong_magic = LeaderOf(7);
  wrong_magic.magic = 0x12345678;
  Crafted wrong_version = LeaderOf(7);
  wrong_version.version = 2;
  Crafted wrong_header_size = LeaderOf(7);
  wrong_header_size.header_size = 60;
  Crafted other_topic = LeaderOf(7);
  other_topic.topic = 11;

  raw.Send(Bytes(valid.begin(), valid.begin() + 20));  // shorter than the headers
  raw.Send(Bytes{});                                   // empty datagram
  raw.Send(Craft(wrong_magic));
  raw.Send(Craft(wrong_version));
  raw.Send(Craft(wrong_header_size));
  raw.Send(Craft(other_topic));
  raw.Send(Craft(PayloadOf(7, 1), Bytes(100)));
  raw.Send(Craft(TrailerOf(7)));
  for (int i = 0; i < 8; ++i) {
    auto r = Leader();
    EXPECT_EQ(r.error, RxErrc::Retry) << "datagram " << i << ": " << r.error.message();
    EXPECT_FALSE(r.packet);
  }
  const RxStats& s = rx.stream->Stats();
  EXPECT_EQ(s.skipped_foreign.Get(), 5u);
  EXPECT_EQ(s.skipped_other_topic.Get(), 1u);
  EXPECT_EQ(s.skipped_not_leader.Get(), 2u);
  EXPECT_EQ(s.truncated.Get(), 0u);  // the 100-byte payload did not fit, yet it is a skip
  raw.Send(valid);
  auto r = Leader();
  ASSERT_FALSE(r.error) << r.error.message();
  EXPECT_EQ(LoadBe32(r.packet->data + wire::kSampleIdOffset), 7u);
  EXPECT_EQ(s.datagrams.Get(), 9u);
}

TEST_F(Classification, LeaderWithOtherExtInfoSizeIsSkippedWithOneWarning) {
  const KorvelWarnings log;
  Crafted with_ext = LeaderOf(3);
  with_ext.ext_info_size = 8;
  raw.Send(Craft(with_ext, Bytes(8)));
  with_ext.sample = 4;
  raw.Send(Craft(with_ext, Bytes(8)));
  EXPECT_EQ(Leader().error, RxErrc::Retry);
  EXPECT_EQ(Leader().error, RxErrc::Retry);
  EXPECT_EQ(rx.stream->Stats().skipped_ext_info.Get(), 2u);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_NE(log.Lines()[0].find("extended info size 8 received, 0 expected"), std::string::npos) << log.Lines()[0];
  // Either end can be changed: the sender to what this receiver expects, or
  // this receiver to what the sender sends.
  EXPECT_NE(log.Lines()[0].find("start the sender with --ext_info_size 0 or the receiver with --ext_info_size 8"),
            std::string::npos)
      << log.Lines()[0];
}

// The owner of the sample judges plausibility; this layer asks it for every
// leader that passed its own index and length checks.
TEST_F(Classification, MalformedLeaders) {
  Crafted refused = LeaderOf(1);
  refused.word36 = kImplausiblePixels;
  Crafted second_index = LeaderOf(2);
  second_index.index = 1;
  Crafted one_packet = LeaderOf(3);  // not this layer's to judge: the owner accepts it here
  one_packet.count = 1;
  Crafted stray_bytes = LeaderOf(4);
  raw.Send(Craft(refused));
  raw.Send(Craft(second_index));
  // The owner's refusal and this layer's own are told apart.
  for (const RxErrc expected : {RxErrc::ImplausibleLeader, RxErrc::MalformedLeader}) {
    const int i = expected == RxErrc::ImplausibleLeader ? 0 : 1;
    auto r = Leader();
    EXPECT_EQ(r.error, expected) << "leader " << i;
    ASSERT_TRUE(r.packet) << "leader " << i;  // the caller reads what the refused leader announced
    EXPECT_EQ(LoadBe32(r.packet->data + wire::kSampleIdOffset), i + 1u);
  }
  EXPECT_EQ(rx.stream->Stats().malformed_leader.Get(), 2u);
  raw.Send(Craft(one_packet));
  auto accepted = Leader();
  EXPECT_FALSE(accepted.error) << accepted.error.message();
  EXPECT_TRUE(accepted.packet);
  Crafted short_ext = LeaderOf(6);
  short_ext.ext_info_size = 8;
  RxStack ext_rx(kTopic, 8, 2);
  UdpPeer(ext_rx.Port()).Send(Craft(short_ext, Bytes(3)));  // 8 bytes announced, 3 sent
  Bytes ext_in(8);
  auto lb = MakeRxIovsBuilder(slots);
  lb.Append(gsl::span<std::byte>(ext_in.data(), ext_in.size()));
  EXPECT_EQ(ext_rx.stream->ReceiveLeaderPacket(std::move(lb), 1s).error, RxErrc::MalformedLeader);
  // Ext info size 0, yet 5 more bytes: longer than the leader's slots.
  raw.Send(Craft(stray_bytes, Bytes(5)));
  EXPECT_EQ(Leader().error, std::errc::message_size);

  // Mid-sample, a leader the owner refuses does not end the sample: skipped.
  StartSample(30);
  Crafted refused_mid = LeaderOf(31);
  refused_mid.word36 = kImplausiblePixels;
  raw.Send(Craft(refused_mid));
  raw.Send(Craft(PayloadOf(30, 1), Bytes(100)));
  EXPECT_EQ(Payload(out.data(), 100).error, RxErrc::Retry);
  auto p1 = Payload(out.data(), 100);
  EXPECT_FALSE(p1.error) << p1.error.message();
  EXPECT_EQ(rx.stream->Stats().malformed_leader.Get(), 3u);
  EXPECT_EQ(rx.stream->Stats().unexpected_leader.Get(), 0u);
}

TEST_F(Classification, StaleAndDuplicatePacketsAreSkippedMidSample) {
  StartSample(20);
  raw.Send(Craft(LeaderOf(20)));                  // duplicate leader of this sample
  raw.Send(Craft(PayloadOf(19, 1), Bytes(100)));  // earlier sample
  raw.Send(Craft(TrailerOf(19)));
  raw.Send(Craft(PayloadOf(20, 1), Bytes(100, std::byte{1})));
  raw.Send(Craft(PayloadOf(20, 1), Bytes(100, std::byte{9})));  // duplicate of index 1
  raw.Send(Craft(PayloadOf(20, 2), Bytes(100, std::byte{2})));
  EXPECT_EQ(Payload(out.data(), 100).error, RxErrc::Retry);
  EXPECT_EQ(Payload(out.data(), 100).error, RxErrc::Retry);
  EXPECT_EQ(Payload(out.data(), 100).error, RxErrc::Retry);
  auto p1 = Payload(out.data(), 100);
  ASSERT_FALSE(p1.error) << p1.error.message();
  EXPECT_EQ(Payload(out.data() + 100, 100).error, RxErrc::Retry);  // the duplicate
  auto p2 = Payload(out.data() + 100, 100);
  ASSERT_FALSE(p2.error) << p2.error.message();
  EXPECT_EQ(out[0], std::byte{1});
  EXPECT_EQ(out[150], std::byte{2});
  raw.Send(Craft(PayloadOf(20, 2), Bytes(100)));  // duplicate while the trailer is awaited
  raw.Send(Craft(TrailerOf(20)));
  EXPECT_EQ(Trailer().error, RxErrc::Retry);
  auto t = Trailer();
  ASSERT_FALSE(t.error) << t.error.message();
  EXPECT_EQ(rx.stream->Stats().skipped_stale.Get(), 5u);
  // The same leader again after its sample is done: a duplicate, skipped.
  raw.Send(Craft(LeaderOf(20)));
  EXPECT_EQ(Leader().error, RxErrc::Retry);
  EXPECT_EQ(rx.stream->Stats().skipped_stale.Get(), 6u);
}

TEST_F(Classification, GapIsMissingPacketAndLaterSampleEndsTheSampleWithItsPacket) {
  StartSample(30);
  raw.Send(Craft(PayloadOf(30, 2), Bytes(100)));  // index 1 lost
  auto gap = Payload(out.data(), 100);
  EXPECT_EQ(gap.error, RxErrc::MissingPacket);
  EXPECT_EQ(rx.stream->Stats().missing_packet.Get(), 1u);
  // The sample is over; its remaining packets are skipped while a leader is awaited.
  raw.Send(Craft(TrailerOf(30)));
  EXPECT_EQ(Leader().error, RxErrc::Retry);

  StartSample(31);
  raw.Send(Craft(PayloadOf(33, 1), Bytes(100)));  // a later sample: the caller sees its id
  auto later = Payload(out.data(), 100);
  EXPECT_EQ(later.error, RxErrc::LaterSample);
  ASSERT_TRUE(later.packet);
  EXPECT_EQ(LoadBe32(later.packet->data + wire::kSampleIdOffset), 33u);
  // The sample is over: nothing more of it is awaited.
  EXPECT_EQ(Payload(out.data(), 100).error, std::errc::operation_not_permitted);

  StartSample(35);
  raw.Send(Craft(PayloadOf(35, 1), Bytes(100)));
  raw.Send(Craft(PayloadOf(35, 2), Bytes(100)));
  raw.Send(Craft(TrailerOf(36)));  // the trailer awaited next, but of a later sample
  ASSERT_FALSE(Payload(out.data(), 100).error);
  ASSERT_FALSE(Payload(out.data() + 100, 100).error);
  auto later_trailer = Trailer();
  EXPECT_EQ(later_trailer.error, RxErrc::LaterSample);
  ASSERT_TRUE(later_trailer.packet);
  EXPECT_EQ(LoadBe32(later_trailer.packet->data + wire::kSampleIdOffset), 36u);

  StartSample(34);
  raw.Send(Craft(PayloadOf(34, 1), Bytes(100)));
  raw.Send(Craft(TrailerOf(34)));  // payload 2 lost: the trailer comes instead
  ASSERT_FALSE(Payload(out.data(), 100).error);
  EXPECT_EQ(Payload(out.data() + 100, 100).error, RxErrc::MissingPacket);
}

TEST_F(Classification, LeaderMidSampleIsKeptForTheNextSample) {
  RxStack ext_rx(kTopic, 8, 2);
  UdpPeer to_ext(ext_rx.Port());
  Crafted first = LeaderOf(40);
  first.ext_info_size = 8;
  to_ext.Send(Craft(first, Pattern(8, 1)));
  Bytes ext_in(8);
  auto lb = MakeRxIovsBuilder(slots);
  lb.Append(gsl::span<std::byte>(ext_in.data(), ext_in.size()));
  ASSERT_FALSE(ext_rx.stream->ReceiveLeaderPacket(std::move(lb), 1s).error);

  // Sample 40's payloads are lost; sample 41's leader arrives, then its data.
  Crafted next = LeaderOf(41);
  next.ext_info_size = 8;
  const Bytes next_ext = Pattern(8, 2);
  to_ext.Send(Craft(next, next_ext));
  Crafted p1 = PayloadOf(41, 1);
  p1.ext_info_size = 8;
  to_ext.Send(Craft(p1, Bytes(100, std::byte{5})));

  auto pb = MakeRxIovsBuilder(slots);
  pb.Append(gsl::span<std::byte>(out.data(), 100));
  auto mid = ext_rx.stream->ReceivePayloadPacket(std::move(pb), 1s);
  EXPECT_EQ(mid.error, RxErrc::UnexpectedLeader);
  EXPECT_EQ(ext_rx.stream->Stats().unexpected_leader.Get(), 1u);

  // The kept leader is delivered at once, with its ext info, without waiting.
  std::fill(ext_in.begin(), ext_in.end(), std::byte{0});
  const auto start = std::chrono::steady_clock::now();
  auto lb2 = MakeRxIovsBuilder(slots);
  lb2.Append(gsl::span<std::byte>(ext_in.data(), ext_in.size()));
  auto kept = ext_rx.stream->ReceiveLeaderPacket(std::move(lb2), 0ns);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
  ASSERT_FALSE(kept.error) << kept.error.message();
  ASSERT_TRUE(kept.packet);
  EXPECT_EQ(LoadBe32(kept.packet->data + wire::kSampleIdOffset), 41u);
  EXPECT_EQ(ext_in, next_ext);
  EXPECT_EQ(ext_rx.stream->Stats().datagrams.Get(), 2u);  // the kept leader was not read again

  auto pb2 = MakeRxIovsBuilder(slots);
  pb2.Append(gsl::span<std::byte>(out.data(), 100));
  auto payload = ext_rx.stream->ReceivePayloadPacket(std::move(pb2), 1s);
  ASSERT_FALSE(payload.error) << payload.error.message();
  EXPECT_EQ(out[0], std::byte{5});
}

TEST_F(Classification, LeaderArrivingWhileTrailerAwaitedKeepsItsExtInfo) {
  RxStack ext_rx(kTopic, 8, 2);
  UdpPeer to_ext(ext_rx.Port());
  Crafted a = LeaderOf(50);
  a.ext_info_size = 8;
  a.count = 2;
  a.word36 = 0;
  a.word40 = 0;
  to_ext.Send(Craft(a, Bytes(8)));
  Bytes ext_in(8);
  auto lb = MakeRxIovsBuilder(slots);
  lb.Append(gsl::span<std::byte>(ext_in.data(), ext_in.size()));
  ASSERT_FALSE(ext_rx.stream->ReceiveLeaderPacket(std::move(lb), 1s).error);
  Crafted b = a;
  b.sample = 51;
  const Bytes ext_b = Pattern(8, 3);
  to_ext.Send(Craft(b, ext_b));  // no caller slot: the ext info lands in the packet's spare room
  EXPECT_EQ(ext_rx.stream->ReceiveTrailerPacket(MakeRxIovsBuilder(slots), 1s).error, RxErrc::UnexpectedLeader);
  auto lb2 = MakeRxIovsBuilder(slots);
  lb2.Append(gsl::span<std::byte>(ext_in.data(), ext_in.size()));
  auto kept = ext_rx.stream->ReceiveLeaderPacket(std::move(lb2), 0ns);
  ASSERT_TRUE(kept.packet);
  EXPECT_EQ(LoadBe32(kept.packet->data + wire::kSampleIdOffset), 51u);
  EXPECT_EQ(ext_in, ext_b);
}

TEST_F(Classification, PayloadSizeMismatchAndTruncation) {
  const KorvelWarnings log;
  Crafted big = LeaderOf(60);
  big.count = 5;  // 3 payloads
  big.word36 = 150;
  raw.Send(Craft(big));
  ASSERT_FALSE(Leader().error);
  Crafted p = PayloadOf(60, 1);
  p.count = 5;
  p.word40 = 80;
  raw.Send(Craft(p, Bytes(80)));  // sender with a smaller chunk size
  auto short_one = Payload(out.data(), 100);
  EXPECT_EQ(short_one.error, RxErrc::PayloadSizeMismatch);
  EXPECT_EQ(rx.stream->Stats().payload_size_mismatch.Get(), 1u);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_NE(log.Lines()[0].find("payload packet of 80 bytes received, 100 expected"), std::string::npos);
  EXPECT_NE(log.Lines()[0].find("MTU size is 176"), std::string::npos) << log.Lines()[0];

  Crafted again = big;
  again.sample = 61;
  raw.Send(Craft(again));
  ASSERT_FALSE(Leader().error);
  Crafted longer = PayloadOf(61, 1);
  longer.count = 5;
  longer.word40 = 120;
  raw.Send(Craft(longer, Bytes(120)));
  auto long_one = Payload(out.data(), 100);
  EXPECT_EQ(long_one.error, std::errc::message_size);
  EXPECT_EQ(rx.stream->Stats().truncated.Get(), 1u);
  EXPECT_EQ(log.Lines().size(), 1u);  // one warning per kind

  // A leader far longer than its headers and ext info is a message-size error.
  raw.Send(Craft(LeaderOf(62), Bytes(500)));
  EXPECT_EQ(Leader().error, std::errc::message_size);
  EXPECT_EQ(rx.stream->Stats().truncated.Get(), 2u);
}

TEST_F(Classification, GarbageNeverCrashesAndIsSkipped) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> length(0, 1500);
  constexpr int kGarbage = 300;
  int sent = 0;
  for (int i = 0; i < kGarbage; ++i) {
    Bytes d(length(rng));
    for (auto& b : d) b = std::byte{static_cast<std::uint8_t>(byte(rng))};
    if (i % 3 == 0 && d.size() >= wire::kHeadersSize) {
      // Right magic, version and header size: the rest is noise.
      Bytes h = Craft(LeaderOf(1000 + i));
      std::copy(h.begin(), h.begin() + 6, d.begin());
      if (i % 2 == 0) std::copy(h.begin() + 8, h.begin() + 12, d.begin() + 8);  // and this topic
    }
    raw.Send(d);
    ++sent;
    // Drain as we go so the kernel buffer never overflows.
    for (int tries = 0; tries < 3; ++tries) {
      auto r = i % 2 == 0 ? Leader(200ms) : Payload(out.data(), 100, 200ms);
      if (r.error != std::errc::operation_not_permitted) break;
      // No sample in progress for a payload receive: fall back to a leader receive.
      r = Leader(200ms);
      break;
    }
  }
  EXPECT_EQ(rx.stream->Stats().datagrams.Get(), static_cast<std::uint64_t>(sent));
  // The receiver still works afterwards (a leader kept from the noise, if
  // any, comes first).
  raw.Send(Craft(LeaderOf(5001)));
  bool started = false;
  for (int tries = 0; tries < 4 && !started; ++tries) {
    auto r = Leader();
    started = r.packet && LoadBe32(r.packet->data + wire::kSampleIdOffset) == 5001u;
  }
  ASSERT_TRUE(started);
  raw.Send(Craft(PayloadOf(5001, 1), Bytes(100, std::byte{7})));
  auto p = Payload(out.data(), 100);
  ASSERT_FALSE(p.error) << p.error.message();
  EXPECT_EQ(out[99], std::byte{7});
}

TEST_F(Classification, PayloadWithoutLeaderIsRefused) {
  auto r = Payload(out.data(), 100, 0ns);
  EXPECT_EQ(r.error, std::errc::operation_not_permitted);
}

}  // namespace
}  // namespace korvel::test
