#include "RespRequest.hpp"

#include <fmt/format.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>

namespace ketra::vesktools::vesk2vidra {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

iovec View(const char* data, std::size_t size) {
  return iovec{const_cast<char*>(data), size};
}

}  // namespace

void RespRequest::Frame(const std::vector<std::string_view>& args) {
  // The texts first, the views after: m_heads must not move under them.
  m_heads.clear();
  fmt::format_to(std::back_inserter(m_heads), "*{}\r\n", args.size());
  const std::size_t count_end = m_heads.size();
  m_head_end.clear();
  for (const auto arg : args) {
    fmt::format_to(std::back_inserter(m_heads), "${}\r\n", arg.size());
    m_head_end.push_back(m_heads.size());
  }
  m_iov.clear();
  m_iov.push_back(View(m_heads.data(), count_end));
  std::size_t head_begin = count_end;
  for (std::size_t i = 0; i < args.size(); ++i) {
    m_iov.push_back(View(m_heads.data() + head_begin, m_head_end[i] - head_begin));
    if (!args[i].empty()) {
      m_iov.push_back(View(args[i].data(), args[i].size()));
    }
    m_iov.push_back(View(kLineEnd.data(), kLineEnd.size()));
    head_begin = m_head_end[i];
  }
}

int RespRequest::Send(int fd) {
  std::size_t next = 0;
  while (next < m_iov.size()) {
    msghdr message{};
    message.msg_iov = m_iov.data() + next;
    message.msg_iovlen = std::min<std::size_t>(m_iov.size() - next, IOV_MAX);
    const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (sent == 0) {
      return EIO;  // nothing taken from a non-empty request
    }
    // Drop what went out: whole views, then the front of a partly sent one.
    auto left = static_cast<std::size_t>(sent);
    while (next < m_iov.size() && left >= m_iov[next].iov_len) {
      left -= m_iov[next].iov_len;
      ++next;
    }
    if (left > 0) {
      m_iov[next].iov_base = static_cast<char*>(m_iov[next].iov_base) + left;
      m_iov[next].iov_len -= left;
    }
  }
  return 0;
}

}  // namespace ketra::vesktools::vesk2vidra
