#pragma once
// UDP sending socket (unicast or multicast destination).

#include <korvel/Ipv4.hpp>
#include <korvel/Socket.hpp>

#include <netinet/in.h>
#include <cstdint>
#include <memory_resource>
#include <optional>

namespace korvel {

class UdpTxSocket final : public TxSocket {
 public:
  struct Config {
    std::uint16_t src_port = 0;  // 0: any local port
    std::uint16_t dest_port = 0;
    std::uint8_t multicast_loop = 1;     // deliver multicast to local listeners too
    std::optional<Ipv4> src_ip;          // bind address; for multicast also the outgoing interface
    Ipv4 dest_ip;                        // 0.0.0.0 when no destination was given
    std::uint8_t multicast_ttl = 0;      // 0: system default
    std::uint64_t send_buffer_size = 0;  // 0: system default
    // Offer UDP segmentation offload (UDP_SEGMENT) to SendBatch callers when
    // the kernel supports it (probed once here).
    bool segmentation_offload = false;
  };

  // Creates and binds the socket and sets its multicast options. The socket
  // stays unconnected (every datagram names its destination), so an ICMP
  // "port unreachable" from a missing receiver never fails a later send.
  // Throws std::system_error whose text names the failed step, the address
  // and port.
  UdpTxSocket(const Config& config, std::pmr::memory_resource* memory);
  ~UdpTxSocket() override;
  UdpTxSocket(const UdpTxSocket&) = delete;
  UdpTxSocket& operator=(const UdpTxSocket&) = delete;

  std::error_code Send(const iovec* iovs, std::size_t iov_count) noexcept override;
  // sendmmsg in chunks of up to 64 messages; a partial result goes on with
  // the rest. A segmented message failing with EIO or EINVAL before any
  // segmented message went out turns segmentation off (the device or path
  // cannot do it); the caller resends those datagrams unsegmented.
  std::error_code SendBatch(const TxMessage* messages, std::size_t count, std::size_t& sent) noexcept override;
  bool CanSegment() const noexcept override { return m_can_segment; }

  int NativeHandle() const noexcept { return m_fd; }
  const Config& GetConfig() const noexcept { return m_config; }

 private:
  Config m_config;
  int m_fd = -1;
  sockaddr_in m_dest{};
  bool m_can_segment = false;
  bool m_segmentation_proven = false;  // a segmented message went out
};

}  // namespace korvel
