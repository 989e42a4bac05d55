#pragma once
// Packet layer, sending side: stamps every packet with the dunmo header
// (topic, component, sample id, packet index, packet count, timestamp) and
// sends it as one datagram. Consecutive samples get consecutive ids.

#include <chronel/Chronel.hpp>
#include <korvel/Socket.hpp>
#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/wire/Header.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <memory_resource>
#include <optional>
#include <system_error>

namespace korvel::dunmo {

struct SentPacketInfo {
  std::uint32_t sample_id;
  std::uint16_t packet_index;
  std::size_t datagram_bytes;
};

class Sender {
 public:
  struct Config {
    std::int32_t topic_id = 0;
    std::uint16_t component_id = 0;
    std::uint16_t packets_per_sample = 0;                       // N written into every header
    std::uint8_t protocol_version = 1;                          // dunmo header version to write
    std::uint32_t first_sample_id = 0;                          // 0: start at 1
    std::function<void(const SentPacketInfo&)> on_packet_sent;  // optional observer
  };

  Sender(const Config& config, TxSocket& socket, std::pmr::memory_resource* memory);
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  // Sends one packet. Slot 0 receives this layer's header; slots 1 to 3 hold
  // the upper layers' headers; caller slots follow. `starts_sample` opens a
  // new sample (next id, packet index 0); otherwise the index advances.
  std::error_code Send(detail::IovsBuilder<const std::byte>& iovs, bool starts_sample,
                       std::optional<chronel::Chronel::time_point> timestamp) noexcept;

  std::uint32_t CurrentSampleId() const noexcept { return m_sample_id; }
  std::uint16_t NextPacketIndex() const noexcept { return m_packet_index; }
  const Config& GetConfig() const noexcept { return m_config; }

 private:
  Config m_config;
  TxSocket& m_socket;
  std::uint32_t m_sample_id;
  std::uint16_t m_packet_index = 0;
  std::array<std::byte, wire::kDunmoHeaderSize> m_header{};
};

}  // namespace korvel::dunmo
