#pragma once
// Pieces every run uses: the sender's frame ring, the clock both ends read,
// a free loopback port and the wait for the receiver to go quiet.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesk_bench {

// TAI seconds (chronel) as a double, the clock of the leader's timestamp.
double TaiSeconds() noexcept;

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreeLoopbackPort();

// One pre-filled frame per tag; Next(sequence) stamps and returns the frame
// of tag sequence % kTagCount.
class FrameRing {
 public:
  explicit FrameRing(std::size_t frame_bytes);
  const std::vector<unsigned char>& Next(std::uint64_t sequence);

 private:
  std::vector<std::vector<unsigned char>> m_frames;
};

// Waits until `count` stops changing for `quiet_ms` (at most `max_ms`).
void WaitUntilQuiet(const std::atomic<std::uint64_t>& count, int quiet_ms, int max_ms);

// Latencies kept per run (later ones are not recorded).
inline constexpr std::size_t kMaxLatencies = 1 << 20;

}  // namespace vesk_bench
