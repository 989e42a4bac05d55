#pragma once
// Test support: a scripted VESK sender. Datagrams are made by korvel's own
// senders (so headers are what a real sender writes), recorded, optionally
// altered field by field, and sent through a plain UDP socket to 127.0.0.1
// (UdpPeer).

#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/dunmo/Sender.hpp>
#include <korvel/vesk/Sender.hpp>
#include <korvel/wire/Header.hpp>
#include <vesk_test/MemorySockets.hpp>
#include <vesk_test/Ports.hpp>
#include <vesk_test/UdpPeer.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <vector>

namespace vesk_test {

using Datagram = std::vector<std::byte>;

struct SampleSpec {
  std::uint32_t sample_id = 1;
  std::uint16_t packets = 2;  // N, leader and trailer included
  std::int32_t pixels = 0;    // F
  int bytes_per_pixel = 2;
  std::size_t chunk_bytes = 0;           // pixel bytes per payload packet; the last takes the rest
  std::vector<unsigned char> data;       // the sample's pixel bytes
  std::uint8_t ext_info_size = 0;        // 0 or 8
  std::vector<unsigned char> ext_block;  // ext_info_size bytes
  std::int32_t topic_id = 10;
  std::uint32_t payload_room = 0;  // room stated in the leader; 0: the layer's even split
};

// Leader, N - 2 payload packets (empty once the data is used up), trailer.
inline std::vector<Datagram> BuildSample(const SampleSpec& layout) {
  MemoryQueue sent;
  MemoryTxSocket socket(sent);
  korvel::dunmo::Sender::Config dunmo_config;
  dunmo_config.topic_id = layout.topic_id;
  dunmo_config.component_id = 1;
  dunmo_config.packets_per_sample = layout.packets;
  dunmo_config.protocol_version = 1;
  dunmo_config.first_sample_id = layout.sample_id;
  korvel::dunmo::Sender packet_sender(dunmo_config, socket, nullptr);
  const std::vector<std::byte> pattern(static_cast<std::size_t>(layout.bytes_per_pixel), std::byte{0x23});
  korvel::vesk::Sender::Config vesk_config;
  vesk_config.protocol_option = 0;
  vesk_config.max_ext_info_size = 8;
  vesk_config.ext_info_size = layout.ext_info_size;
  vesk_config.pixels_per_sample = layout.pixels;
  vesk_config.payload_room = layout.payload_room;
  vesk_config.pixel_pattern = gsl::span<const std::byte>(pattern.data(), pattern.size());
  korvel::vesk::Sender sender(vesk_config, packet_sender);

  korvel::TxSlotArray slots{};
  auto bytes = [](const unsigned char* p, std::size_t n) {
    return gsl::span<const std::byte>(reinterpret_cast<const std::byte*>(p), n);
  };
  auto check = [](std::error_code error) {
    if (error) throw std::runtime_error("scripted sender: " + error.message());
  };
  {
    auto builder = korvel::MakeTxIovsBuilder(slots);
    if (layout.ext_info_size != 0) builder.Append(bytes(layout.ext_block.data(), layout.ext_block.size()));
    check(sender.SendLeaderPacket(std::move(builder), std::nullopt, std::nullopt, std::nullopt));
  }
  std::size_t offset = 0;
  for (int k = 2; k < layout.packets; ++k) {
    const bool last = k + 1 == layout.packets;
    const std::size_t left = layout.data.size() - offset;
    const std::size_t n = last ? left : std::min(layout.chunk_bytes, left);
    auto builder = korvel::MakeTxIovsBuilder(slots);
    if (n != 0) builder.Append(bytes(layout.data.data() + offset, n));
    check(sender.SendPayloadPacket(std::move(builder), std::nullopt, 0, std::nullopt, 0));
    offset += n;
  }
  check(sender.SendTrailerPacket(korvel::MakeTxIovsBuilder(slots), std::nullopt, std::nullopt, std::nullopt));
  return {std::make_move_iterator(sent.datagrams.begin()), std::make_move_iterator(sent.datagrams.end())};
}

inline void SetU32(Datagram& datagram, std::size_t offset, std::uint32_t value) {
  korvel::wire::StoreBe32(datagram.data() + offset, value);
}
inline std::uint32_t GetU32(const Datagram& datagram, std::size_t offset) {
  return korvel::wire::LoadBe32(datagram.data() + offset);
}

// Pixel bytes 0, 1, 2, ... (mod 251) so that misplaced chunks show.
inline std::vector<unsigned char> Pattern(std::size_t size, unsigned seed = 0) {
  std::vector<unsigned char> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>((i + seed) % 251);
  return data;
}

}  // namespace vesk_test
