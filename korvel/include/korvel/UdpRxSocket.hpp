#pragma once
// UDP receiving socket: binds a port, joins a multicast group when the
// address is one, and sizes its kernel receive buffer. A unicast port is
// bound exclusively (a second socket on it is refused); the sockets of one
// multicast group share its port.

#include <korvel/Ipv4.hpp>
#include <korvel/Socket.hpp>

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>

namespace korvel {

class UdpRxSocket final : public RxSocket {
 public:
  struct Config {
    std::uint16_t port = 0;
    std::optional<Ipv4> address;    // local address, or multicast group to join; empty: any
    std::uint64_t max_iovs = 6;     // scatter entries one datagram may use
    std::uint64_t buffer_size = 0;  // kernel receive buffer (SO_RCVBUF); 0: system default
    std::string netif;              // interface for multicast (name); empty: default
    std::int32_t busy_poll_us = 0;  // SO_BUSY_POLL; 0: off
    // Ask the kernel to join datagrams of one flow into one received buffer
    // (UDP GRO); ignored where the kernel does not offer it.
    bool coalesce = false;
  };

  // Throws std::system_error whose text names the failed step (bind on which
  // address and port, the multicast join, ...) and the system's message; a
  // port taken by another socket gives EADDRINUSE and says "port in use".
  UdpRxSocket(const Config& config, std::pmr::memory_resource* memory);
  ~UdpRxSocket() override;
  UdpRxSocket(const UdpRxSocket&) = delete;
  UdpRxSocket& operator=(const UdpRxSocket&) = delete;

  std::error_code Receive(const iovec* iovs, std::size_t iov_count, std::chrono::nanoseconds timeout,
                          RxDatagram& out) noexcept override;
  // Takes up to kMaxBatch datagrams per recvmmsg call.
  std::error_code ReceiveBatch(RxMessage* messages, std::size_t count, std::chrono::nanoseconds timeout,
                               std::size_t& received) noexcept override;
  static constexpr std::size_t kMaxBatch = 64;
  // True when the kernel accepted the request to join datagrams.
  bool Coalesces() const noexcept override { return m_coalesces; }

  int NativeHandle() const noexcept { return m_fd; }
  // Port actually bound (useful when the configured port was 0).
  std::uint16_t LocalPort() const noexcept { return m_local_port; }
  // Receive buffer size the kernel granted, as getsockopt reports it.
  std::uint64_t GrantedBufferSize() const noexcept { return m_granted_buffer; }
  const Config& GetConfig() const noexcept { return m_config; }

 private:
  Config m_config;
  int m_fd = -1;
  std::uint16_t m_local_port = 0;
  std::uint64_t m_granted_buffer = 0;
  bool m_coalesces = false;
};

}  // namespace korvel
