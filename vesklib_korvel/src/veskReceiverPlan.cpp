// Reassembly arithmetic of the receiver: how many bytes a leader announces,
// how they are spread over the payload packets, which results are retried.
#include "VeskReceiverPlan.hpp"

#include <korvel/RxErrc.hpp>
#include <vesklib_korvel/PacketGeometry.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace ketra::vesktools::vesklib_korvel::detail {

namespace {
// Largest UDP payload an IPv4 datagram carries.
constexpr std::uint32_t kMaxDatagramPayload = 65507;
}  // namespace

SamplePlan PlanSample(std::uint16_t packets, std::uint32_t pixels, int bytes_per_pixel, int mtu_size,
                      std::uint32_t stated_room) noexcept {
  SamplePlan plan;
  if (bytes_per_pixel <= 0) return plan;
  const auto bpp = static_cast<std::uint32_t>(bytes_per_pixel);
  plan.sample_bytes = std::uint64_t{pixels} * bpp;
  const bool room_stated = stated_room != 0 && stated_room % bpp == 0;
  if (packets > 2) {
    const std::uint32_t payload_packets = packets - 2u;
    if (room_stated) {
      plan.pixels_per_packet = stated_room / bpp;
    } else if (pixels % payload_packets == 0) {
      plan.pixels_per_packet = pixels / payload_packets;
    } else {
      plan.pixels_per_packet = static_cast<std::uint32_t>(std::max(0, (mtu_size - kHeaderRoom) / bytes_per_pixel));
    }
  }
  // A stated room, of whole pixels or not, must let the announced payload
  // packets carry the announced bytes, each within one datagram.
  const std::uint64_t payloads = packets > 2 ? packets - 2u : 0u;
  if (stated_room != 0 && (stated_room > kMaxDatagramPayload || payloads * stated_room < plan.sample_bytes)) {
    return plan;
  }
  // A sample buffer is indexed with 32-bit signed sizes on the wire side.
  if (plan.sample_bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return plan;
  // The payload packets announced must be able to carry the announced bytes:
  // a forged leader never makes the receiver reserve more than its packets
  // could fill. Without a stated room, the sender's own cutting rule tells.
  if (room_stated || packets <= 2) {
    // A payload larger than this receiver's MTU allows cannot arrive whole:
    // the sender's MTU differs (or the leader is forged).
    const bool room_arrives =
        !room_stated || stated_room <= static_cast<std::uint32_t>(std::max(0, mtu_size - kHeaderRoom));
    plan.fits =
        room_arrives && packets >= 2 && plan.sample_bytes <= payloads * plan.pixels_per_packet * std::uint64_t{bpp};
  } else {
    const std::int64_t needed = PacketsPerSample(pixels, bytes_per_pixel, mtu_size);
    plan.fits = needed >= 2 && needed <= packets;
  }
  return plan;
}

std::uint32_t AdvancePayloadEnd(std::uint32_t highest_end, std::uint32_t tag, std::uint64_t chunk_bytes,
                                int bytes_per_pixel) noexcept {
  const auto end = static_cast<std::uint32_t>(chunk_bytes / static_cast<std::uint64_t>(bytes_per_pixel)) + tag;
  return std::max(highest_end, end);
}

bool IsRetry(const std::error_code& error) noexcept {
  return error == korvel::vesk::make_error_code(korvel::vesk::RxErrc::Retry);
}

bool IsLeaderRetry(const std::error_code& error) noexcept {
  return IsRetry(error) || error == std::errc::message_size;
}

}  // namespace ketra::vesktools::vesklib_korvel::detail
