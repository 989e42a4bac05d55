#pragma once
// Test support: real 1024 x 1024 Int16 frames as a sender at MTU 9000 (the
// receiver tool's) cuts them, sent to a port on 127.0.0.1.

#include <cstddef>
#include <cstdint>

namespace veskrecv_test {

constexpr int kFrameWidth = 1024;
constexpr int kFrameHeight = 1024;

// Sends frame `id` (leader, 236 payloads, trailer) to 127.0.0.1:`port`,
// leaving out the datagram at `drop_index` (0 is the leader) when it is not
// negative.
void SendFrame(std::uint16_t port, std::uint32_t id, int drop_index = -1);

// Sends only the first `datagrams` datagrams of frame `id`: a sender that
// stopped in the middle of a frame.
void SendFrameStart(std::uint16_t port, std::uint32_t id, std::size_t datagrams);

}  // namespace veskrecv_test
