// Default maximum sample size of a receiver.
#include "SampleSizeLimit.hpp"

#include <vesklib_korvel/PacketGeometry.hpp>

#include <algorithm>
#include <limits>

namespace ketra::vesktools::vesklib_korvel::detail {

std::uint64_t MaxSampleBytes(std::uint64_t configured, int bytes_per_pixel, int mtu_size) noexcept {
  if (configured != 0) return configured;
  if (bytes_per_pixel <= 0 || mtu_size <= kHeaderRoom) return 0;
  // The packet count is 16 bits wide; leader and trailer carry no pixels.
  const std::uint64_t payload_packets = std::numeric_limits<std::uint16_t>::max() - 2u;
  const auto bpp = static_cast<std::uint64_t>(bytes_per_pixel);
  const std::uint64_t room = static_cast<std::uint64_t>(mtu_size - kHeaderRoom) / bpp * bpp;
  return std::min(payload_packets * room, kMaxSampleBytesCap);
}

}  // namespace ketra::vesktools::vesklib_korvel::detail
