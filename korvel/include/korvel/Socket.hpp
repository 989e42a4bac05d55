#pragma once
// Abstract datagram sockets. The UDP implementations are UdpTxSocket and
// UdpRxSocket; tests may provide in-memory ones.

#include <sys/uio.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <system_error>

namespace korvel {

// One message of a batch: one datagram gathered from `iovs`, or, with a
// segment size, several datagrams the kernel cuts from the gathered bytes
// every `segment_size` bytes (the last one may be shorter): UDP segmentation
// offload.
struct TxMessage {
  const iovec* iovs = nullptr;
  std::size_t iov_count = 0;
  std::uint16_t segment_size = 0;  // 0: the message is one datagram
};

class TxSocket {
 public:
  virtual ~TxSocket() = default;
  // Sends one datagram gathered from `iovs` (one sendmsg). Empty iovecs are
  // allowed. Returns a system error code on failure.
  virtual std::error_code Send(const iovec* iovs, std::size_t iov_count) noexcept = 0;

  // Sends `messages` in order, synchronously: when it returns nothing refers
  // to the messages' buffers. `sent` is set to the number of messages that
  // went out; on failure the returned error is the first unsent message's.
  // This default sends one datagram per Send call and refuses segmented
  // messages (operation not supported).
  virtual std::error_code SendBatch(const TxMessage* messages, std::size_t count, std::size_t& sent) noexcept {
    sent = 0;
    for (; sent < count; ++sent) {
      if (messages[sent].segment_size != 0) return std::make_error_code(std::errc::operation_not_supported);
      if (const std::error_code error = Send(messages[sent].iovs, messages[sent].iov_count)) return error;
    }
    return {};
  }

  // Whether SendBatch currently accepts segmented messages. A socket may turn
  // this off after a segmented message failed; the caller then sends the same
  // datagrams unsegmented.
  virtual bool CanSegment() const noexcept { return false; }
};

// What one receive call got.
struct RxDatagram {
  bool received = false;          // false: nothing arrived before the timeout
  std::size_t bytes = 0;          // bytes placed into the iovecs
  bool truncated = false;         // the datagram was larger than the iovecs (MSG_TRUNC)
  std::size_t datagram_size = 0;  // the datagram's full length (>= bytes; equal unless truncated)
  // Non-zero: the bytes are several datagrams of the same flow that the
  // kernel joined (UDP GRO), each `segment_size` long but the last, which may
  // be shorter. Only a socket that Coalesces() sets it.
  std::size_t segment_size = 0;
};

// One message of a batch receive: where the datagram goes and what arrived.
struct RxMessage {
  const iovec* iovs = nullptr;
  std::size_t iov_count = 0;
  RxDatagram got;
};

class RxSocket {
 public:
  virtual ~RxSocket() = default;
  // Receives one datagram scattered into `iovs` (one recvmsg when data is
  // queued; otherwise waits with poll up to `timeout`; a timeout <= 0 checks
  // once without waiting). Returns a system error code on failure.
  virtual std::error_code Receive(const iovec* iovs, std::size_t iov_count, std::chrono::nanoseconds timeout,
                                  RxDatagram& out) noexcept = 0;

  // Whether one received buffer may hold several datagrams (see
  // RxDatagram::segment_size). A reader of such a socket must offer buffers
  // of kMaxCoalescedBytes, or joined datagrams are cut off.
  virtual bool Coalesces() const noexcept { return false; }
  static constexpr std::size_t kMaxCoalescedBytes = 65536;

  // Receives up to `count` datagrams, message i scattered into
  // `messages[i].iovs`: waits up to `timeout` for the first one, then takes
  // only what is already queued. `received` is set to the number of messages
  // filled (0: nothing arrived in time). This default makes one Receive call
  // per datagram; sockets that can take several datagrams per system call
  // override it.
  virtual std::error_code ReceiveBatch(RxMessage* messages, std::size_t count, std::chrono::nanoseconds timeout,
                                       std::size_t& received) noexcept {
    received = 0;
    for (; received < count; ++received) {
      RxMessage& m = messages[received];
      const std::chrono::nanoseconds wait = received == 0 ? timeout : std::chrono::nanoseconds::zero();
      if (const std::error_code error = Receive(m.iovs, m.iov_count, wait, m.got)) {
        return received == 0 ? error : std::error_code{};
      }
      if (!m.got.received) break;
    }
    return {};
  }
};

}  // namespace korvel
