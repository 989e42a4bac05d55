#pragma once
// Abstract datagram sockets. The UDP implementations are UdpTxSocket and
// UdpRxSocket; tests may provide in-memory ones.

#include <sys/uio.h>
#include <chrono>
#include <cstddef>
#include <system_error>

namespace korvel {

class TxSocket {
 public:
  virtual ~TxSocket() = default;
  // Sends one datagram gathered from `iovs` (one sendmsg). Empty iovecs are
  // allowed. Returns a system error code on failure.
  virtual std::error_code Send(const iovec* iovs, std::size_t iov_count) noexcept = 0;
};

// What one receive call got.
struct RxDatagram {
  bool received = false;          // false: nothing arrived before the timeout
  std::size_t bytes = 0;          // bytes placed into the iovecs
  bool truncated = false;         // the datagram was larger than the iovecs (MSG_TRUNC)
  std::size_t datagram_size = 0;  // the datagram's full length (>= bytes; equal unless truncated)
};

class RxSocket {
 public:
  virtual ~RxSocket() = default;
  // Receives one datagram scattered into `iovs` (one recvmsg when data is
  // queued; otherwise waits with poll up to `timeout`; a timeout <= 0 checks
  // once without waiting). Returns a system error code on failure.
  virtual std::error_code Receive(const iovec* iovs, std::size_t iov_count, std::chrono::nanoseconds timeout,
                                  RxDatagram& out) noexcept = 0;
};

}  // namespace korvel
