// The relay's socket loop: read what arrived, decide and forward, release
// held-back and delayed datagrams when their turn or time comes.

#include <vesk_impair/ImpairRelay.hpp>

#include <fmt/format.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace ketra::vesktools::impair {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxDatagram = 65536;
// Held-back datagrams go out when nothing arrived for this long, so the end
// of a stream is not kept back for ever.
constexpr auto kIdleRelease = std::chrono::milliseconds(20);
constexpr auto kPollStep = std::chrono::milliseconds(20);
// Datagrams read per wake-up before due datagrams are looked at again.
constexpr int kReadBurst = 256;

sockaddr_in ParseAddress(const std::string& address, std::uint16_t port, const char* what) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1) {
    throw std::invalid_argument(fmt::format("{} address is not an IPv4 address: {}", what, address));
  }
  return result;
}

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

ImpairRelay::ImpairRelay(const std::string& listen_address, std::uint16_t listen_port, const std::string& dest_address,
                         std::uint16_t dest_port, const ImpairConfig& config)
    : m_impairer(config) {
  const sockaddr_in listen = ParseAddress(listen_address, listen_port, "listen");
  const sockaddr_in dest = ParseAddress(dest_address, dest_port, "destination");
  if (dest_port == 0) {
    throw std::invalid_argument("destination port must not be 0");
  }
  m_dest_address.resize(sizeof(dest));
  std::memcpy(m_dest_address.data(), &dest, sizeof(dest));

  m_socket = ketra::fnd::UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (m_socket.Get() < 0) ThrowErrno("relay socket");
  // A large buffer keeps bursts of a sample from being lost before the relay
  // reads them; the kernel may grant less.
  const int buffer = 16 * 1024 * 1024;
  ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  if (::bind(m_socket.Get(), reinterpret_cast<const sockaddr*>(&listen), sizeof(listen)) != 0) {
    ThrowErrno(fmt::format("relay bind to {}:{}", listen_address, listen_port));
  }
  sockaddr_in bound{};
  socklen_t length = sizeof(bound);
  if (::getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    ThrowErrno("relay getsockname");
  }
  m_listen_port = ntohs(bound.sin_port);
}

ImpairRelay::~ImpairRelay() {
  Stop();
}

void ImpairRelay::Start() {
  if (m_thread.joinable()) return;
  m_stop.store(false);
  m_thread = std::thread([this] { Run(m_stop); });
}

void ImpairRelay::Stop() {
  m_stop.store(true);
  if (m_thread.joinable()) m_thread.join();
}

RelayCounts ImpairRelay::Counts() const {
  std::lock_guard<std::mutex> lock(m_counts_mutex);
  return m_counts;
}

void ImpairRelay::Run(const std::atomic<bool>& stop) {
  std::vector<unsigned char> buffer(kMaxDatagram);
  m_last_arrival = Clock::now();
  while (!stop.load()) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kPollStep);
    if (!m_delayed.empty()) {
      const auto until_due =
          std::chrono::duration_cast<std::chrono::milliseconds>(m_delayed.front().due - Clock::now());
      wait = std::clamp(until_due, std::chrono::milliseconds(0), wait);
    }
    pollfd fd{m_socket.Get(), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(wait.count()));

    bool arrived = false;
    for (int i = 0; i < kReadBurst; ++i) {
      buffer.resize(kMaxDatagram);
      const ssize_t n = ::recv(m_socket.Get(), buffer.data(), buffer.size(), 0);
      if (n < 0) break;  // EAGAIN: nothing more for now; other errors: try again later
      arrived = true;
      buffer.resize(static_cast<std::size_t>(n));
      Process(buffer);
    }
    const auto now = Clock::now();
    if (arrived) m_last_arrival = now;
    ReleaseDue(now, !arrived && now - m_last_arrival >= kIdleRelease);
    FlushJoined();
  }
  // What is still held goes out, so that nothing is silently dropped at the end.
  for (const Held& held : m_delayed) Send(held.bytes, held.copies);
  for (const Held& held : m_held) Send(held.bytes, held.copies);
  m_delayed.clear();
  m_held.clear();
  FlushJoined();
}

void ImpairRelay::Process(std::vector<unsigned char>& datagram) {
  Count([](RelayCounts& c) { ++c.received; });
  if (!m_impairing.load()) {
    Send(datagram, 1);
    PassedOne();
    return;
  }
  const Decision decision = m_impairer.Decide(m_index++, datagram.size());
  if (decision.drop) {
    Count([](RelayCounts& c) { ++c.dropped; });
    return;
  }
  Impairer::Apply(decision, datagram);
  Count([&](RelayCounts& c) {
    c.duplicated += decision.duplicate ? 1 : 0;
    c.reordered += decision.hold_behind > 0 ? 1 : 0;
    c.delayed += (decision.delay && decision.hold_behind == 0) ? 1 : 0;
    c.corrupted_header += (decision.corrupt && decision.corrupt_in_header) ? 1 : 0;
    c.corrupted_payload += (decision.corrupt && !decision.corrupt_in_header) ? 1 : 0;
    c.truncated += decision.truncate ? 1 : 0;
  });
  const int copies = decision.duplicate ? 2 : 1;
  if (decision.hold_behind > 0) {
    m_held.push_back(Held{datagram, copies, decision.hold_behind, {}});
  } else if (decision.delay) {
    m_delayed.push_back(Held{datagram, copies, 0, Clock::now() + m_impairer.Config().delay});
  } else {
    Send(datagram, copies);
    PassedOne();
  }
}

void ImpairRelay::Send(const std::vector<unsigned char>& datagram, int copies) {
  for (int i = 0; i < copies; ++i) {
    if (m_join.load()) {
      Join(datagram);
    } else {
      SendOne(datagram.data(), datagram.size());
    }
  }
}

void ImpairRelay::SendOne(const unsigned char* bytes, std::size_t size) {
  const ssize_t n = ::sendto(m_socket.Get(), bytes, size, 0, reinterpret_cast<const sockaddr*>(m_dest_address.data()),
                             static_cast<socklen_t>(m_dest_address.size()));
  Count([&](RelayCounts& c) { ++(n < 0 ? c.send_failures : c.forwarded); });
}

void ImpairRelay::Join(const std::vector<unsigned char>& datagram) {
  // The kernel cuts a segmented send into equal datagrams, only the last one
  // shorter, at most 64 of them and 65507 bytes in all.
  constexpr std::size_t kMaxSegments = 64;
  constexpr std::size_t kMaxBytes = 65507;
  const bool fits = m_joined_count > 0 && !m_joined_ended && datagram.size() <= m_joined_segment &&
                    m_joined_count < kMaxSegments && m_joined.size() + datagram.size() <= kMaxBytes;
  if (!fits) FlushJoined();
  if (datagram.empty()) {
    SendOne(datagram.data(), 0);
    return;
  }
  if (m_joined_count == 0) m_joined_segment = datagram.size();
  m_joined_ended = datagram.size() < m_joined_segment;
  m_joined.insert(m_joined.end(), datagram.begin(), datagram.end());
  ++m_joined_count;
}

void ImpairRelay::FlushJoined() {
  if (m_joined_count == 0) return;
  bool sent = false;
  if (m_joined_count > 1) {
    iovec vec{m_joined.data(), m_joined.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr msg{};
    msg.msg_name = m_dest_address.data();
    msg.msg_namelen = static_cast<socklen_t>(m_dest_address.size());
    msg.msg_iov = &vec;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_UDP;
    cmsg->cmsg_type = UDP_SEGMENT;
    cmsg->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto segment = static_cast<std::uint16_t>(m_joined_segment);
    std::memcpy(CMSG_DATA(cmsg), &segment, sizeof segment);
    sent = ::sendmsg(m_socket.Get(), &msg, 0) >= 0;
    if (sent) Count([&](RelayCounts& c) { c.forwarded += m_joined_count; });
  }
  if (!sent) {
    for (std::size_t at = 0; at < m_joined.size(); at += m_joined_segment) {
      SendOne(m_joined.data() + at, std::min(m_joined_segment, m_joined.size() - at));
    }
  }
  m_joined.clear();
  m_joined_count = 0;
  m_joined_ended = false;
}

// One datagram went out in its turn: held-back datagrams move one step
// closer to theirs.
void ImpairRelay::PassedOne() {
  std::deque<Held> still_held;
  std::vector<Held> ready;
  for (Held& held : m_held) {
    if (--held.behind == 0) {
      ready.push_back(std::move(held));
    } else {
      still_held.push_back(std::move(held));
    }
  }
  m_held.swap(still_held);
  for (const Held& held : ready) Send(held.bytes, held.copies);
}

void ImpairRelay::ReleaseDue(Clock::time_point now, bool idle) {
  while (!m_delayed.empty() && m_delayed.front().due <= now) {
    Send(m_delayed.front().bytes, m_delayed.front().copies);
    m_delayed.pop_front();
    PassedOne();
  }
  if (idle || !m_impairing.load()) {
    for (const Held& held : m_held) Send(held.bytes, held.copies);
    m_held.clear();
  }
}

}  // namespace ketra::vesktools::impair
