// Receive path: a sequence of datagrams (the fuzz input split into
// length-prefixed records) is fed through an in-memory socket to the packet
// and stream layers, which are driven sample after sample the way
// VeskReceiver::ReceiveSample drives them (leader with its ext info slot,
// one payload slot per payload packet sized by the sample plan, trailer).
//
// Invariants checked on everything the receiver hands out:
// - a returned leader is a leader (type, index 0, at least two packets, the
//   configured ext info size and bytes per pixel) and, with its ext info
//   block, is byte for byte a datagram that arrived;
// - a leader accepted under a sample size cap announces at most the cap;
// - a sample plan that fits never reserves more than the announced payload
//   packets can carry at this receiver's MTU, and never more than 1 GiB;
// - a payload of the current sample is the next one in order, fills its slot
//   exactly, and the slot holds exactly the bytes that followed the headers
//   of the datagram that arrived last; a payload of another sample belongs
//   to a later one;
// - a trailer of the current sample sits at index N - 1.

#include "FuzzSupport.hpp"
#include "VeskReceiverPlan.hpp"

#include <korvel/dunmo/Receiver.hpp>
#include <korvel/vesk/Receiver.hpp>
#include <korvel/wire/Header.hpp>
#include <vesk_test/MemorySockets.hpp>
#include <vesklib_korvel/PacketGeometry.hpp>

#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include <array>
#include <cstring>
#include <deque>
#include <memory>

namespace {

using namespace korvel;
using ketra::vesktools::vesklib_korvel::kHeaderRoom;
using ketra::vesktools::vesklib_korvel::detail::AdvancePayloadEnd;
using ketra::vesktools::vesklib_korvel::detail::IsLeaderRetry;
using ketra::vesktools::vesklib_korvel::detail::IsRetry;
using ketra::vesktools::vesklib_korvel::detail::PlanSample;
using ketra::vesktools::vesklib_korvel::detail::SamplePlan;
using vesk_fuzz::Bytes;

constexpr std::int32_t kTopic = 10;
constexpr std::size_t kMaxDatagrams = 512;
constexpr std::uint64_t kOneGiB = std::uint64_t{1} << 30;

struct Setup {
  std::uint8_t ext_info_size;
  std::uint8_t bpp;
  int mtu;
  std::uint64_t max_sample_bytes;  // 0: no cap beyond what the packets carry
};

Setup SetupFrom(std::uint8_t b) {
  static constexpr std::array<std::uint8_t, 4> kBpp{1, 2, 4, 8};
  // Small MTUs keep the payloads short enough for the fuzzer to build them.
  static constexpr std::array<int, 4> kMtu{104, 200, 1500, 1500};
  static constexpr std::array<std::uint64_t, 4> kCap{0, 4096, 1u << 20, 0};
  return {static_cast<std::uint8_t>((b & 1u) != 0 ? 8 : 0), kBpp[(b >> 1) & 3u], kMtu[(b >> 3) & 3u],
          kCap[(b >> 5) & 3u]};
}

bool Before(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::int32_t>(a - b) < 0;
}

gsl::span<std::byte> Span(std::vector<unsigned char>& v, std::size_t offset, std::size_t size) {
  return gsl::span<std::byte>(reinterpret_cast<std::byte*>(v.data()) + offset, size);
}

// The leader header plus ext info block must be a datagram that arrived.
bool LeaderArrived(const vesk_test::MemoryRxSocket& socket, const dunmo::Receiver::Packet& leader,
                   const std::vector<unsigned char>& ext_block) {
  for (const Bytes& d : socket.Delivered()) {
    if (d.size() != wire::kHeadersSize + ext_block.size()) continue;
    if (std::memcmp(d.data(), leader.data, wire::kHeadersSize) != 0) continue;
    if (!ext_block.empty() && std::memcmp(d.data() + wire::kHeadersSize, ext_block.data(), ext_block.size()) != 0) {
      continue;
    }
    return true;
  }
  return false;
}

void CheckLeader(const Setup& setup, const vesk_test::MemoryRxSocket& socket, const dunmo::Receiver::Packet& leader,
                 const std::vector<unsigned char>& ext_block) {
  const std::byte* h = leader.data;
  VESK_FUZZ_CHECK(leader.header_size == wire::kHeadersSize);
  VESK_FUZZ_CHECK(std::to_integer<int>(h[wire::kPacketTypeOffset]) == 1);
  VESK_FUZZ_CHECK(wire::LoadBe16(h + wire::kPacketIndexOffset) == 0);
  VESK_FUZZ_CHECK(wire::LoadBe16(h + wire::kPacketCountOffset) >= 2);
  VESK_FUZZ_CHECK(std::to_integer<std::uint8_t>(h[wire::kExtInfoSizeOffset]) == setup.ext_info_size);
  VESK_FUZZ_CHECK(std::to_integer<std::uint8_t>(h[wire::kBytesPerPixelOffset]) == setup.bpp);
  VESK_FUZZ_CHECK(static_cast<std::int32_t>(wire::LoadBe32(h + wire::kTopicIdOffset)) == kTopic);
  VESK_FUZZ_CHECK(LeaderArrived(socket, leader, ext_block));
  if (setup.max_sample_bytes != 0) {
    VESK_FUZZ_CHECK(std::uint64_t{wire::LoadBe32(h + wire::kPixelCountOffset)} * setup.bpp <= setup.max_sample_bytes);
  }
}

void CheckPlan(const Setup& setup, std::uint16_t packets, const SamplePlan& plan) {
  if (!plan.fits) return;
  const std::uint64_t room = static_cast<std::uint64_t>(setup.mtu - kHeaderRoom);
  VESK_FUZZ_CHECK(packets >= 2);
  VESK_FUZZ_CHECK(plan.sample_bytes <= std::uint64_t{packets - 2u} * room);
  VESK_FUZZ_CHECK(plan.sample_bytes <= kOneGiB);
  if (packets > 2) VESK_FUZZ_CHECK(std::uint64_t{plan.pixels_per_packet} * setup.bpp <= room);
}

// One sample, as ReceiveSample takes it. Returns false once nothing is left
// to receive.
bool ReceiveOneSample(const Setup& setup, vesk::Receiver& receiver, const vesk_test::MemoryRxSocket& socket,
                      std::vector<unsigned char>& sample) {
  RxSlotArray slots{};
  const std::chrono::nanoseconds no_wait{0};

  vesk::Receiver::Result leader;
  std::vector<unsigned char> ext_block;
  do {
    auto builder = MakeRxIovsBuilder(slots);
    ext_block.assign(setup.ext_info_size, 0);
    if (!ext_block.empty()) builder.Append(Span(ext_block, 0, ext_block.size()));
    leader = receiver.ReceiveLeaderPacket(std::move(builder), no_wait);
  } while (IsLeaderRetry(leader.error));
  if (leader.error) return true;     // malformed leader: sample given up
  if (!leader.packet) return false;  // nothing left
  CheckLeader(setup, socket, *leader.packet, ext_block);

  const std::byte* h = leader.packet->data;
  const std::uint32_t sample_id = wire::LoadBe32(h + wire::kSampleIdOffset);
  const std::uint16_t packets = wire::LoadBe16(h + wire::kPacketCountOffset);
  const std::uint32_t pixels = wire::LoadBe32(h + wire::kPixelCountOffset);
  const std::uint32_t stated_room = wire::LoadBe32(h + wire::kPayloadRoomOffset);
  const SamplePlan plan = PlanSample(packets, pixels, setup.bpp, setup.mtu, stated_room);
  CheckPlan(setup, packets, plan);
  if (!plan.fits) return true;

  sample.resize(static_cast<std::size_t>(plan.sample_bytes));
  std::uint64_t remaining = sample.size();
  std::size_t write_at = 0;
  std::uint32_t highest_end = 1;
  const std::uint64_t full_chunk = std::uint64_t{plan.pixels_per_packet} * setup.bpp;
  for (std::uint32_t k = 2; k < packets; ++k) {
    const std::uint64_t chunk = std::min(full_chunk, remaining);
    vesk::Receiver::Result payload;
    do {
      auto builder = MakeRxIovsBuilder(slots);
      builder.Append(Span(sample, write_at, static_cast<std::size_t>(chunk)));
      payload = receiver.ReceivePayloadPacket(std::move(builder), no_wait);
    } while (IsRetry(payload.error));
    if (payload.error == RxErrc::LaterSample) {
      VESK_FUZZ_CHECK(payload.packet);
      VESK_FUZZ_CHECK(Before(sample_id, wire::LoadBe32(payload.packet->data + wire::kSampleIdOffset)));
      return true;
    }
    if (payload.error || !payload.packet) return true;

    const dunmo::Receiver::Packet& p = *payload.packet;
    VESK_FUZZ_CHECK(wire::LoadBe32(p.data + wire::kSampleIdOffset) == sample_id);
    VESK_FUZZ_CHECK(std::to_integer<int>(p.data[wire::kPacketTypeOffset]) == 2);
    VESK_FUZZ_CHECK(wire::LoadBe16(p.data + wire::kPacketIndexOffset) == k - 1);
    VESK_FUZZ_CHECK(p.payload_size == chunk);
    VESK_FUZZ_CHECK(!p.truncated);
    const Bytes& arrived = socket.Delivered().back();
    VESK_FUZZ_CHECK(arrived.size() == wire::kHeadersSize + chunk);
    VESK_FUZZ_CHECK(std::memcmp(arrived.data(), p.data, wire::kHeadersSize) == 0);
    VESK_FUZZ_CHECK(chunk == 0 ||
                    std::memcmp(arrived.data() + wire::kHeadersSize, sample.data() + write_at, chunk) == 0);

    const std::uint32_t tag = wire::LoadBe32(p.data + wire::kPayloadTagOffset);
    payload.packet.reset();
    highest_end = AdvancePayloadEnd(highest_end, tag, chunk, setup.bpp);
    remaining -= chunk;
    write_at += static_cast<std::size_t>(chunk);
  }
  if (remaining != 0 || highest_end - 1 != pixels) return true;

  vesk::Receiver::Result trailer;
  do {
    trailer = receiver.ReceiveTrailerPacket(MakeRxIovsBuilder(slots), no_wait);
  } while (IsRetry(trailer.error));
  if (trailer.error == RxErrc::LaterSample) {
    VESK_FUZZ_CHECK(trailer.packet);
    VESK_FUZZ_CHECK(Before(sample_id, wire::LoadBe32(trailer.packet->data + wire::kSampleIdOffset)));
    return true;
  }
  if (trailer.error || !trailer.packet) return true;
  const dunmo::Receiver::Packet& t = *trailer.packet;
  VESK_FUZZ_CHECK(wire::LoadBe32(t.data + wire::kSampleIdOffset) == sample_id);
  VESK_FUZZ_CHECK(std::to_integer<int>(t.data[wire::kPacketTypeOffset]) == 3);
  VESK_FUZZ_CHECK(wire::LoadBe16(t.data + wire::kPacketIndexOffset) == packets - 1u);
  // A delivered sample: its size is what the leader announced.
  VESK_FUZZ_CHECK(sample.size() == std::uint64_t{pixels} * setup.bpp);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  static const log4cplus::Initializer initializer;
  log4cplus::Logger::getRoot().setLogLevel(log4cplus::OFF_LOG_LEVEL);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vesk_fuzz::InputReader in(data, size);
  const Setup setup = SetupFrom(in.Byte());
  std::deque<Bytes> datagrams;
  while (!in.Empty() && datagrams.size() < kMaxDatagrams) datagrams.push_back(in.Record());
  const std::size_t datagram_count = datagrams.size();

  vesk_test::MemoryQueue queue{std::move(datagrams)};
  vesk_test::MemoryRxSocket socket(queue);
  socket.keep_delivered = true;
  dunmo::Receiver::Config packet_config;
  packet_config.topic_id = kTopic;
  packet_config.packets_per_sample = 4;
  auto packet_layer = std::make_unique<dunmo::Receiver>(packet_config, socket, nullptr);
  vesk::Receiver::Config stream_config;
  stream_config.ext_info_size = setup.ext_info_size;
  stream_config.bytes_per_pixel = setup.bpp;
  // Plausibility as the library judges it, plus the sample size cap.
  stream_config.leader_plausible = [setup](const wire::HeaderView& h) {
    const SamplePlan plan = PlanSample(h.PacketCount(), h.PixelCount(), setup.bpp, setup.mtu, h.PayloadRoom());
    return plan.fits && (setup.max_sample_bytes == 0 || plan.sample_bytes <= setup.max_sample_bytes);
  };
  vesk::Receiver receiver(
      stream_config, vesk::Receiver::DunmoPtr(packet_layer.release(), std::default_delete<dunmo::Receiver>()), nullptr);

  // Every sample takes at least one new datagram, or a leader kept from the
  // previous one: the loop ends within twice the datagram count.
  std::vector<unsigned char> sample;
  for (std::size_t round = 0; round < 2 * datagram_count + 2; ++round) {
    if (!ReceiveOneSample(setup, receiver, socket, sample)) break;
  }
  VESK_FUZZ_CHECK(socket.Drained());
  return 0;
}
