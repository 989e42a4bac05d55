#pragma once
// Helpers shared by the UDP sockets: an owning descriptor for the
// construction phase and the exception that names a failed step.

#include <ketra/fnd/posix/UniqueFd.hpp>
#include <korvel/Ipv4.hpp>

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

namespace korvel::detail {

// Closes its descriptor unless released; keeps a constructor that throws
// halfway from leaking the socket.
using ketra::fnd::UniqueFd;

// std::system_error for the current errno:
// "<step> <ip>:<port><detail>: <system message>".
[[noreturn]] inline void ThrowSocketError(const std::string& step, const Ipv4& ip, std::uint16_t port,
                                          int error = errno, const std::string& detail = {}) {
  throw std::system_error(error, std::system_category(),
                          step + " " + ip.ToString() + ":" + std::to_string(port) + detail);
}

inline sockaddr_in MakeSockaddr(const Ipv4& ip, std::uint16_t port) noexcept {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = ip.NetworkOrder();
  return addr;
}

// After a receive found nothing queued: waits until `fd` is readable or the
// deadline passes (set at the first wait of a receive call, `timeout` from
// then; a timeout <= 0 does not wait). True: receive again. False: time is up
// (`error` clear) or the wait failed (`error` set). The deadline bounds the
// caller's loop.
inline bool WaitReadable(int fd, std::optional<std::chrono::steady_clock::time_point>& deadline,
                         std::chrono::nanoseconds timeout, std::error_code& error) noexcept {
  error = {};
  const auto now = std::chrono::steady_clock::now();
  if (!deadline) deadline = now + timeout;
  const auto left = *deadline - now;
  if (left <= std::chrono::nanoseconds::zero()) return false;
  const auto left_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec wait{static_cast<time_t>(left_ns / 1'000'000'000), static_cast<long>(left_ns % 1'000'000'000)};
  pollfd pfd{fd, POLLIN, 0};
  const int ready = ::ppoll(&pfd, 1, &wait, nullptr);
  if (ready < 0 && errno != EINTR) {
    error = {errno, std::system_category()};
    return false;
  }
  return ready != 0;  // readable, or interrupted: receive again
}

// Room for the control message a UDP GRO socket attaches to a joined buffer.
struct GroControl {
  alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(int))];
};

// The segment size of a joined buffer from its control message, 0 when the
// buffer is one datagram (no such message, or one segment only).
inline std::size_t ReadGroSegmentSize(const msghdr& msg, std::size_t received) noexcept {
  if (msg.msg_controllen == 0 || msg.msg_control == nullptr) return 0;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&msg), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
      int size = 0;
      std::memcpy(&size, CMSG_DATA(c), sizeof size);
      return size > 0 && static_cast<std::size_t>(size) < received ? static_cast<std::size_t>(size) : 0;
    }
  }
  return 0;
}

}  // namespace korvel::detail
