// The baselines: the same frames cut into the same datagrams (count and
// sizes as the library's payload packets, a 56-byte header in front),
// carried by plain system calls: one sendmsg/recvmsg per datagram, or
// sendmmsg/recvmmsg batches. The receiver scatters each payload straight to
// its place in the frame, as the library does, and delivers a frame only
// when every datagram arrived in order.

#include "CpuClock.hpp"
#include "Run.hpp"
#include "RunCommon.hpp"

#include <ketra/fnd/posix/UniqueFd.hpp>
#include <vesklib_korvel/PacketGeometry.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vesk_bench {
namespace {

using Clock = std::chrono::steady_clock;

struct WireHeader {
  std::uint64_t sequence = 0;
  std::uint32_t index = 0;  // 0 leader, 1..count-2 payloads, count-1 trailer
  std::uint32_t count = 0;
  unsigned char pad[40] = {};
};
static_assert(sizeof(WireHeader) == 56);

// A socket descriptor; a failed socket() throws.
ketra::fnd::UniqueFd Socket() {
  ketra::fnd::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
  if (!fd.Valid()) throw std::system_error(errno, std::generic_category(), "socket");
  return fd;
}

// Datagrams of one frame: leader with the 8-byte timestamp, payload chunks, trailer.
struct Layout {
  std::size_t frame_bytes = 0;
  std::size_t chunk = 0;
  std::uint32_t packets = 0;
  // Bytes after the header of datagram `index`.
  std::size_t SlotBytes(std::uint32_t index) const noexcept {
    if (index == 0) return 8;
    if (index + 1 >= packets) return 0;
    const std::size_t offset = (index - 1) * chunk;
    return std::min(chunk, frame_bytes - offset);
  }
};

Layout MakeLayout(const RunParams& params) {
  const auto g = ketra::vesktools::vesklib_korvel::ComputePacketGeometry(
      static_cast<std::int64_t>(params.frame_bytes / 2), 2, params.mtu);
  return {params.frame_bytes, static_cast<std::size_t>(g.payload_bytes_per_packet),
          static_cast<std::uint32_t>(g.packets_per_sample)};
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

// Same steps as the library's receive socket: SO_RCVBUF, then SO_RCVBUFFORCE
// when the kernel capped it.
void SizeReceiveBuffer(int fd, std::uint64_t wanted) {
  const int ask = static_cast<int>(std::min<std::uint64_t>(wanted, INT32_MAX / 2));
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ask, sizeof ask);
  int granted = 0;
  socklen_t len = sizeof granted;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len);
  if (granted / 2 < ask) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &ask, sizeof ask);
}

// Receiving side: plans where each of the next datagrams belongs, lets the
// kernel scatter there, then checks what came.
class FrameReceiver {
 public:
  FrameReceiver(const Layout& layout, const RunParams& params, int fd, bool batched)
      : m_layout(layout), m_params(params), m_fd(fd), m_batched(batched) {
    for (auto& b : m_frames) b.resize(layout.frame_bytes);
    const std::size_t n = batched ? static_cast<std::size_t>(std::max(1, params.batch)) : 1;
    m_headers.resize(n);
    m_iovs.resize(2 * n);
    m_msgs.resize(n);
    m_plan.resize(n);
    m_latencies_us.reserve(kMaxLatencies);
  }

  void Run(const std::atomic<bool>& stop) {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t planned = Plan();
      int got = 0;
      if (m_batched) {
        got = ::recvmmsg(m_fd, m_msgs.data(), static_cast<unsigned>(planned), MSG_DONTWAIT, nullptr);
      } else {
        const ssize_t r = ::recvmsg(m_fd, &m_msgs[0].msg_hdr, MSG_DONTWAIT);
        if (r >= 0) m_msgs[0].msg_len = static_cast<unsigned>(r);
        got = r >= 0 ? 1 : -1;
      }
      if (got < 0) {
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, 50);
        continue;
      }
      for (int i = 0; i < got; ++i) Check(static_cast<std::size_t>(i));
    }
  }

  std::atomic<std::uint64_t> warm_up{0};
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> bad{0};
  std::atomic<std::uint64_t> handled{0};
  std::vector<double> m_latencies_us;

 private:
  struct Place {
    int parity;
    std::uint32_t index;
  };

  unsigned char* Slot(const Place& p) {
    if (p.index == 0) return reinterpret_cast<unsigned char*>(&m_timestamps[p.parity]);
    if (p.index + 1 >= m_layout.packets) return nullptr;  // trailer: header only
    return m_frames[p.parity].data() + (p.index - 1) * m_layout.chunk;
  }

  // Places of the next datagrams, assuming they come in order; never past
  // the end of the frame after the current one, so a frame is checked before
  // its buffer is planned again.
  std::size_t Plan() {
    Place p = m_in_frame ? Place{m_parity, m_next_index} : Place{m_parity ^ 1, 0};
    const std::size_t limit = std::min<std::size_t>(m_msgs.size(), (m_layout.packets - p.index) + m_layout.packets);
    for (std::size_t i = 0; i < limit; ++i) {
      m_plan[i] = p;
      m_iovs[2 * i] = {&m_headers[i], sizeof(WireHeader)};
      m_iovs[2 * i + 1] = {Slot(p), m_layout.SlotBytes(p.index)};
      msghdr& h = m_msgs[i].msg_hdr;
      h = msghdr{};
      h.msg_iov = &m_iovs[2 * i];
      h.msg_iovlen = 2;
      if (++p.index == m_layout.packets) p = Place{p.parity ^ 1, 0};
    }
    return limit;
  }

  void Check(std::size_t i) {
    const Place& p = m_plan[i];
    const WireHeader& h = m_headers[i];
    const bool whole = m_msgs[i].msg_len == sizeof(WireHeader) + m_layout.SlotBytes(p.index) &&
                       (m_msgs[i].msg_hdr.msg_flags & MSG_TRUNC) == 0;
    const bool match = whole && h.index == p.index && h.count == m_layout.packets &&
                       (p.index == 0 || (m_in_frame && p.parity == m_parity && h.sequence == m_sequence));
    if (!match) {
      m_in_frame = false;
      return;
    }
    if (p.index == 0) {
      m_in_frame = true;
      m_parity = p.parity;
      m_sequence = h.sequence;
    }
    m_next_index = p.index + 1;
    if (m_next_index == m_layout.packets) Deliver();
  }

  void Deliver() {
    m_in_frame = false;
    if ((m_sequence & kWarmUpBit) != 0) {
      warm_up.fetch_add(1);
      return;
    }
    const double now = TaiSeconds();
    if (VerifyPattern(m_frames[m_parity], m_params.frame_bytes, m_params.verify) &&
        ReadSequence(m_frames[m_parity]) == m_sequence) {
      received.fetch_add(1);
      if (m_latencies_us.size() < kMaxLatencies) m_latencies_us.push_back((now - m_timestamps[m_parity]) * 1e6);
    } else {
      bad.fetch_add(1);
    }
    handled.fetch_add(1);
  }

  const Layout& m_layout;
  const RunParams& m_params;
  int m_fd;
  bool m_batched;
  std::array<std::vector<unsigned char>, 2> m_frames;
  std::array<double, 2> m_timestamps{};
  std::vector<WireHeader> m_headers;
  std::vector<iovec> m_iovs;
  std::vector<mmsghdr> m_msgs;
  std::vector<Place> m_plan;
  bool m_in_frame = false;
  int m_parity = 1;
  std::uint32_t m_next_index = 0;
  std::uint64_t m_sequence = 0;
};

// Sending side: the datagrams of one frame, gathered from the frame itself.
class FrameSender {
 public:
  FrameSender(const Layout& layout, int fd, const sockaddr_in& dest, bool batched, int batch)
      : m_layout(layout),
        m_fd(fd),
        m_dest(dest),
        m_batched(batched),
        m_batch(std::max(1, batch)),
        m_headers(layout.packets),
        m_iovs(2 * layout.packets),
        m_msgs(layout.packets) {}

  // Returns false when a datagram could not be sent.
  bool Send(const std::vector<unsigned char>& frame, std::uint64_t sequence, double timestamp) {
    m_timestamp = timestamp;
    for (std::uint32_t k = 0; k < m_layout.packets; ++k) {
      m_headers[k].sequence = sequence;
      m_headers[k].index = k;
      m_headers[k].count = m_layout.packets;
      unsigned char* slot = k == 0 ? reinterpret_cast<unsigned char*>(&m_timestamp)
                                   : const_cast<unsigned char*>(frame.data()) + (k - 1) * m_layout.chunk;
      m_iovs[2 * k] = {&m_headers[k], sizeof(WireHeader)};
      m_iovs[2 * k + 1] = {k + 1 == m_layout.packets ? nullptr : slot, m_layout.SlotBytes(k)};
      msghdr& h = m_msgs[k].msg_hdr;
      h = msghdr{};
      h.msg_name = &m_dest;
      h.msg_namelen = sizeof m_dest;
      h.msg_iov = &m_iovs[2 * k];
      h.msg_iovlen = 2;
    }
    std::size_t done = 0;
    while (done < m_layout.packets) {
      if (m_batched) {
        const auto n = static_cast<unsigned>(std::min<std::size_t>(m_batch, m_layout.packets - done));
        const int sent = ::sendmmsg(m_fd, &m_msgs[done], n, 0);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
      } else {
        if (::sendmsg(m_fd, &m_msgs[done].msg_hdr, 0) < 0) return false;
        ++done;
      }
    }
    return true;
  }

 private:
  const Layout& m_layout;
  int m_fd;
  sockaddr_in m_dest;
  bool m_batched;
  std::size_t m_batch;
  double m_timestamp = 0;
  std::vector<WireHeader> m_headers;
  std::vector<iovec> m_iovs;
  std::vector<mmsghdr> m_msgs;
};

RunResult RunSyscalls(const RunParams& params, bool batched) {
  const Layout layout = MakeLayout(params);
  const ketra::fnd::UniqueFd rx = Socket();
  SizeReceiveBuffer(rx.Get(), params.socket_buffer);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (::bind(rx.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(rx.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::system_error(errno, std::generic_category(), "bind 127.0.0.1");
  }
  const ketra::fnd::UniqueFd tx = Socket();

  FrameReceiver receiver(layout, params, rx.Get(), batched);
  std::atomic<bool> stop{false};
  std::atomic<pid_t> rx_tid{0};
  std::thread rx_thread([&] {
    rx_tid.store(CurrentThreadId());
    receiver.Run(stop);
  });

  RunResult result;
  result.transport = batched ? "sendmmsg" : "sendmsg";
  FrameSender sender(layout, tx.Get(), addr, batched, params.batch);
  FrameRing ring(params.frame_bytes);
  SendPhase phase;
  std::thread tx_thread([&] {
    phase = RunSendPhase(params, receiver.warm_up, rx_tid,
                         [&](std::uint64_t tag) { return sender.Send(ring.Next(tag), tag, TaiSeconds()); });
  });
  tx_thread.join();

  WaitUntilQuiet(receiver.handled, params.quiet_ms, 5000);
  const double rx_cpu_s = ThreadCpuSeconds(rx_tid.load()) - phase.rx_cpu_before;
  result.machine_busy_pct = BusyPercent(phase.machine_before, ReadMachineTicks());
  stop.store(true);
  rx_thread.join();
  result.frames_sent = phase.frames_sent;
  result.send_seconds = phase.send_seconds;
  result.sender_cpu_pct = phase.sender_cpu_pct;
  if (phase.send_failed) throw std::runtime_error(result.transport + " baseline: a datagram could not be sent");

  result.frames_received = receiver.received.load();
  result.frames_bad = receiver.bad.load();
  FinishResult(result, params, receiver.m_latencies_us, rx_cpu_s, result.send_seconds);
  return result;
}

}  // namespace

RunResult RunPlainSyscalls(const RunParams& params) {
  return RunSyscalls(params, false);
}
RunResult RunBatchedSyscalls(const RunParams& params) {
  return RunSyscalls(params, true);
}

}  // namespace vesk_bench
