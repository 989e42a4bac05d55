#include <korvel/vesk/Receiver.hpp>

#include "Log.hpp"
#include "vesk/ReceiverState.hpp"

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace korvel::vesk {

namespace {

using wire::PacketType;
using Packet = dunmo::Receiver::Packet;
using PacketPtr = dunmo::Receiver::PacketPtr;

// Header fields of a received packet, in host order.
struct Fields {
  PacketType type;
  std::uint32_t sample_id;
  std::uint16_t index;
  std::uint16_t count;
  std::uint8_t ext_info_size;
  std::uint8_t bpp;
  std::uint32_t word36;  // pixel count F (leader, trailer) or payload tag
  std::uint32_t word40;  // payload room, payload bytes or sample bytes
};

bool ReadFields(const Packet& packet, Fields& out) noexcept {
  const wire::HeaderView h(packet.data);
  const std::uint8_t type = h.PacketTypeByte();
  if (type < 1 || type > 3) return false;
  out.type = static_cast<PacketType>(type);
  out.sample_id = h.SampleId();
  out.index = h.PacketIndex();
  out.count = h.PacketCount();
  out.ext_info_size = h.ExtInfoSize();
  out.bpp = h.BytesPerPixel();
  out.word36 = h.PixelCount();
  out.word40 = h.PayloadRoom();
  return true;
}

// Reads the vesk fields of what the packet layer delivered into `f`, or gives
// the result to return as it is: nothing arrived (the result unchanged), a
// retry of the packet layer, or a datagram of another protocol (counted as
// foreign, then a retry).
std::optional<Receiver::Result> Unreadable(Receiver::Result& r, RxStats& stats, Fields& f) noexcept {
  if (!r.packet) return std::move(r);
  if (r.error == RxErrc::Retry) return Receiver::Result{r.error, PacketPtr(nullptr)};
  if (!ReadFields(*r.packet, f)) {
    stats.skipped_foreign.Add();
    return Receiver::Result{make_error_code(RxErrc::Retry), PacketPtr(nullptr)};
  }
  return std::nullopt;
}

// Serial-number order of sample ids: true when `a` comes before `b`,
// robust to the id wrapping around.
bool Before(std::uint32_t a, std::uint32_t b) noexcept {
  return static_cast<std::int32_t>(a - b) < 0;
}

// Copies the first `n` bytes that followed the headers of `packet`: they
// landed in the caller's slots first, then in the packet's spare storage.
void CopyAfterHeaders(const Packet& packet, detail::IovsBuilder<std::byte>& iovs, std::byte* dst,
                      std::size_t n) noexcept {
  std::size_t done = 0;
  std::size_t caller_left = packet.payload_size;
  for (std::size_t i = iovs.FirstCallerSlot(); i < iovs.NextFreeSlot() && done < n && caller_left > 0; ++i) {
    const auto& slot = iovs.Slot(i);
    const std::size_t take = std::min({slot.size(), n - done, caller_left});
    std::memcpy(dst + done, slot.data(), take);
    done += take;
    caller_left -= take;
  }
  if (done < n) {
    const std::size_t spare = Packet::kStorage - packet.header_size;
    const std::size_t take = std::min(n - done, spare);
    std::memmove(dst + done, packet.data + packet.header_size, take);
    done += take;
  }
  if (done < n) std::memset(dst + done, 0, n - done);
}

// Copies a kept leader's ext info block into the caller's slots.
void CopyToCallerSlots(const std::byte* src, std::size_t n, detail::IovsBuilder<std::byte>& iovs) noexcept {
  for (std::size_t i = iovs.FirstCallerSlot(); i < iovs.NextFreeSlot() && n > 0; ++i) {
    auto& slot = iovs.Slot(i);
    const std::size_t take = std::min(slot.size(), n);
    std::memcpy(slot.data(), src, take);
    src += take;
    n -= take;
  }
}

}  // namespace

Receiver::Receiver(const Config& config, DunmoPtr packet_receiver, std::pmr::memory_resource* /*memory*/)
    : m_config(config), m_packet_receiver(std::move(packet_receiver)), m_state(std::make_unique<State>()) {
  if (!m_packet_receiver) throw std::invalid_argument("vesk receiver needs a packet receiver");
  if (config.ext_info_size > config.max_ext_info_size) {
    throw std::invalid_argument(
        fmt::format("extended info size {} above the maximum of {}", config.ext_info_size, config.max_ext_info_size));
  }
  if (wire::kHeadersSize + config.ext_info_size > Packet::kStorage) {
    throw std::invalid_argument(fmt::format("extended info size {} too large to keep a leader (at most {})",
                                            config.ext_info_size, Packet::kStorage - wire::kHeadersSize));
  }
}

Receiver::~Receiver() = default;

const RxStats& Receiver::Stats() const noexcept {
  return m_packet_receiver->Stats();
}

// Leader checks shared by the leader receive and the mid-sample keep: this
// layer's own (sizes, index), then the owner's plausibility. Returns zero for
// an acceptable leader.
static std::error_code CheckLeader(const Receiver::Config& config, const Fields& f, const Packet& packet,
                                   RxStats& stats, bool& warned_ext_info, bool& warned_bpp) noexcept {
  if (f.ext_info_size != config.ext_info_size) {
    stats.skipped_ext_info.Add();
    if (!warned_ext_info) {
      warned_ext_info = true;
      LOG4CPLUS_WARN(detail::KorvelLogger(),
                     fmt::format("extended info size {} received, {} expected: start the sender with "
                                 "--ext_info_size {} or the receiver with --ext_info_size {}; leaders are skipped "
                                 "until then",
                                 f.ext_info_size, config.ext_info_size, config.ext_info_size, f.ext_info_size));
    }
    return make_error_code(RxErrc::Retry);
  }
  if (config.bytes_per_pixel != 0 && f.bpp != config.bytes_per_pixel) {
    stats.skipped_ext_info.Add();
    if (!warned_bpp) {
      warned_bpp = true;
      LOG4CPLUS_WARN(detail::KorvelLogger(),
                     fmt::format("bytes per pixel {} received, {} expected: the sender's pixel type differs from "
                                 "the receiver's data type; leaders are skipped until they agree",
                                 f.bpp, config.bytes_per_pixel));
    }
    return make_error_code(RxErrc::Retry);
  }
  const std::size_t expected_length = packet.header_size + f.ext_info_size;
  if (packet.datagram_size > expected_length) {
    // More than headers and ext info: a datagram longer than the leader slots.
    stats.truncated.Add();
    return std::make_error_code(std::errc::message_size);
  }
  if (packet.datagram_size < expected_length || f.index != 0) {
    stats.malformed_leader.Add();
    return make_error_code(RxErrc::MalformedLeader);
  }
  if (config.leader_plausible && !config.leader_plausible(wire::HeaderView(packet.data))) {
    stats.malformed_leader.Add();
    return make_error_code(RxErrc::ImplausibleLeader);
  }
  return {};
}

Receiver::Result Receiver::ReceiveLeaderPacket(detail::IovsBuilder<std::byte>&& iovs,
                                               std::chrono::nanoseconds timeout) noexcept {
  State& s = *m_state;
  if (s.kept_leader) {
    // A leader that arrived mid-sample: deliver it now, without waiting.
    PacketPtr leader = std::move(s.kept_leader);
    CopyToCallerSlots(leader->data + leader->header_size, m_config.ext_info_size, iovs);
    Fields f{};
    ReadFields(*leader, f);
    s.BeginSample(f.sample_id, f.count);
    return {{}, std::move(leader)};
  }

  Result r = m_packet_receiver->Receive(iovs, wire::kVeskHeaderSize, timeout);
  RxStats& stats = m_packet_receiver->Stats();
  Fields f{};
  if (std::optional<Result> passed_on = Unreadable(r, stats, f)) return std::move(*passed_on);
  if (f.type != PacketType::Leader) {
    stats.skipped_not_leader.Add();
    return {make_error_code(RxErrc::Retry), PacketPtr(nullptr)};
  }
  if (s.have_last_leader && f.sample_id == s.last_leader_id) {
    stats.skipped_stale.Add();
    return {make_error_code(RxErrc::Retry), PacketPtr(nullptr)};
  }
  // A message-size result of the packet layer is judged here: a leader's ext
  // info lands in the packet's spare room when no slot was given for it.
  if (const std::error_code bad = CheckLeader(m_config, f, *r.packet, stats, s.warned_ext_info, s.warned_bpp)) {
    return {bad, bad == RxErrc::Retry ? PacketPtr(nullptr) : std::move(r.packet)};
  }
  s.BeginSample(f.sample_id, f.count);
  return r;
}

Receiver::Result Receiver::ReceivePayloadPacket(detail::IovsBuilder<std::byte>&& iovs,
                                                std::chrono::nanoseconds timeout) noexcept {
  return ReceiveInSample(iovs, timeout, PacketType::Payload);
}

Receiver::Result Receiver::ReceiveTrailerPacket(detail::IovsBuilder<std::byte>&& iovs,
                                                std::chrono::nanoseconds timeout) noexcept {
  return ReceiveInSample(iovs, timeout, PacketType::Trailer);
}

Receiver::Result Receiver::ReceiveInSample(detail::IovsBuilder<std::byte>& iovs, std::chrono::nanoseconds timeout,
                                           PacketType awaited) noexcept {
  State& s = *m_state;
  if (!s.in_sample) return {std::make_error_code(std::errc::operation_not_permitted), PacketPtr(nullptr)};

  return Classify(m_packet_receiver->Receive(iovs, wire::kVeskHeaderSize, timeout), iovs, awaited);
}

Receiver::Result Receiver::Classify(Result r, detail::IovsBuilder<std::byte>& iovs, PacketType awaited) noexcept {
  State& s = *m_state;
  RxStats& stats = m_packet_receiver->Stats();
  Fields f{};
  if (std::optional<Result> passed_on = Unreadable(r, stats, f)) return std::move(*passed_on);

  if (f.type == PacketType::Leader) {
    if (f.sample_id == s.sample_id) {  // duplicate of this sample's leader
      stats.skipped_stale.Add();
      return {make_error_code(RxErrc::Retry), PacketPtr(nullptr)};
    }
    // A leader that would not be accepted is not worth ending the sample for.
    if (CheckLeader(m_config, f, *r.packet, stats, s.warned_ext_info, s.warned_bpp)) {
      return {make_error_code(RxErrc::Retry), PacketPtr(nullptr)};
    }
    // Keep it (header and ext info together in the packet's storage) so the
    // next leader receive delivers it: the lost packets cost only this sample.
    Packet& kept = const_cast<Packet&>(*r.packet);
    CopyAfterHeaders(kept, iovs, kept.storage.data() + kept.header_size, f.ext_info_size);
    kept.payload_size = f.ext_info_size;
    s.kept_leader = std::move(r.packet);
    s.in_sample = false;
    stats.unexpected_leader.Add();
    return {make_error_code(RxErrc::UnexpectedLeader), PacketPtr(nullptr)};
  }

  if (Before(f.sample_id, s.sample_id) || (f.sample_id == s.sample_id && f.index < s.next_index)) {
    stats.skipped_stale.Add();
    return {make_error_code(RxErrc::Retry), PacketPtr(nullptr)};
  }
  if (f.sample_id != s.sample_id) {
    // A later sample: this one is incomplete and given up here, the one
    // place that compares sample ids. The packet goes with the result so the
    // caller can name its sample.
    s.in_sample = false;
    return {make_error_code(RxErrc::LaterSample), std::move(r.packet)};
  }
  if (f.index > s.next_index) {
    s.in_sample = false;
    stats.missing_packet.Add();
    return {make_error_code(RxErrc::MissingPacket), std::move(r.packet)};
  }
  if (f.type != awaited) {
    // The right position but the wrong kind: the caller and the sample's
    // packet count disagree.
    s.in_sample = false;
    stats.missing_packet.Add();
    return {make_error_code(RxErrc::MissingPacket), std::move(r.packet)};
  }

  if (awaited == PacketType::Payload) {
    const std::size_t slot_bytes = iovs.CallerBytes();
    const bool too_long = r.error == std::errc::message_size;
    const bool too_short = !too_long && r.packet->payload_size < slot_bytes;
    if (too_long || too_short) {
      s.in_sample = false;
      if (too_long) {
        stats.truncated.Add();
      } else {
        stats.payload_size_mismatch.Add();
      }
      // A full payload packet (not the sample's last) states the sender's
      // chunk size, from which its MTU follows.
      const bool full_packet = f.index + 2u < s.packet_count;
      if (full_packet && f.word40 != slot_bytes && !s.warned_payload_size) {
        s.warned_payload_size = true;
        LOG4CPLUS_WARN(detail::KorvelLogger(),
                       fmt::format("payload packet of {} bytes received, {} expected: the sender's MTU size is {}; "
                                   "start sender and receiver with the same --mtu-size",
                                   f.word40, slot_bytes, f.word40 + 96));
      }
      return {too_long ? std::make_error_code(std::errc::message_size) : make_error_code(RxErrc::PayloadSizeMismatch),
              std::move(r.packet)};
    }
  } else {
    s.in_sample = false;  // the trailer ends the sample
  }
  ++s.next_index;
  return {{}, std::move(r.packet)};
}

}  // namespace korvel::vesk
