// Real frames for the veskrecv tests, made by korvel's own senders.
#include "realFrames.hpp"

#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace veskrecv_test {

namespace {

constexpr std::size_t kPayloadRoom = 9000 - 96;  // MTU less the header room

std::vector<vesk_test::Datagram> Frame(std::uint32_t id) {
  vesk_test::SampleSpec layout;
  layout.sample_id = id;
  layout.pixels = kFrameWidth * kFrameHeight;
  layout.bytes_per_pixel = 2;
  const std::size_t bytes = static_cast<std::size_t>(layout.pixels) * 2;
  layout.chunk_bytes = kPayloadRoom;
  layout.payload_room = static_cast<std::uint32_t>(kPayloadRoom);
  layout.packets = static_cast<std::uint16_t>((bytes + kPayloadRoom - 1) / kPayloadRoom + 2);
  layout.data = vesk_test::Pattern(bytes, id);
  return vesk_test::BuildSample(layout);
}

}  // namespace

void SendFrame(std::uint16_t port, std::uint32_t id, int drop_index) {
  std::vector<vesk_test::Datagram> datagrams = Frame(id);
  if (drop_index >= 0 && static_cast<std::size_t>(drop_index) < datagrams.size()) {
    datagrams.erase(datagrams.begin() + drop_index);
  }
  vesk_test::UdpPeer(port).SendAll(datagrams);
}

void SendFrameStart(std::uint16_t port, std::uint32_t id, std::size_t datagrams) {
  std::vector<vesk_test::Datagram> frame = Frame(id);
  frame.resize(std::min(datagrams, frame.size()));
  vesk_test::UdpPeer(port).SendAll(frame);
}

}  // namespace veskrecv_test
