#pragma once
// Packet layer, receiving side: one recvmsg per datagram, headers into a
// packet buffer of this layer's pool, the rest straight into the caller's
// slots. Checks magic, version and topic.

#include <korvel/RxErrc.hpp>
#include <korvel/RxStats.hpp>
#include <korvel/Socket.hpp>
#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/wire/Header.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <system_error>
#include <utility>
#include <vector>

namespace korvel::dunmo {

class Receiver {
 public:
  struct Config {
    std::int32_t topic_id = 0;
    std::uint16_t packets_per_sample = 0;  // expected N (sizes internal state only)
    std::uint8_t options = 0;              // receive options (0: defaults)
    std::uint64_t max_sample_bytes = 0;    // 0: what the sample's packets can carry
  };

  // Header bytes of one received datagram. `data` points at the dunmo header
  // followed by the upper layer's header (`header_size` bytes in all).
  struct Packet {
    const std::byte* data = nullptr;
    std::size_t header_size = 0;
    std::size_t payload_size = 0;   // bytes that landed in the caller's slots
    bool truncated = false;         // datagram was larger than the slots
    std::size_t datagram_size = 0;  // the datagram's full length
    Receiver* owner = nullptr;
    std::uint32_t pool_index = 0;
    static constexpr std::size_t kStorage = 96;  // header room, also holds a kept ext info block
    alignas(8) std::array<std::byte, kStorage> storage{};
  };

  // Gives a packet back to its receiver's pool.
  struct PacketDeleter {
    void operator()(const Packet* packet) const noexcept;
  };
  using PacketPtr = std::unique_ptr<const Packet, PacketDeleter>;

  struct Result {
    std::error_code error;
    PacketPtr packet;  // empty with a zero error: nothing arrived in time
  };

  Receiver(const Config& config, RxSocket& socket, std::pmr::memory_resource* memory);
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver();

  // Number of packet buffers in the pool made at construction.
  static constexpr std::uint32_t kPoolSize = 16;

  // Receives one datagram of this topic. Slot 0 is set to a packet buffer
  // taking kDunmoHeaderSize + `upper_header_size` bytes; caller slots follow,
  // then the rest of the packet buffer's storage, which catches up to
  // kStorage - header bytes beyond the caller's slots (e.g. a leader's ext
  // info block arriving where no slot was given). `truncated` tells whether
  // the datagram was longer than header and caller slots; a truncated
  // datagram of this topic gives std::errc::message_size with the packet.
  // A datagram that is not this protocol or not this topic gives RxErrc::Retry
  // (with the packet, so the caller may inspect it, when its headers are whole).
  Result Receive(detail::IovsBuilder<std::byte>& iovs, std::size_t upper_header_size,
                 std::chrono::nanoseconds timeout) noexcept;

  // A packet buffer taken from the pool for the caller's own use (e.g. to keep
  // a copy of a packet); empty when none is free.
  PacketPtr Acquire() noexcept;

  const Config& GetConfig() const noexcept { return m_config; }
  RxStats& Stats() noexcept { return m_stats; }
  const RxStats& Stats() const noexcept { return m_stats; }

 private:
  friend struct PacketDeleter;
  void Release(const Packet* packet) noexcept;

  Config m_config;
  RxSocket& m_socket;
  std::vector<Packet> m_pool;
  std::vector<std::uint32_t> m_free;
  RxStats m_stats;
};

}  // namespace korvel::dunmo
