// Batched sending: the packet and stream layers' batch path against the
// one-packet-per-call path, segment grouping for UDP segmentation offload,
// the fallback when segmentation fails at first use, partial failures, and
// UdpTxSocket::SendBatch over loopback.

#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>

namespace korvel::test {
namespace {

using namespace std::chrono_literals;
using Body = gsl::span<const std::byte>;

// Records every datagram as a receiver would see it; a segmented message is
// cut every segment_size bytes, as the kernel does. Can offer segmentation,
// refuse the first segmented message with `segment_failure`, and fail the
// message numbered `fail_at` (counting messages across calls).
class RecordingSocket final : public TxSocket {
 public:
  std::error_code Send(const iovec* iovs, std::size_t iov_count) noexcept override {
    ++single_sends;
    datagrams.push_back(Gather(iovs, iov_count));
    return {};
  }
  std::error_code SendBatch(const TxMessage* messages, std::size_t count, std::size_t& sent) noexcept override {
    ++batch_calls;
    for (sent = 0; sent < count; ++sent) {
      const TxMessage& m = messages[sent];
      if (messages_seen++ == fail_at) return std::make_error_code(std::errc::no_buffer_space);
      if (m.segment_size != 0 && segment_failure) {
        can_segment = false;
        return std::exchange(segment_failure, {});
      }
      const Bytes all = Gather(m.iovs, m.iov_count);
      segment_sizes.push_back(m.segment_size);
      const std::size_t step = m.segment_size == 0 ? all.size() : m.segment_size;
      std::size_t at = 0;
      do {
        const std::size_t take = std::min(step, all.size() - at);
        datagrams.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(at),
                               all.begin() + static_cast<std::ptrdiff_t>(at + take));
        at += take;
      } while (at < all.size());
    }
    return {};
  }
  bool CanSegment() const noexcept override { return can_segment; }

  static Bytes Gather(const iovec* iovs, std::size_t count) {
    Bytes d;
    for (std::size_t i = 0; i < count; ++i) {
      const auto* p = static_cast<const std::byte*>(iovs[i].iov_base);
      d.insert(d.end(), p, p + iovs[i].iov_len);
    }
    return d;
  }

  bool can_segment = false;
  std::error_code segment_failure;
  std::size_t fail_at = SIZE_MAX;
  std::size_t messages_seen = 0;
  int single_sends = 0;
  int batch_calls = 0;
  std::vector<std::uint16_t> segment_sizes;  // one per message that went out
  std::vector<Bytes> datagrams;
};

struct Stack {
  RecordingSocket socket;
  std::vector<dunmo::SentPacketInfo> observed;
  std::unique_ptr<dunmo::Sender> packets;
  std::unique_ptr<vesk::Sender> stream;

  explicit Stack(std::uint16_t packet_count, std::int32_t pixels = 100000, std::uint8_t bpp = 2) {
    dunmo::Sender::Config dc;
    dc.topic_id = 9;
    dc.component_id = 31;
    dc.packets_per_sample = packet_count;
    dc.first_sample_id = 41;
    dc.on_packet_sent = [this](const dunmo::SentPacketInfo& info) { observed.push_back(info); };
    packets = std::make_unique<dunmo::Sender>(dc, socket, nullptr);
    const Bytes pattern(bpp, std::byte{0x23});
    vesk::Sender::Config vc;
    vc.ext_info_size = 0;
    vc.pixels_per_sample = pixels;
    vc.pixel_pattern = gsl::span<const std::byte>(pattern.data(), pattern.size());
    vc.payload_room = 1404;
    stream = std::make_unique<vesk::Sender>(vc, *packets);
  }

  void Leader(vesk::Sender::TimePoint t) {
    TxSlotArray slots{};
    ASSERT_FALSE(stream->SendLeaderPacket(MakeTxIovsBuilder(slots), t, std::nullopt, std::nullopt));
  }
  void Trailer(vesk::Sender::TimePoint t) {
    TxSlotArray slots{};
    ASSERT_FALSE(stream->SendTrailerPacket(MakeTxIovsBuilder(slots), t, std::nullopt, std::nullopt));
  }
};

std::vector<Body> Cut(const Bytes& sample, std::size_t chunk, std::size_t count) {
  std::vector<Body> bodies;
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t take = std::min(chunk, sample.size() - at);
    bodies.emplace_back(sample.data() + at, take);
    at += take;
  }
  return bodies;
}

const vesk::Sender::TimePoint kT0{std::chrono::nanoseconds(1'700'000'000'123'456'789)};
const vesk::Sender::TimePoint kT1{std::chrono::nanoseconds(1'700'000'000'223'456'789)};

// Two samples (a full one and a short one ending in empty payloads), sent
// packet by packet on one stack and in batches (with and without segments)
// on others: every datagram is the same byte for byte, the observer sees the
// same packets, and a segmented run is at most 64 segments.
TEST(BatchSend, BatchesWriteTheSameDatagramsAsSingleSends) {
  constexpr std::size_t kPayloads = 150;  // three batches: 64, 64, 22
  const Bytes full = Pattern(kPayloads * 1404 - 700, 3);
  const Bytes partial = Pattern(1404 * 70 + 5, 4);
  Stack single(static_cast<std::uint16_t>(kPayloads + 2));
  for (const Bytes* sample : {&full, &partial}) {
    single.Leader(kT1);
    for (const Body& body : Cut(*sample, 1404, kPayloads)) {
      TxSlotArray slots{};
      auto iovs = MakeTxIovsBuilder(slots);
      iovs.Append(body);
      ASSERT_FALSE(single.stream->SendPayloadPacket(std::move(iovs), kT0, 7, vesk::Status::Warning, 0x5A));
    }
    single.Trailer(kT1);
  }
  ASSERT_EQ(single.socket.datagrams.size(), 2 * (kPayloads + 2));

  for (const bool segment : {false, true}) {
    SCOPED_TRACE(segment ? "segmented" : "batched");
    Stack batched(static_cast<std::uint16_t>(kPayloads + 2));
    batched.socket.can_segment = segment;
    for (const Bytes* sample : {&full, &partial}) {
      batched.Leader(kT1);
      const std::vector<Body> bodies = Cut(*sample, 1404, kPayloads);
      for (std::size_t done = 0; done < kPayloads;) {
        const std::size_t count = std::min<std::size_t>(dunmo::Sender::kBatchCapacity, kPayloads - done);
        std::size_t sent = 0;
        ASSERT_FALSE(
            batched.stream->SendPayloadBatch(&bodies[done], count, kT0, 7, vesk::Status::Warning, 0x5A, segment, sent));
        ASSERT_EQ(sent, count);
        done += count;
      }
      batched.Trailer(kT1);
    }
    ASSERT_EQ(batched.socket.datagrams.size(), single.socket.datagrams.size());
    for (std::size_t i = 0; i < single.socket.datagrams.size(); ++i) {
      ASSERT_EQ(batched.socket.datagrams[i], single.socket.datagrams[i]) << "datagram " << i;
    }
    ASSERT_EQ(batched.observed.size(), single.observed.size());
    for (std::size_t i = 0; i < single.observed.size(); ++i) {
      EXPECT_EQ(batched.observed[i].packet_index, single.observed[i].packet_index);
      EXPECT_EQ(batched.observed[i].datagram_bytes, single.observed[i].datagram_bytes);
    }
    EXPECT_EQ(batched.socket.single_sends, 4);  // leaders and trailers only
    if (segment) {
      // Runs of full packets (1460 bytes, 44 to a message under 65507
      // bytes) and of empty ones (56 bytes); the short packets end runs.
      for (std::uint16_t size : batched.socket.segment_sizes) {
        EXPECT_TRUE(size == 0 || size == 1460 || size == 56) << size;
      }
      EXPECT_LT(batched.socket.segment_sizes.size(), 20u);
    } else {
      EXPECT_EQ(batched.socket.segment_sizes, std::vector<std::uint16_t>(2 * kPayloads, 0));
    }
  }
}

// Segment runs: equal sizes, the run's last may be shorter, nothing larger
// follows a shorter one, empty payloads form runs of their own, and a message
// never exceeds 65507 bytes.
TEST(BatchSend, SegmentRunsFollowTheKernelsRules) {
  Stack stack(40);
  stack.socket.can_segment = true;
  stack.Leader(kT1);
  const Bytes bytes = Pattern(30000, 5);
  std::vector<Body> bodies;
  for (int i = 0; i < 3; ++i) bodies.emplace_back(bytes.data(), 1000);  // run 1: 3 x 1056
  bodies.emplace_back(bytes.data(), 500);                               // ... ends run 1
  for (int i = 0; i < 2; ++i) bodies.emplace_back(bytes.data(), 1000);  // run 2
  for (int i = 0; i < 4; ++i) bodies.emplace_back(bytes.data(), 0);     // larger after shorter: new run of 56s
  for (int i = 0; i < 8; ++i) bodies.emplace_back(bytes.data(), 9000);  // 9056 x 7 = 63392, the 8th overflows
  std::size_t sent = 0;
  ASSERT_FALSE(
      stack.stream->SendPayloadBatch(bodies.data(), bodies.size(), kT0, std::nullopt, std::nullopt, 0, true, sent));
  EXPECT_EQ(sent, bodies.size());
  EXPECT_EQ(stack.socket.segment_sizes, (std::vector<std::uint16_t>{1056, 1056, 56, 9056, 0}));
  ASSERT_EQ(stack.socket.datagrams.size(), 1 + bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const Bytes& d = stack.socket.datagrams[1 + i];
    ASSERT_EQ(d.size(), wire::kHeadersSize + bodies[i].size()) << i;
    EXPECT_EQ(wire::LoadBe16(&d[wire::kPacketIndexOffset]), i + 1);
    EXPECT_EQ(wire::LoadBe32(&d[wire::kPayloadBytesOffset]), bodies[i].size());
  }
}

// The socket refuses the first segmented message (EIO: the device cannot
// segment): the same packets go out unsegmented, and later batches too.
TEST(BatchSend, SegmentationFailingAtFirstUseFallsBackToPlainBatches) {
  Stack stack(12);
  stack.socket.can_segment = true;
  stack.socket.segment_failure = std::error_code(EIO, std::system_category());
  stack.Leader(kT1);
  const Bytes bytes = Pattern(10 * 1404, 6);
  const std::vector<Body> bodies = Cut(bytes, 1404, 10);
  std::size_t sent = 0;
  ASSERT_FALSE(stack.stream->SendPayloadBatch(bodies.data(), 6, kT0, std::nullopt, std::nullopt, 0, true, sent));
  EXPECT_EQ(sent, 6u);
  ASSERT_FALSE(stack.stream->SendPayloadBatch(&bodies[6], 4, kT0, std::nullopt, std::nullopt, 0, true, sent));
  EXPECT_EQ(sent, 4u);
  EXPECT_FALSE(stack.socket.CanSegment());
  EXPECT_EQ(stack.socket.segment_sizes, std::vector<std::uint16_t>(10, 0));
  ASSERT_EQ(stack.socket.datagrams.size(), 11u);
  for (std::size_t i = 0; i < 10; ++i) {
    const Bytes& d = stack.socket.datagrams[1 + i];
    EXPECT_EQ(wire::LoadBe16(&d[wire::kPacketIndexOffset]), i + 1);
    EXPECT_EQ(wire::LoadBe32(&d[wire::kPayloadTagOffset]), 1 + i * 702);
    EXPECT_TRUE(std::equal(d.begin() + wire::kHeadersSize, d.end(), bodies[i].begin(), bodies[i].end()));
  }
}

// A failure in the middle of a batch: the packets before it went out and were
// observed; the error is returned; the next sample starts cleanly.
TEST(BatchSend, FailureInsideABatchReportsWhatWentOut) {
  Stack stack(10);
  stack.Leader(kT1);
  stack.socket.fail_at = 3;
  const Bytes bytes = Pattern(8 * 1404, 7);
  const std::vector<Body> bodies = Cut(bytes, 1404, 8);
  std::size_t sent = 99;
  EXPECT_EQ(stack.stream->SendPayloadBatch(bodies.data(), 8, kT0, std::nullopt, std::nullopt, 0, false, sent),
            std::errc::no_buffer_space);
  EXPECT_EQ(sent, 3u);
  ASSERT_EQ(stack.socket.datagrams.size(), 4u);
  ASSERT_EQ(stack.observed.size(), 4u);
  EXPECT_EQ(stack.observed.back().packet_index, 3);
  EXPECT_EQ(stack.packets->NextPacketIndex(), 4);

  stack.socket.fail_at = SIZE_MAX;
  const std::uint32_t failed_id = stack.packets->CurrentSampleId();
  stack.Leader(kT1);
  ASSERT_FALSE(stack.stream->SendPayloadBatch(bodies.data(), 8, kT0, std::nullopt, std::nullopt, 0, false, sent));
  EXPECT_EQ(stack.packets->CurrentSampleId(), failed_id + 1);
  // The new sample's payload tags start again at pixel 1.
  EXPECT_EQ(wire::LoadBe32(&stack.socket.datagrams[5][wire::kPayloadTagOffset]), 1u);
  EXPECT_EQ(wire::LoadBe16(&stack.socket.datagrams[12][wire::kPacketIndexOffset]), 8);

  EXPECT_EQ(stack.stream->SendPayloadBatch(bodies.data(), dunmo::Sender::kBatchCapacity + 1, kT0, std::nullopt,
                                           std::nullopt, 0, false, sent),
            std::errc::invalid_argument);
}

// Over loopback: a batch with a segmented message arrives as separate
// datagrams of the cut sizes, in order, whether or not the kernel segments.
TEST(BatchSend, UdpSocketSendsBatchesAndSegmentsOverLoopback) {
  const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(rx, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(rx, reinterpret_cast<sockaddr*>(&address), &length);

  for (const bool offload : {false, true}) {
    SCOPED_TRACE(offload ? "offload asked" : "plain");
    UdpTxSocket::Config config;
    config.dest_ip = Ipv4("127.0.0.1");
    config.dest_port = ntohs(address.sin_port);
    config.segmentation_offload = offload;
    UdpTxSocket tx(config, nullptr);
    if (!offload) {
      EXPECT_FALSE(tx.CanSegment());
    }
    const Bytes bytes = Pattern(3000, 8);
    // Message 1: one datagram of 100 bytes; message 2: 1000 + 1000 + 700
    // (segmented when the socket can, else three messages of its own).
    std::vector<iovec> iovs{{const_cast<std::byte*>(bytes.data()), 100},
                            {const_cast<std::byte*>(bytes.data() + 100), 1000},
                            {const_cast<std::byte*>(bytes.data() + 1100), 1000},
                            {const_cast<std::byte*>(bytes.data() + 2100), 700}};
    std::vector<TxMessage> messages;
    messages.push_back({&iovs[0], 1, 0});
    if (tx.CanSegment()) {
      messages.push_back({&iovs[1], 3, 1000});
    } else {
      for (std::size_t i = 1; i < 4; ++i) messages.push_back({&iovs[i], 1, 0});
    }
    std::size_t sent = 0;
    ASSERT_FALSE(tx.SendBatch(messages.data(), messages.size(), sent));
    EXPECT_EQ(sent, messages.size());
    std::vector<std::size_t> sizes;
    Bytes joined;
    std::vector<std::byte> buffer(4000);
    for (int i = 0; i < 4; ++i) {
      pollfd descriptor{rx, POLLIN, 0};
      ASSERT_EQ(::poll(&descriptor, 1, 2000), 1);
      const ssize_t got = ::recv(rx, buffer.data(), buffer.size(), 0);
      ASSERT_GT(got, 0);
      sizes.push_back(static_cast<std::size_t>(got));
      joined.insert(joined.end(), buffer.begin(), buffer.begin() + got);
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{100, 1000, 1000, 700}));
    EXPECT_EQ(joined, Bytes(bytes.begin(), bytes.begin() + 2800));
    // A segmented message on a socket that cannot segment is refused untouched.
    if (!tx.CanSegment()) {
      const TxMessage cut{&iovs[1], 3, 1000};
      EXPECT_EQ(tx.SendBatch(&cut, 1, sent), std::errc::operation_not_supported);
      EXPECT_EQ(sent, 0u);
    }
  }
  ::close(rx);
}

}  // namespace
}  // namespace korvel::test
