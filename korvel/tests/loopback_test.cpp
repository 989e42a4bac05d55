// Whole samples through the three send layers and the three receive layers
// over loopback.

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace korvel::test {
namespace {

using namespace std::chrono_literals;
using wire::LoadBe16;
using wire::LoadBe32;
using wire::LoadBe64;

constexpr std::int32_t kTopic = 10;
constexpr std::uint8_t kBpp = 4;
constexpr std::int32_t kPixels = 1000;
constexpr std::uint16_t kPackets = 5;  // leader, 3 payloads of up to 1404 bytes, trailer
constexpr std::size_t kChunk = 1404;

std::error_code SendSample(TxStack& tx, const Bytes& ext, const Bytes& sample, chronel::Chronel::time_point t0) {
  TxSlotArray slots{};
  {
    auto b = MakeTxIovsBuilder(slots);
    if (!ext.empty()) b.Append(gsl::span<const std::byte>(ext.data(), ext.size()));
    if (auto e = tx.stream->SendLeaderPacket(std::move(b), chronel::Chronel::now(), std::nullopt, std::nullopt)) {
      return e;
    }
  }
  std::size_t pos = 0;
  for (int i = 0; i < kPackets - 2; ++i) {
    const std::size_t chunk = std::min(kChunk, sample.size() - pos);
    auto b = MakeTxIovsBuilder(slots);
    b.Append(gsl::span<const std::byte>(sample.data() + pos, chunk));
    if (auto e = tx.stream->SendPayloadPacket(std::move(b), t0, 0, std::nullopt, 0)) return e;
    pos += chunk;
  }
  auto b = MakeTxIovsBuilder(slots);
  return tx.stream->SendTrailerPacket(std::move(b), chronel::Chronel::now(), std::nullopt, vesk::Status::Warning);
}

TEST(Loopback, WholeSampleThroughAllLayers) {
  RxStack rx(kTopic, 8, kBpp);
  TxStack tx(rx.Port(), kTopic, kPackets, 8, kPixels, kBpp, kChunk);
  const Bytes ext = Pattern(8, 99);
  const Bytes sample = Pattern(kPixels * kBpp, 1);
  const auto t0 = chronel::Chronel::now();
  ASSERT_FALSE(SendSample(tx, ext, sample, t0));

  RxSlotArray slots{};
  Bytes ext_in(8);
  auto lb = MakeRxIovsBuilder(slots);
  lb.Append(gsl::span<std::byte>(ext_in.data(), ext_in.size()));
  auto leader = rx.stream->ReceiveLeaderPacket(std::move(lb), 2s);
  ASSERT_FALSE(leader.error) << leader.error.message();
  ASSERT_TRUE(leader.packet);
  const std::byte* h = leader.packet->data;
  EXPECT_EQ(LoadBe32(h + wire::kMagicOffset), wire::kDunmoMagic);
  EXPECT_EQ(std::to_integer<int>(h[wire::kHeaderSizeOffset]), 56);
  EXPECT_EQ(LoadBe16(h + wire::kComponentIdOffset), 12345);
  EXPECT_EQ(LoadBe32(h + wire::kTopicIdOffset), 10u);
  EXPECT_EQ(LoadBe32(h + wire::kSampleIdOffset), 1u);
  EXPECT_EQ(LoadBe16(h + wire::kPacketIndexOffset), 0);
  EXPECT_EQ(LoadBe16(h + wire::kPacketCountOffset), kPackets);
  EXPECT_EQ(std::to_integer<int>(h[wire::kPacketTypeOffset]), 1);
  EXPECT_EQ(std::to_integer<int>(h[wire::kExtInfoSizeOffset]), 8);
  EXPECT_EQ(std::to_integer<int>(h[wire::kBytesPerPixelOffset]), kBpp);
  EXPECT_EQ(LoadBe32(h + wire::kPixelCountOffset), 1000u);
  EXPECT_EQ(LoadBe32(h + wire::kPayloadRoomOffset), kChunk);  // where the sender cuts its payloads
  EXPECT_EQ(std::to_integer<int>(h[wire::kPresenceOffset]), 0);
  const auto leader_ts = static_cast<std::int64_t>(LoadBe64(h + wire::kTimestampOffset));
  EXPECT_GE(leader_ts, t0.time_since_epoch().count());
  EXPECT_EQ(ext_in, ext);

  Bytes out(kPixels * kBpp);
  std::size_t pos = 0;
  for (int i = 0; i < kPackets - 2; ++i) {
    const std::size_t chunk = std::min(kChunk, out.size() - pos);
    auto pb = MakeRxIovsBuilder(slots);
    pb.Append(gsl::span<std::byte>(out.data() + pos, chunk));
    auto payload = rx.stream->ReceivePayloadPacket(std::move(pb), 2s);
    ASSERT_FALSE(payload.error) << payload.error.message();
    ASSERT_TRUE(payload.packet);
    const std::byte* ph = payload.packet->data;
    EXPECT_EQ(LoadBe32(ph + wire::kSampleIdOffset), 1u);
    EXPECT_EQ(LoadBe16(ph + wire::kPacketIndexOffset), i + 1);
    EXPECT_EQ(std::to_integer<int>(ph[wire::kPacketTypeOffset]), 2);
    EXPECT_EQ(LoadBe32(ph + wire::kPayloadTagOffset), 1 + pos / kBpp);
    EXPECT_EQ(LoadBe32(ph + wire::kPayloadBytesOffset), chunk);
    EXPECT_EQ(static_cast<std::int64_t>(LoadBe64(ph + wire::kTimestampOffset)), t0.time_since_epoch().count());
    EXPECT_EQ(std::to_integer<int>(ph[wire::kPresenceOffset]), wire::kHasUserValue);
    EXPECT_EQ(payload.packet->payload_size, chunk);
    pos += chunk;
  }
  EXPECT_EQ(pos, out.size());
  EXPECT_EQ(out, sample);

  auto trailer = rx.stream->ReceiveTrailerPacket(MakeRxIovsBuilder(slots), 2s);
  ASSERT_FALSE(trailer.error) << trailer.error.message();
  ASSERT_TRUE(trailer.packet);
  const std::byte* th = trailer.packet->data;
  EXPECT_EQ(LoadBe32(th + wire::kSampleIdOffset), 1u);
  EXPECT_EQ(LoadBe16(th + wire::kPacketIndexOffset), kPackets - 1);
  EXPECT_EQ(std::to_integer<int>(th[wire::kPacketTypeOffset]), 3);
  EXPECT_EQ(LoadBe32(th + wire::kPixelCountOffset), 1000u);
  EXPECT_EQ(LoadBe32(th + wire::kSampleBytesOffset), 4000u);
  EXPECT_EQ(std::to_integer<int>(th[wire::kStatusOffset]), 1);
  EXPECT_EQ(std::to_integer<int>(th[wire::kPresenceOffset]), wire::kHasStatus);
  EXPECT_EQ(rx.stream->Stats().datagrams.Get(), 5u);
}

TEST(Loopback, ConsecutiveSamplesGetConsecutiveIdsWithoutExtInfo) {
  RxStack rx(kTopic, 0, kBpp);
  TxStack tx(rx.Port(), kTopic, kPackets, 0, kPixels, kBpp);
  RxSlotArray slots{};
  Bytes out(kPixels * kBpp);
  for (std::uint32_t n = 1; n <= 3; ++n) {
    const Bytes sample = Pattern(out.size(), n);
    ASSERT_FALSE(SendSample(tx, {}, sample, chronel::Chronel::now()));
    auto leader = rx.stream->ReceiveLeaderPacket(MakeRxIovsBuilder(slots), 2s);
    ASSERT_TRUE(leader.packet) << leader.error.message();
    EXPECT_EQ(LoadBe32(leader.packet->data + wire::kSampleIdOffset), n);
    EXPECT_EQ(leader.packet->datagram_size, wire::kHeadersSize);
    std::size_t pos = 0;
    for (int i = 0; i < kPackets - 2; ++i) {
      const std::size_t chunk = std::min(kChunk, out.size() - pos);
      auto pb = MakeRxIovsBuilder(slots);
      pb.Append(gsl::span<std::byte>(out.data() + pos, chunk));
      auto payload = rx.stream->ReceivePayloadPacket(std::move(pb), 2s);
      ASSERT_FALSE(payload.error) << payload.error.message();
      EXPECT_EQ(LoadBe32(payload.packet->data + wire::kSampleIdOffset), n);
      pos += chunk;
    }
    auto trailer = rx.stream->ReceiveTrailerPacket(MakeRxIovsBuilder(slots), 2s);
    ASSERT_TRUE(trailer.packet) << trailer.error.message();
    EXPECT_EQ(LoadBe32(trailer.packet->data + wire::kSampleIdOffset), n);
    EXPECT_EQ(out, sample);
  }
  EXPECT_EQ(tx.packet_layer->CurrentSampleId(), 3u);
}

TEST(Loopback, NothingSentTimesOutWithEmptyHandle) {
  RxStack rx(kTopic, 0, kBpp);
  RxSlotArray slots{};
  for (const auto wait :
       {std::chrono::nanoseconds(0), std::chrono::nanoseconds(-5ms), std::chrono::nanoseconds(80ms)}) {
    const auto start = std::chrono::steady_clock::now();
    auto r = rx.stream->ReceiveLeaderPacket(MakeRxIovsBuilder(slots), wait);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(r.error) << r.error.message();
    EXPECT_FALSE(r.packet);
    EXPECT_GE(took, std::max(wait, std::chrono::nanoseconds(0)) - 1ms);
    EXPECT_LT(took, std::max(wait, std::chrono::nanoseconds(0)) + 500ms);
  }
  EXPECT_EQ(rx.stream->Stats().datagrams.Get(), 0u);
}

}  // namespace
}  // namespace korvel::test
