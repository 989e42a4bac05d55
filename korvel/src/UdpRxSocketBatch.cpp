// Batch receive of the UDP socket: one recvmmsg takes every datagram already
// queued (up to kMaxBatch per call); the wait for the first one is a ppoll.
#include <korvel/UdpRxSocket.hpp>

#include "SocketSupport.hpp"

#include <poll.h>
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

    const auto now = std::chrono::steady_clock::now();
    if (!deadline) deadline = now + timeout;
    const auto left = *deadline - now;
    if (left <= std::chrono::nanoseconds::zero()) return {};
    const auto left_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{static_cast<time_t>(left_ns / 1'000'000'000), static_cast<long>(left_ns % 1'000'000'000)};
    pollfd pfd{m_fd, POLLIN, 0};
    const int ready = ::ppoll(&pfd, 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) return {errno, std::system_category()};
    if (ready == 0) return {};
    // Readable (or interrupted): recvmmsg again; the deadline bounds the loop.
  }
}

}  // namespace korvel
