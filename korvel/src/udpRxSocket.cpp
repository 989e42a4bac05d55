#include <korvel/UdpRxSocket.hpp>

#include "Log.hpp"
#include "SocketSupport.hpp"

#include <log4cplus/loggingmacros.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <climits>
#include <optional>

namespace korvel {

namespace {

std::uint64_t ReadReceiveBuffer(int fd) noexcept {
  int granted = 0;
  socklen_t len = sizeof granted;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0) return 0;
  return static_cast<std::uint64_t>(granted);
}

// Asks for `wanted` bytes of kernel receive buffer. Linux doubles the value
// given (the extra half is its bookkeeping) and caps the request at
// net.core.rmem_max unless SO_RCVBUFFORCE (CAP_NET_ADMIN) is used.
std::uint64_t SizeReceiveBuffer(int fd, std::uint64_t wanted) {
  const int ask = wanted > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(wanted);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ask, sizeof ask);
  std::uint64_t granted = ReadReceiveBuffer(fd);
  if (granted / 2 < static_cast<std::uint64_t>(ask)) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &ask, sizeof ask);
    granted = ReadReceiveBuffer(fd);
  }
  if (granted / 2 < static_cast<std::uint64_t>(ask)) {
    LOG4CPLUS_WARN(detail::KorvelLogger(),
                   fmt::format("UDP receive buffer of {} bytes asked, {} granted (the kernel limits it to "
                               "net.core.rmem_max): packets may be dropped under load; raise the limit with "
                               "\"sysctl -w net.core.rmem_max={}\"",
                               wanted, granted / 2, ask));
  }
  return granted;
}

}  // namespace

UdpRxSocket::UdpRxSocket(const Config& config, std::pmr::memory_resource* /*memory*/) : m_config(config) {
  const Ipv4 address = config.address.value_or(Ipv4{});
  detail::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0) detail::ThrowSocketError("create UDP socket for", address, config.port);

  const int on = 1;
  // Receivers of one multicast group share its port. A unicast port belongs
  // to one receiver: a second one would silently take its datagrams.
  if (address.IsMulticast() && ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    detail::ThrowSocketError("set SO_REUSEADDR on", address, config.port);
  }
  if (config.buffer_size > 0) {
    m_granted_buffer = SizeReceiveBuffer(fd.Get(), config.buffer_size);
  } else {
    m_granted_buffer = ReadReceiveBuffer(fd.Get());
  }
  if (config.busy_poll_us > 0) {
    // Best effort: busy polling needs CAP_NET_ADMIN above the sysctl default.
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_BUSY_POLL, &config.busy_poll_us, sizeof config.busy_poll_us);
  }

  if (config.coalesce) {
    // Best effort: without UDP GRO every buffer is one datagram.
    m_coalesces = ::setsockopt(fd.Get(), SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
  }

  // A multicast group is bound as the local address, so this socket only
  // gets the group's datagrams, not unicast ones to the same port.
  const sockaddr_in local = detail::MakeSockaddr(address, config.port);
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (errno == EADDRINUSE) {
      detail::ThrowSocketError("bind UDP receive socket on", address, config.port, EADDRINUSE,
                               " (port in use: another receiver listens on it)");
    }
    detail::ThrowSocketError("bind UDP receive socket on", address, config.port);
  }
  if (address.IsMulticast()) {
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = address.NetworkOrder();
    request.imr_address.s_addr = htonl(INADDR_ANY);
    if (!config.netif.empty()) {
      const unsigned index = ::if_nametoindex(config.netif.c_str());
      if (index == 0) {
        detail::ThrowSocketError("find network interface \"" + config.netif + "\" to join multicast group", address,
                                 config.port);
      }
      request.imr_ifindex = static_cast<int>(index);
    }
    if (::setsockopt(fd.Get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
      detail::ThrowSocketError("join multicast group (interface \"" +
                                   (config.netif.empty() ? std::string("default") : config.netif) + "\") on",
                               address, config.port);
    }
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    detail::ThrowSocketError("read local port of socket bound on", address, config.port);
  }
  m_local_port = ntohs(bound.sin_port);
  m_fd = fd.Release();
}

UdpRxSocket::~UdpRxSocket() {
  if (m_fd >= 0) ::close(m_fd);
}

std::error_code UdpRxSocket::Receive(const iovec* iovs, std::size_t iov_count, std::chrono::nanoseconds timeout,
                                     RxDatagram& out) noexcept {
  out = RxDatagram{};
  msghdr msg{};
  msg.msg_iov = const_cast<iovec*>(iovs);
  msg.msg_iovlen = iov_count;
  detail::GroControl control;
  std::size_t capacity = 0;
  for (std::size_t i = 0; i < iov_count; ++i) capacity += iovs[i].iov_len;

  // The clock is read only once nothing is queued: the fast path is the
  // recvmsg alone.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  for (;;) {
    // Fast path: data already queued costs this one call. MSG_TRUNC makes
    // the call return the datagram's full length even when it did not fit.
    if (m_coalesces) {
      msg.msg_control = control.bytes;
      msg.msg_controllen = sizeof control.bytes;
    }
    const ssize_t got = ::recvmsg(m_fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (got >= 0) {
      const auto full = static_cast<std::size_t>(got);
      out.received = true;
      out.datagram_size = full;
      out.bytes = full < capacity ? full : capacity;
      out.truncated = (msg.msg_flags & MSG_TRUNC) != 0 || full > capacity;
      out.segment_size = detail::ReadGroSegmentSize(msg, out.bytes);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return {errno, std::system_category()};

    std::error_code error;
    if (!detail::WaitReadable(m_fd, deadline, timeout, error)) return error;
  }
}

}  // namespace korvel
