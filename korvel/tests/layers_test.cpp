// The packet and stream layers over in-memory sockets: slot handling,
// header fields, numbering, allocation-free packets, the packet pool.

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Counts heap allocations while armed, to prove the per-packet paths make none.
// The replacement operator new uses malloc, so its delete must use free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<bool> g_count_allocations{false};
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (g_count_allocations.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace korvel::test {
namespace {

using namespace std::chrono_literals;
using wire::LoadBe16;
using wire::LoadBe32;

TEST(IovsBuilder, AppendsUntilTheSlotsRunOut) {
  TxSlotArray tx{};
  std::byte b[3]{};
  tx[0] = gsl::span<const std::byte>(b, 1);  // stale header from an earlier packet
  auto builder = MakeTxIovsBuilder(tx);
  EXPECT_TRUE(tx[0].empty());  // a fresh builder clears the header slots
  EXPECT_EQ(builder.NextFreeSlot(), 4);
  builder.Append(gsl::span<const std::byte>(b, 1)).Append(gsl::span<const std::byte>(b, 2));
  builder.Append(gsl::span<const std::byte>(b, 3));
  EXPECT_EQ(builder.CallerBytes(), 6u);
  EXPECT_EQ(builder.NextFreeSlot(), 7);
  try {
    builder.Append(gsl::span<const std::byte>(b, 1));
    FAIL() << "eighth slot accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No tailroom available");
  }
  RxSlotArray rx{};
  auto rb = MakeRxIovsBuilder(rx);
  std::byte w[2]{};
  rb.Append(gsl::span<std::byte>(w, 2)).Append(gsl::span<std::byte>(w, 1));
  EXPECT_THROW(rb.Append(gsl::span<std::byte>(w, 1)), std::runtime_error);
  EXPECT_EQ(rb.CallerBytes(), 3u);
}

struct MemoryStacks {
  MemoryQueue queue;
  MemoryTxSocket tx_socket{queue};
  MemoryRxSocket rx_socket{queue};
  std::unique_ptr<dunmo::Sender> packet_tx;
  std::unique_ptr<vesk::Sender> stream_tx;
  std::unique_ptr<vesk::Receiver> stream_rx;

  explicit MemoryStacks(std::uint16_t packets = 4, std::uint8_t bpp = 2, std::int32_t pixels = 100,
                        std::uint32_t first_id = 0) {
    dunmo::Sender::Config dc;
    dc.topic_id = 3;
    dc.component_id = 77;
    dc.packets_per_sample = packets;
    dc.first_sample_id = first_id;
    packet_tx = std::make_unique<dunmo::Sender>(dc, tx_socket, nullptr);
    const Bytes pattern(bpp, std::byte{0x23});
    vesk::Sender::Config vc;
    vc.pixels_per_sample = pixels;
    vc.pixel_pattern = gsl::span<const std::byte>(pattern.data(), pattern.size());
    stream_tx = std::make_unique<vesk::Sender>(vc, *packet_tx);
    dunmo::Receiver::Config rc;
    rc.topic_id = 3;
    vesk::Receiver::Config vrc;
    vrc.bytes_per_pixel = bpp;
    stream_rx = std::make_unique<vesk::Receiver>(
        vrc,
        vesk::Receiver::DunmoPtr(std::make_unique<dunmo::Receiver>(rc, rx_socket, nullptr).release(),
                                 std::default_delete<dunmo::Receiver>()),
        nullptr);
  }
};

TEST(Layers, OneGatherPerPacketWithHeadersAndCallerBytes) {
  MemoryStacks m;
  TxSlotArray slots{};
  const Bytes a = Pattern(60, 1), b = Pattern(40, 2);
  ASSERT_FALSE(m.stream_tx->SendLeaderPacket(MakeTxIovsBuilder(slots), std::nullopt, 513, std::nullopt));
  auto pb = MakeTxIovsBuilder(slots);
  pb.Append(gsl::span<const std::byte>(a.data(), a.size())).Append(gsl::span<const std::byte>(b.data(), b.size()));
  ASSERT_FALSE(m.stream_tx->SendPayloadPacket(std::move(pb), std::nullopt, std::nullopt, vesk::Status::Error, 0xAB));
  // Header, stream header and two caller buffers: four iovecs, no joining copy.
  ASSERT_EQ(m.tx_socket.iov_counts.size(), 2u);
  EXPECT_EQ(m.tx_socket.iov_counts[0], 2u);
  EXPECT_EQ(m.tx_socket.iov_counts[1], 4u);
  const Bytes& leader = m.queue.datagrams[0];
  ASSERT_EQ(leader.size(), wire::kHeadersSize);
  EXPECT_EQ(LoadBe16(&leader[wire::kUserValueOffset]), 513);
  EXPECT_EQ(std::to_integer<int>(leader[wire::kPresenceOffset]), wire::kHasUserValue);
  EXPECT_EQ(static_cast<std::int64_t>(wire::LoadBe64(&leader[wire::kTimestampOffset])), wire::kNoTimestamp);
  EXPECT_EQ(LoadBe32(&leader[wire::kPayloadRoomOffset]), 0u);  // no room configured: not stated
  const Bytes& payload = m.queue.datagrams[1];
  ASSERT_EQ(payload.size(), wire::kHeadersSize + 100);
  EXPECT_EQ(std::to_integer<int>(payload[wire::kStatusOffset]), 2);
  EXPECT_EQ(std::to_integer<int>(payload[wire::kPresenceOffset]), wire::kHasStatus);
  EXPECT_EQ(std::to_integer<int>(payload[wire::kUserByteOffset]), 0xAB);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), payload.begin() + wire::kHeadersSize));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), payload.begin() + wire::kHeadersSize + 60));
  for (std::size_t i = wire::kVeskReservedOffset; i < wire::kHeadersSize; ++i) EXPECT_EQ(payload[i], std::byte{0});
}

// Every field the view reads is the one the sender wrote for that packet kind.
TEST(Layers, HeaderViewReadsEveryFieldTheSenderWrote) {
  MemoryStacks m(4, 2, 100, 41);
  TxSlotArray slots{};
  const Bytes body = Pattern(100, 3);
  ASSERT_FALSE(m.stream_tx->SendLeaderPacket(MakeTxIovsBuilder(slots), std::nullopt, std::nullopt, std::nullopt));
  auto pb = MakeTxIovsBuilder(slots);
  pb.Append(gsl::span<const std::byte>(body.data(), body.size()));
  ASSERT_FALSE(m.stream_tx->SendPayloadPacket(std::move(pb), std::nullopt, std::nullopt, std::nullopt, 0));
  ASSERT_FALSE(m.stream_tx->SendTrailerPacket(MakeTxIovsBuilder(slots), std::nullopt, std::nullopt, std::nullopt));
  ASSERT_EQ(m.queue.datagrams.size(), 3u);
  std::vector<wire::HeaderView> views;
  for (const Bytes& d : m.queue.datagrams) views.emplace_back(d.data());
  for (std::size_t k = 0; k < views.size(); ++k) {
    const wire::HeaderView& h = views[k];
    EXPECT_EQ(h.Magic(), wire::kDunmoMagic);
    EXPECT_EQ(h.Version(), wire::kDunmoVersion);
    EXPECT_EQ(h.HeaderSize(), wire::kHeadersSize);
    EXPECT_EQ(h.TopicId(), 3);
    EXPECT_EQ(h.SampleId(), 41u);
    EXPECT_EQ(h.PacketIndex(), k);  // the trailer follows the packets sent
    EXPECT_EQ(h.PacketCount(), 4u);
    EXPECT_EQ(h.BytesPerPixel(), 2u);
  }
  EXPECT_EQ(views[0].PacketTypeByte(), static_cast<std::uint8_t>(wire::PacketType::Leader));
  EXPECT_EQ(views[0].PixelCount(), 100u);
  EXPECT_EQ(views[1].PacketTypeByte(), static_cast<std::uint8_t>(wire::PacketType::Payload));
  EXPECT_EQ(views[1].PayloadTag(), 1u);
  EXPECT_EQ(views[1].PayloadBytes(), 100u);
  EXPECT_EQ(views[2].PacketTypeByte(), static_cast<std::uint8_t>(wire::PacketType::Trailer));
  EXPECT_EQ(views[2].PixelCount(), 100u);
  EXPECT_EQ(views[2].SampleBytes(), 100u);
}

TEST(Layers, SamplesAreNumberedFromTheFirstIdAndSkipZeroOnWrap) {
  MemoryStacks m(3, 2, 10, 0xFFFFFFFEu);
  std::vector<dunmo::SentPacketInfo> seen;
  TxSlotArray slots{};
  for (int n = 0; n < 3; ++n) {
    ASSERT_FALSE(m.stream_tx->SendLeaderPacket(MakeTxIovsBuilder(slots), std::nullopt, std::nullopt, std::nullopt));
    ASSERT_FALSE(m.stream_tx->SendTrailerPacket(MakeTxIovsBuilder(slots), std::nullopt, std::nullopt, std::nullopt));
  }
  std::vector<std::uint32_t> ids;
  for (const Bytes& d : m.queue.datagrams) ids.push_back(LoadBe32(&d[wire::kSampleIdOffset]));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{0xFFFFFFFEu, 0xFFFFFFFEu, 0xFFFFFFFFu, 0xFFFFFFFFu, 1, 1}));
  EXPECT_EQ(LoadBe16(&m.queue.datagrams[1][wire::kPacketIndexOffset]), 1);

  // Receiving across the wrap: each sample is new, not stale.
  RxSlotArray rslots{};
  for (std::uint32_t expected : {0xFFFFFFFEu, 0xFFFFFFFFu, 1u}) {
    auto l = m.stream_rx->ReceiveLeaderPacket(MakeRxIovsBuilder(rslots), 0ns);
    ASSERT_TRUE(l.packet) << l.error.message();
    EXPECT_EQ(LoadBe32(l.packet->data + wire::kSampleIdOffset), expected);
    auto t = m.stream_rx->ReceiveTrailerPacket(MakeRxIovsBuilder(rslots), 0ns);
    ASSERT_TRUE(t.packet) << t.error.message();
  }
}

TEST(Layers, ObserverAndSendErrors) {
  MemoryStacks m;
  std::vector<dunmo::SentPacketInfo> seen;
  dunmo::Sender::Config dc = m.packet_tx->GetConfig();
  dc.on_packet_sent = [&seen](const dunmo::SentPacketInfo& info) { seen.push_back(info); };
  dunmo::Sender observed(dc, m.tx_socket, nullptr);
  TxSlotArray slots{};
  const Bytes data(10);
  auto b = MakeTxIovsBuilder(slots);
  b.Append(gsl::span<const std::byte>(data.data(), data.size()));
  ASSERT_FALSE(observed.Send(b, true, std::nullopt));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].sample_id, 1u);
  EXPECT_EQ(seen[0].packet_index, 0);
  EXPECT_EQ(seen[0].datagram_bytes, wire::kDunmoHeaderSize + 10);

  m.tx_socket.fail = std::make_error_code(std::errc::network_unreachable);
  auto e = m.stream_tx->SendTrailerPacket(MakeTxIovsBuilder(slots), std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(e, std::errc::network_unreachable);
  EXPECT_EQ(seen.size(), 1u);
}

TEST(Layers, SenderConfigChecks) {
  MemoryQueue q;
  MemoryTxSocket s(q);
  dunmo::Sender d(dunmo::Sender::Config{}, s, nullptr);
  vesk::Sender::Config c;
  c.ext_info_size = 9;
  EXPECT_THROW(vesk::Sender(c, d), std::invalid_argument);
  // A pixel type without a size: leader and trailer only, tag 1.
  c.ext_info_size = 0;
  c.pixels_per_sample = 5;
  vesk::Sender zero(c, d);
  EXPECT_EQ(zero.BytesPerPixel(), 0);
  TxSlotArray slots{};
  EXPECT_FALSE(zero.SendPayloadPacket(MakeTxIovsBuilder(slots), std::nullopt, 0, std::nullopt, 0));
  EXPECT_EQ(LoadBe32(&q.datagrams.back()[wire::kPayloadTagOffset]), 1u);
  // A leader must carry exactly the configured ext info bytes.
  const Bytes ext(8);
  auto lb = MakeTxIovsBuilder(slots);
  lb.Append(gsl::span<const std::byte>(ext.data(), ext.size()));
  EXPECT_EQ(zero.SendLeaderPacket(std::move(lb), std::nullopt, std::nullopt, std::nullopt),
            std::errc::invalid_argument);
}

TEST(Layers, PacketPathsDoNotAllocate) {
  MemoryStacks m;
  TxSlotArray tslots{};
  RxSlotArray rslots{};
  const Bytes sample = Pattern(200, 3);
  Bytes out(200);
  g_allocations = 0;
  g_count_allocations = true;
  auto probe = std::make_unique<int>(1);  // the counter itself works
  g_count_allocations = false;
  ASSERT_EQ(g_allocations.load(), 1);
  // The memory sockets themselves allocate (they keep datagrams in vectors),
  // so the send and receive sides are measured separately with the queue
  // already holding what the receiver reads.
  for (int n = 0; n < 3; ++n) {
    g_allocations = 0;
    g_count_allocations = true;
    // A socket that discards: the sender's own work only.
    struct NullSocket final : TxSocket {
      std::error_code Send(const iovec*, std::size_t) noexcept override { return {}; }
    } null_socket;
    dunmo::Sender d(m.packet_tx->GetConfig(), null_socket, nullptr);
    const Bytes pattern(2, std::byte{0x23});
    g_count_allocations = false;
    vesk::Sender::Config vc;
    vc.pixels_per_sample = 100;
    vc.pixel_pattern = gsl::span<const std::byte>(pattern.data(), pattern.size());
    vesk::Sender v(vc, d);
    g_allocations = 0;
    g_count_allocations = true;
    std::error_code e = v.SendLeaderPacket(MakeTxIovsBuilder(tslots), std::nullopt, std::nullopt, std::nullopt);
    for (int i = 0; i < 2 && !e; ++i) {
      auto b = MakeTxIovsBuilder(tslots);
      b.Append(gsl::span<const std::byte>(sample.data() + i * 100, 100));
      e = v.SendPayloadPacket(std::move(b), std::nullopt, 0, std::nullopt, 0);
    }
    if (!e) e = v.SendTrailerPacket(MakeTxIovsBuilder(tslots), std::nullopt, std::nullopt, std::nullopt);
    g_count_allocations = false;
    ASSERT_FALSE(e);
    EXPECT_EQ(g_allocations.load(), 0) << "sample " << n;
  }

  // Fill the queue, then receive with counting on: the memory socket moves
  // datagrams out (no allocation); the receive layers must add none.
  for (int n = 0; n < 3; ++n) {
    ASSERT_FALSE(m.stream_tx->SendLeaderPacket(MakeTxIovsBuilder(tslots), std::nullopt, std::nullopt, std::nullopt));
    for (int i = 0; i < 2; ++i) {
      auto b = MakeTxIovsBuilder(tslots);
      b.Append(gsl::span<const std::byte>(sample.data() + i * 100, 100));
      ASSERT_FALSE(m.stream_tx->SendPayloadPacket(std::move(b), std::nullopt, 0, std::nullopt, 0));
    }
    ASSERT_FALSE(m.stream_tx->SendTrailerPacket(MakeTxIovsBuilder(tslots), std::nullopt, std::nullopt, std::nullopt));
  }
  g_allocations = 0;
  g_count_allocations = true;
  int complete = 0;
  for (int n = 0; n < 3; ++n) {
    auto l = m.stream_rx->ReceiveLeaderPacket(MakeRxIovsBuilder(rslots), 0ns);
    bool ok = l.packet && !l.error;
    for (int i = 0; i < 2 && ok; ++i) {
      auto b = MakeRxIovsBuilder(rslots);
      b.Append(gsl::span<std::byte>(out.data() + i * 100, 100));
      auto p = m.stream_rx->ReceivePayloadPacket(std::move(b), 0ns);
      ok = p.packet && !p.error;
    }
    auto t = m.stream_rx->ReceiveTrailerPacket(MakeRxIovsBuilder(rslots), 0ns);
    complete += ok && t.packet && !t.error ? 1 : 0;
  }
  g_count_allocations = false;
  EXPECT_EQ(complete, 3);
  EXPECT_EQ(out, sample);
  EXPECT_EQ(g_allocations.load(), 0);
}

TEST(Layers, PoolRunsOutWhenHandlesAreHeldAndRecovers) {
  MemoryQueue q;
  MemoryRxSocket s(q);
  dunmo::Receiver::Config rc;
  rc.topic_id = 3;
  dunmo::Receiver rx(rc, s, nullptr);
  std::vector<dunmo::Receiver::PacketPtr> held;
  for (std::uint32_t i = 0; i < dunmo::Receiver::kPoolSize; ++i) {
    auto p = rx.Acquire();
    ASSERT_TRUE(p);
    held.push_back(std::move(p));
  }
  EXPECT_FALSE(rx.Acquire());
  RxSlotArray slots{};
  auto b = MakeRxIovsBuilder(slots);
  auto r = rx.Receive(b, wire::kVeskHeaderSize, 0ns);
  EXPECT_EQ(r.error, RxErrc::NoPacketBuffer);
  EXPECT_EQ(s.calls, 0);  // nothing was taken from the socket
  held.pop_back();
  Crafted c;
  c.topic = 3;
  q.datagrams.push_back(Craft(c));
  auto b2 = MakeRxIovsBuilder(slots);
  auto r2 = rx.Receive(b2, wire::kVeskHeaderSize, 0ns);
  EXPECT_FALSE(r2.error) << r2.error.message();
  ASSERT_TRUE(r2.packet);
  EXPECT_EQ(r2.packet->header_size, wire::kHeadersSize);
  EXPECT_EQ(slots[0].data(), r2.packet->data);  // slot 0 shows the packet buffer
}

TEST(Layers, ErrorCategoryMessagesAreActionable) {
  EXPECT_STREQ(rx_category().name(), "korvel");
  const std::error_code retry = vesk::make_error_code(vesk::RxErrc::Retry);
  EXPECT_EQ(retry.value(), 8);
  EXPECT_EQ(retry, RxErrc::Retry);
  EXPECT_NE(retry, std::make_error_code(std::errc::message_size));
  EXPECT_NE(make_error_code(RxErrc::MissingPacket).message().find("rmem_max"), std::string::npos);
  EXPECT_NE(make_error_code(RxErrc::PayloadSizeMismatch).message().find("MTU"), std::string::npos);
  EXPECT_NE(std::error_code(42, rx_category()).message().find("unknown"), std::string::npos);
}

}  // namespace
}  // namespace korvel::test
