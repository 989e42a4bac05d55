// Packet geometry: how many datagrams one sample needs. Sender and receiver
// both use these functions so that they always agree on the count.

#include <vesklib_korvel/PacketGeometry.hpp>

#include <fmt/format.h>

#include <limits>
#include <stdexcept>

namespace ketra::vesktools::vesklib_korvel {

namespace {

// The packet layer carries the packet count in 16 bits.
constexpr std::int64_t kMaxPacketsPerSample = std::numeric_limits<std::uint16_t>::max();

// Whole pixels that fit in the pixel room of one datagram; 0 when none fits.
std::int64_t PixelsPerPayloadPacket(int bytes_per_pixel, int mtu_size) noexcept {
  if (bytes_per_pixel <= 0 || mtu_size <= kHeaderRoom) {
    return 0;
  }
  return (mtu_size - kHeaderRoom) / bytes_per_pixel;
}

}  // namespace

std::int64_t PacketsPerSample(std::int64_t pixels, int bytes_per_pixel, int mtu_size) noexcept {
  const std::int64_t pixels_per_packet = PixelsPerPayloadPacket(bytes_per_pixel, mtu_size);
  if (pixels_per_packet == 0 || pixels < 0) {
    return -1;
  }
  // ceil(pixels x bpp / (pixels_per_packet x bpp)) == ceil(pixels / pixels_per_packet):
  // counted in whole pixels, so a payload never has to carry a partial pixel
  // and the product pixels x bpp cannot overflow.
  const std::int64_t payload_packets = pixels / pixels_per_packet + (pixels % pixels_per_packet != 0 ? 1 : 0);
  return payload_packets + 2;
}

PacketGeometry ComputePacketGeometry(std::int64_t pixels, int bytes_per_pixel, int mtu_size) {
  if (pixels <= 0) {
    throw std::invalid_argument(fmt::format("pixels per sample must be above 0, got {}", pixels));
  }
  if (bytes_per_pixel <= 0) {
    throw std::invalid_argument(
        fmt::format("pixel type has no fixed size (bytes per pixel {}); it cannot be streamed", bytes_per_pixel));
  }
  if (mtu_size <= kHeaderRoom) {
    throw std::invalid_argument(
        fmt::format("mtu_size {} leaves no room for pixels; it must be above {}", mtu_size, kHeaderRoom));
  }
  const std::int64_t pixels_per_packet = PixelsPerPayloadPacket(bytes_per_pixel, mtu_size);
  if (pixels_per_packet == 0) {
    throw std::invalid_argument(
        fmt::format("mtu_size {} leaves no room for one pixel of {} bytes", mtu_size, bytes_per_pixel));
  }
  const std::int64_t packets = PacketsPerSample(pixels, bytes_per_pixel, mtu_size);
  if (packets > kMaxPacketsPerSample) {
    throw std::invalid_argument(fmt::format(
        "a sample of {} pixels of {} bytes needs {} packets at mtu_size {}; at most {} packets are supported", pixels,
        bytes_per_pixel, packets, mtu_size, kMaxPacketsPerSample));
  }
  PacketGeometry geometry;
  geometry.bytes_per_pixel = bytes_per_pixel;
  geometry.pixels_per_payload_packet = static_cast<int>(pixels_per_packet);
  geometry.payload_bytes_per_packet = static_cast<int>(pixels_per_packet * bytes_per_pixel);
  geometry.sample_bytes = pixels * bytes_per_pixel;
  geometry.packets_per_sample = packets;
  return geometry;
}

}  // namespace ketra::vesktools::vesklib_korvel
