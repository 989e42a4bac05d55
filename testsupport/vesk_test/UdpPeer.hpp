#pragma once
// A UDP socket that sends raw datagrams to 127.0.0.1:port.

#include <ketra/fnd/posix/UniqueFd.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vesk_test {

class UdpPeer {
 public:
  using Datagram = std::vector<std::byte>;

  explicit UdpPeer(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (!m_fd.Valid()) throw std::runtime_error("socket failed");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      throw std::runtime_error("connect failed");
    }
  }

  // A receiver that already closed its socket (for instance one that ended
  // after the samples it wanted) makes the kernel report ECONNREFUSED on a
  // later send; such datagrams are simply not received.
  void Send(const Datagram& datagram) const {
    if (::send(m_fd.Get(), datagram.data(), datagram.size(), 0) != static_cast<ssize_t>(datagram.size()) &&
        errno != ECONNREFUSED) {
      throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
    }
  }
  // Sends with a short pause every few datagrams so that a burst does not
  // overrun the receiver's socket buffer.
  void SendAll(const std::vector<Datagram>& datagrams) const {
    int sent = 0;
    for (const auto& datagram : datagrams) {
      Send(datagram);
      if (++sent % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Sends datagrams of one size (the last one may be shorter) as one
  // segmented message that the kernel cuts apart (UDP GSO); false when the
  // kernel refuses it.
  bool SendSegmented(const std::vector<Datagram>& datagrams) const {
    Datagram all;
    for (const Datagram& d : datagrams) all.insert(all.end(), d.begin(), d.end());
    iovec vec{all.data(), all.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr msg{};
    msg.msg_iov = &vec;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto segment = static_cast<std::uint16_t>(datagrams.front().size());
    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
    return ::sendmsg(m_fd.Get(), &msg, 0) == static_cast<ssize_t>(all.size());
  }

 private:
  ketra::fnd::UniqueFd m_fd;
};

}  // namespace vesk_test
