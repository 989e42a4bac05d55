// Real frames for the veskrecv tests, made by korvel's own senders.
#include "realFrames.hpp"

#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <cstddef>

namespace veskrecv_test {

namespace {

constexpr std::size_t kPayloadRoom = 9000 - 96;  // MTU less the header room

}  // namespace

void SendFrame(std::uint16_t port, std::uint32_t id, int drop_index) {
  vesk_test::SampleSpec layout;
  layout.sample_id = id;
  layout.pixels = kFrameWidth * kFrameHeight;
  layout.bytes_per_pixel = 2;
  const std::size_t bytes = static_cast<std::size_t>(layout.pixels) * 2;
  layout.chunk_bytes = kPayloadRoom;
  layout.payload_room = static_cast<std::uint32_t>(kPayloadRoom);
  layout.packets = static_cast<std::uint16_t>((bytes + kPayloadRoom - 1) / kPayloadRoom + 2);
  layout.data = vesk_test::Pattern(bytes, id);
  std::vector<vesk_test::Datagram> datagrams = vesk_test::BuildSample(layout);
  if (drop_index >= 0 && static_cast<std::size_t>(drop_index) < datagrams.size()) {
    datagrams.erase(datagrams.begin() + drop_index);
  }
  vesk_test::UdpPeer(port).SendAll(datagrams);
}

}  // namespace veskrecv_test
