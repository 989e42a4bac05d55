// UdpTxSocket::SendBatch: many datagrams per system call (sendmmsg), each
// message optionally cut into datagrams by the kernel (UDP_SEGMENT).

#include <korvel/UdpTxSocket.hpp>

#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvel {

namespace {

constexpr std::size_t kMessagesPerCall = 64;
constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(std::uint16_t));
// A call that sends nothing and reports no error is retried this often; so is
// one interrupted by a signal.
constexpr int kRetries = 8;

}  // namespace

std::error_code UdpTxSocket::SendBatch(const TxMessage* messages, std::size_t count, std::size_t& sent) noexcept {
  mmsghdr headers[kMessagesPerCall];
  alignas(cmsghdr) unsigned char control[kMessagesPerCall][kControlBytes];
  sent = 0;
  while (sent < count) {
    const std::size_t chunk = std::min(kMessagesPerCall, count - sent);
    for (std::size_t i = 0; i < chunk; ++i) {
      const TxMessage& message = messages[sent + i];
      msghdr& header = headers[i].msg_hdr;
      header = msghdr{};
      header.msg_name = &m_dest;
      header.msg_namelen = sizeof m_dest;
      header.msg_iov = const_cast<iovec*>(message.iovs);
      header.msg_iovlen = message.iov_count;
      headers[i].msg_len = 0;
      if (message.segment_size != 0) {
        if (!m_can_segment) return std::make_error_code(std::errc::operation_not_supported);
        std::memset(control[i], 0, kControlBytes);
        header.msg_control = control[i];
        header.msg_controllen = kControlBytes;
        cmsghdr* cmsg = CMSG_FIRSTHDR(&header);
        cmsg->cmsg_level = SOL_UDP;
        cmsg->cmsg_type = UDP_SEGMENT;
        cmsg->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const std::uint16_t size = message.segment_size;
        std::memcpy(CMSG_DATA(cmsg), &size, sizeof size);
      }
    }
    std::size_t done = 0;
    int retries = 0;
    while (done < chunk) {
      const int result = ::sendmmsg(m_fd, headers + done, static_cast<unsigned>(chunk - done), MSG_NOSIGNAL);
      if (result > 0) {
        for (std::size_t i = done; i < done + static_cast<std::size_t>(result); ++i) {
          if (messages[sent + i].segment_size != 0) m_segmentation_proven = true;
        }
        done += static_cast<std::size_t>(result);
        continue;
      }
      const int error = result < 0 ? errno : EAGAIN;
      if ((error == EINTR || result == 0) && ++retries < kRetries) continue;
      sent += done;
      if ((error == EIO || error == EINVAL) && messages[sent].segment_size != 0 && !m_segmentation_proven) {
        m_can_segment = false;
      }
      return {error, std::system_category()};
    }
    sent += chunk;
  }
  return {};
}

}  // namespace korvel
