// Reassembly arithmetic of the receiver: how many bytes a leader announces,
// how they are spread over the payload packets, which results are retried.
#include "veskReceiverPlan.hpp"

#include <korvel/RxErrc.hpp>
#include <vesklib_korvel/PacketGeometry.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace ketra::vesktools::vesklib_korvel::detail {

SamplePlan PlanSample(std::uint16_t packets, std::uint32_t pixels, int bytes_per_pixel, int mtu_size) noexcept {
  SamplePlan plan;
  if (bytes_per_pixel <= 0) return plan;
  plan.sample_bytes = static_cast<std::uint64_t>(pixels) * static_cast<std::uint64_t>(bytes_per_pixel);
  if (packets > 2) {
    const std::uint32_t payload_packets = packets - 2u;
    plan.pixels_per_packet = (pixels % payload_packets == 0)
                                 ? pixels / payload_packets
                                 : static_cast<std::uint32_t>(std::max(0, (mtu_size - kHeaderRoom) / bytes_per_pixel));
  }
  // A sample buffer is indexed with 32-bit signed sizes on the wire side.
  if (plan.sample_bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return plan;
  // The packets needed for these bytes, by the rule the sender cuts with,
  // must not exceed the packets announced.
  const std::int64_t needed = PacketsPerSample(pixels, bytes_per_pixel, mtu_size);
  plan.fits = needed >= 2 && needed <= packets;
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
