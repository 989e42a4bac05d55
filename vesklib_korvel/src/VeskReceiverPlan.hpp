#pragma once
// Arithmetic of reassembling one sample from what its leader announces.
// Internal to the stream library; kept apart from the receiver so that it can
// be checked without a network.

#include <cstdint>
#include <system_error>

namespace ketra::vesktools::vesklib_korvel::detail {

struct SamplePlan {
  // Bytes of the sample: pixels x bytes per pixel.
  std::uint64_t sample_bytes = 0;
  // Pixels expected in every payload packet but possibly the last; 0 when the
  // leader announces no payload packet (two packets or fewer).
  std::uint32_t pixels_per_packet = 0;
  // Whether the leader is plausible: false when it announces fewer than two
  // packets, a byte count that does not fit a sample buffer or exceeds what
  // the announced payload packets can carry, or a stated room that cannot
  // carry the bytes or arrive whole at this MTU. The transport refuses such
  // a leader (it asks this plan), and the sample is given up before any
  // memory is reserved for it.
  bool fits = false;
};

// `packets` is the leader's packet count N (leader and trailer included),
// `pixels` its pixel count F, `stated_room` the leader's payload room (bytes
// of every payload packet but the last, 0 when the sender does not say).
// A payload packet holds stated_room / bytes_per_pixel pixels when the leader
// states a room of whole pixels: that is where the sender cut the sample.
// Otherwise it holds F / (N - 2) pixels when that divides exactly, else the
// whole pixels that fit into mtu_size - 96.
SamplePlan PlanSample(std::uint16_t packets, std::uint32_t pixels, int bytes_per_pixel, int mtu_size,
                      std::uint32_t stated_room = 0) noexcept;

// Highest pixel position after a payload packet: the larger of `highest_end`
// and tag + chunk_bytes / bytes_per_pixel, in unsigned 32-bit arithmetic.
std::uint32_t AdvancePayloadEnd(std::uint32_t highest_end, std::uint32_t tag, std::uint64_t chunk_bytes,
                                int bytes_per_pixel) noexcept;

// Results that make the receiver repeat a receive call: the transport's
// "skip and receive again" for every packet kind, and additionally, for a
// leader, a datagram that did not fit its buffers (message size).
bool IsRetry(const std::error_code& error) noexcept;
bool IsLeaderRetry(const std::error_code& error) noexcept;

}  // namespace ketra::vesktools::vesklib_korvel::detail
