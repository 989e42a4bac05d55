#pragma once
// The largest sample a receiver reserves memory for. Internal to the stream
// library.

#include <cstdint>

namespace ketra::vesktools::vesklib_korvel::detail {

// Upper bound of the default rule: 1 GiB.
inline constexpr std::uint64_t kMaxSampleBytesCap = std::uint64_t{1} << 30;

// `configured` when not 0; otherwise what the largest sample this receiver's
// packets can carry holds (65533 payload packets of the whole pixels that fit
// into mtu_size - 96), at most kMaxSampleBytesCap.
std::uint64_t MaxSampleBytes(std::uint64_t configured, int bytes_per_pixel, int mtu_size) noexcept;

}  // namespace ketra::vesktools::vesklib_korvel::detail
