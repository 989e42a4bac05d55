#pragma once
// Receive-side counters of the packet and stream layers. Written by the
// receiving thread only, readable from any thread at any time.

#include <atomic>
#include <cstdint>

namespace korvel {

struct RxCounter {
  std::atomic<std::uint64_t> value{0};
  // Single writer: a relaxed load and store avoid a locked instruction per packet.
  void Add(std::uint64_t n = 1) noexcept {
    value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  std::uint64_t Get() const noexcept { return value.load(std::memory_order_relaxed); }
};

struct RxStats {
  RxCounter datagrams;              // datagrams taken from the socket
  RxCounter skipped_foreign;        // too short, wrong magic or version: not this protocol
  RxCounter skipped_other_topic;    // this protocol, another topic
  RxCounter skipped_not_leader;     // payload or trailer while a leader was awaited
  RxCounter skipped_stale;          // packet of an earlier sample, or a duplicate
  RxCounter skipped_ext_info;       // leader whose ext info size differs from the configured one
  RxCounter truncated;              // datagram larger than the slots given
  RxCounter unexpected_leader;      // leader arrived mid-sample (kept for the next sample)
  RxCounter missing_packet;         // later packet of the sample arrived: packets in between lost
  RxCounter payload_size_mismatch;  // payload shorter than its slot
  RxCounter malformed_leader;       // leader announcing an impossible sample
  RxCounter joined_buffers;         // received buffers holding several datagrams joined by the kernel (UDP GRO)
};

}  // namespace korvel
