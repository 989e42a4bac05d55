#pragma once
// How a sample is cut into packets; shared by sender and receiver.

#include <cstdint>

namespace ketra::vesktools::vesklib_korvel {

// Bytes of every datagram reserved for headers.
inline constexpr int kHeaderRoom = 96;

struct PacketGeometry {
  int bytes_per_pixel = 0;
  int pixels_per_payload_packet = 0;  // (mtu_size - 96) / bytes_per_pixel
  int payload_bytes_per_packet = 0;   // pixels_per_payload_packet * bytes_per_pixel (usable room)
  std::int64_t sample_bytes = 0;
  std::int64_t packets_per_sample = 0;  // payload packets + leader + trailer
};

// Exact integer packet count: ceil(pixels x bpp / usable room) + 2, where the
// usable room is the whole pixels that fit in mtu_size - 96. Returns -1 when
// there is no room (bpp <= 0 or mtu_size <= 96) or pixels is negative.
std::int64_t PacketsPerSample(std::int64_t pixels, int bytes_per_pixel, int mtu_size) noexcept;

// Geometry of a sendable configuration. Throws std::invalid_argument, naming
// the value, for 0 or negative pixels, a pixel type without a fixed size,
// mtu_size of 96 or less, and more than 65535 packets per sample.
PacketGeometry ComputePacketGeometry(std::int64_t pixels, int bytes_per_pixel, int mtu_size);

}  // namespace ketra::vesktools::vesklib_korvel
