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
#include <gsl/span>
#include <memory_resource>
#include <optional>
#include <system_error>
#include <vector>

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

  // Batches: up to kBatchCapacity packets of the current sample per call.
  // Each batch packet has its own header storage, made when the sender is
  // built: this layer's header followed by kBatchUpperHeaderRoom bytes for
  // the upper layers' headers. No allocation per packet or per batch.
  static constexpr std::size_t kBatchCapacity = 64;
  static constexpr std::size_t kBatchUpperHeaderRoom = 32;

  // Upper layers' header bytes of batch packet `i` (i < kBatchCapacity).
  std::byte* BatchUpperHeader(std::size_t i) noexcept;

  // Sends `count` (at most kBatchCapacity) packets continuing the current
  // sample: packet i is [this layer's header][the first `upper_header_size`
  // bytes of BatchUpperHeader(i)][bodies[i]]. The header fields are the ones
  // Send would write for the same packets one by one (indices continue, every
  // packet carries `timestamp`). With `segment` and a socket that can
  // segment, each run of equal-size packets (the run's last may be shorter)
  // goes out as one message cut by the kernel; should the socket turn
  // segmentation off at its first use, the same packets are sent unsegmented.
  // Synchronous: when it returns nothing refers to `bodies`. `sent` is set to
  // the number of packets that went out; the error is the first unsent one's.
  std::error_code SendBatch(std::size_t count, std::size_t upper_header_size, const gsl::span<const std::byte>* bodies,
                            std::optional<chronel::Chronel::time_point> timestamp, bool segment,
                            std::size_t& sent) noexcept;

  std::uint32_t CurrentSampleId() const noexcept { return m_sample_id; }
  std::uint16_t NextPacketIndex() const noexcept { return m_packet_index; }
  const Config& GetConfig() const noexcept { return m_config; }

 private:
  Config m_config;
  TxSocket& m_socket;
  std::uint32_t m_sample_id;
  std::uint16_t m_packet_index = 0;
  std::array<std::byte, wire::kDunmoHeaderSize> m_header{};
  // Batch storage: kBatchCapacity headers of kBatchHeaderStride bytes, two
  // iovecs (headers, body) per packet, one message per packet at most.
  static constexpr std::size_t kBatchHeaderStride = wire::kDunmoHeaderSize + kBatchUpperHeaderRoom;
  std::pmr::vector<std::byte> m_batch_headers;
  std::pmr::vector<iovec> m_batch_iovs;
  std::pmr::vector<TxMessage> m_batch_messages;
};

}  // namespace korvel::dunmo
