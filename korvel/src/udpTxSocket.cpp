#include <korvel/UdpTxSocket.hpp>

#include "SocketSupport.hpp"

#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace korvel {

UdpTxSocket::UdpTxSocket(const Config& config, std::pmr::memory_resource* /*memory*/) : m_config(config) {
  const Ipv4 src = config.src_ip.value_or(Ipv4{});
  detail::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.Get() < 0) detail::ThrowSocketError("create UDP socket for", config.dest_ip, config.dest_port);

  if (config.send_buffer_size > 0) {
    const int size = config.send_buffer_size > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(config.send_buffer_size);
    if (::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
      detail::ThrowSocketError("set send buffer (SO_SNDBUF) of socket bound to", src, config.src_port);
    }
  }
  if (config.src_ip.has_value() || config.src_port != 0) {
    const sockaddr_in local = detail::MakeSockaddr(src, config.src_port);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      detail::ThrowSocketError("bind UDP send socket on", src, config.src_port);
    }
  }
  if (config.dest_ip.IsMulticast()) {
    if (config.src_ip.has_value() && !src.IsAny()) {
      in_addr iface{};
      iface.s_addr = src.NetworkOrder();
      if (::setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0) {
        detail::ThrowSocketError("select multicast interface (IP_MULTICAST_IF) by source address", src,
                                 config.src_port);
      }
    }
    const unsigned char loop = config.multicast_loop != 0 ? 1 : 0;
    if (::setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
      detail::ThrowSocketError("set IP_MULTICAST_LOOP for", config.dest_ip, config.dest_port);
    }
    if (config.multicast_ttl != 0) {
      const unsigned char ttl = config.multicast_ttl;
      if (::setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        detail::ThrowSocketError("set IP_MULTICAST_TTL for", config.dest_ip, config.dest_port);
      }
    }
  }
  if (config.segmentation_offload) {
    // A socket-wide segment size of 0 changes nothing; the option exists
    // only on kernels that can segment UDP. Each batch names its own size.
    const int none = 0;
    m_can_segment = ::setsockopt(fd.Get(), SOL_UDP, UDP_SEGMENT, &none, sizeof none) == 0;
  }
  m_dest = detail::MakeSockaddr(config.dest_ip, config.dest_port);
  m_fd = fd.Release();
}

UdpTxSocket::~UdpTxSocket() {
  if (m_fd >= 0) ::close(m_fd);
}

std::error_code UdpTxSocket::Send(const iovec* iovs, std::size_t iov_count) noexcept {
  msghdr msg{};
  msg.msg_name = &m_dest;
  msg.msg_namelen = sizeof m_dest;
  msg.msg_iov = const_cast<iovec*>(iovs);
  msg.msg_iovlen = iov_count;
  // A signal may interrupt a blocked send; a handful of attempts is plenty.
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (::sendmsg(m_fd, &msg, MSG_NOSIGNAL) >= 0) return {};
    if (errno != EINTR) break;
  }
  return {errno, std::system_category()};
}

}  // namespace korvel
