#pragma once
// Pieces every run uses: the sender's frame ring, the clock both ends read,
// a free loopback port and the wait for the receiver to go quiet.

#include "CpuClock.hpp"
#include "Run.hpp"

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// What the timed part of a run's send thread measured.
struct SendPhase {
  std::uint64_t frames_sent = 0;
  double send_seconds = 0;
  double sender_cpu_pct = 0;
  bool send_failed = false;  // `send` returned false and ended the phase
  MachineTicks machine_before;
  double rx_cpu_before = 0;  // receive thread CPU seconds when the timed part began
};

// The send thread's work, the same for every transport: warm-up frames
// (tag kWarmUpBit | n) every 20 ms until `warm_up` counts one (at most 5 s),
// then (`rx_tid` read at that point) params.rate x params.seconds frames paced to absolute deadlines, or
// as many as params.seconds allows when unpaced. `send(tag)` sends the frame
// of that tag; false ends the timed part (a warm-up failure is ignored).
SendPhase RunSendPhase(const RunParams& params, const std::atomic<std::uint64_t>& warm_up,
                       const std::atomic<pid_t>& rx_tid, const std::function<bool(std::uint64_t tag)>& send);

// Latencies kept per run (later ones are not recorded).
inline constexpr std::size_t kMaxLatencies = 1 << 20;

}  // namespace vesk_bench
