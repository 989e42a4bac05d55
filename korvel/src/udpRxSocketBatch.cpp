// Batch receive of the UDP socket: one recvmmsg takes every datagram already
// queued (up to kMaxBatch per call); the wait for the first one is a ppoll.
#include <korvel/UdpRxSocket.hpp>

#include "SocketSupport.hpp"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <optional>

namespace korvel {

std::error_code UdpRxSocket::ReceiveBatch(RxMessage* messages, std::size_t count, std::chrono::nanoseconds timeout,
                                          std::size_t& received) noexcept {
  received = 0;
  if (count == 0) return {};
  if (count > kMaxBatch) count = kMaxBatch;
  std::array<mmsghdr, kMaxBatch> headers{};
  std::array<std::size_t, kMaxBatch> capacity{};
  std::array<detail::GroControl, kMaxBatch> control;
  for (std::size_t i = 0; i < count; ++i) {
    messages[i].got = RxDatagram{};
    headers[i].msg_hdr.msg_iov = const_cast<iovec*>(messages[i].iovs);
    headers[i].msg_hdr.msg_iovlen = messages[i].iov_count;
    if (m_coalesces) {
      headers[i].msg_hdr.msg_control = control[i].bytes;
      headers[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
    }
    for (std::size_t v = 0; v < messages[i].iov_count; ++v) capacity[i] += messages[i].iovs[v].iov_len;
  }

  std::optional<std::chrono::steady_clock::time_point> deadline;
  for (;;) {
    // MSG_TRUNC: each message's msg_len is the datagram's full length even
    // when it did not fit its iovecs.
    const int got = ::recvmmsg(m_fd, headers.data(), static_cast<unsigned>(count), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (got > 0) {
      received = static_cast<std::size_t>(got);
      for (std::size_t i = 0; i < received; ++i) {
        const std::size_t full = headers[i].msg_len;
        RxDatagram& out = messages[i].got;
        out.received = true;
        out.datagram_size = full;
        out.bytes = full < capacity[i] ? full : capacity[i];
        out.truncated = (headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || full > capacity[i];
        out.segment_size = detail::ReadGroSegmentSize(headers[i].msg_hdr, out.bytes);
      }
      return {};
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return {errno, std::system_category()};

    std::error_code error;
    if (!detail::WaitReadable(m_fd, deadline, timeout, error)) return error;
  }
}

}  // namespace korvel
