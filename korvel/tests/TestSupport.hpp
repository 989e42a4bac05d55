#pragma once
// Helpers of the korvel tests: loopback stacks, a raw UDP sender for crafted
// datagrams, header builders and in-memory sockets.

#include <korvel/UdpRxSocket.hpp>
#include <korvel/UdpTxSocket.hpp>
#include <korvel/dunmo/Receiver.hpp>
#include <korvel/dunmo/Sender.hpp>
#include <korvel/vesk/Receiver.hpp>
#include <korvel/vesk/Sender.hpp>
#include <korvel/wire/Header.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <vector>

namespace korvel::test {

using Bytes = std::vector<std::byte>;

inline Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::byte{static_cast<std::uint8_t>(seed * 31 + i * 7 + (i >> 8))};
  return b;
}

// A plain UDP socket sending raw bytes to 127.0.0.1:port.
class RawSender {
 public:
  explicit RawSender(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (m_fd < 0) throw std::runtime_error("socket");
    m_to.sin_family = AF_INET;
    m_to.sin_port = htons(port);
    m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~RawSender() { ::close(m_fd); }
  RawSender(const RawSender&) = delete;
  RawSender& operator=(const RawSender&) = delete;
  // Sends datagrams of one size (the last one may be shorter) as one
  // segmented message that the kernel cuts apart (UDP GSO); false when the
  // kernel refuses it.
  bool SendSegmented(const std::vector<Bytes>& datagrams) const {
    Bytes all;
    for (const Bytes& d : datagrams) all.insert(all.end(), d.begin(), d.end());
    iovec vec{all.data(), all.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in*>(&m_to);
    msg.msg_namelen = sizeof m_to;
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
    return ::sendmsg(m_fd, &msg, 0) == static_cast<ssize_t>(all.size());
  }
  void Send(const Bytes& datagram) const {
    if (::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof m_to) !=
        static_cast<ssize_t>(datagram.size())) {
      throw std::runtime_error("sendto");
    }
  }

 private:
  int m_fd;
  sockaddr_in m_to{};
};

// Header fields of a crafted datagram.
struct Crafted {
  std::uint32_t magic = wire::kDunmoMagic;
  std::uint8_t version = wire::kDunmoVersion;
  std::uint8_t header_size = wire::kHeadersSize;
  std::int32_t topic = 10;
  std::uint32_t sample = 1;
  std::uint16_t index = 0;
  std::uint16_t count = 4;
  wire::PacketType type = wire::PacketType::Leader;
  std::uint8_t ext_info_size = 0;
  std::uint8_t bpp = 2;
  std::uint32_t word36 = 0;  // F or payload tag
  std::uint32_t word40 = 0;  // payload room / payload bytes / sample bytes
};

inline Bytes Craft(const Crafted& c, const Bytes& body = {}) {
  using namespace wire;
  Bytes d(kHeadersSize + body.size());
  StoreBe32(&d[kMagicOffset], c.magic);
  d[kVersionOffset] = std::byte{c.version};
  d[kHeaderSizeOffset] = std::byte{c.header_size};
  StoreBe32(&d[kTopicIdOffset], static_cast<std::uint32_t>(c.topic));
  StoreBe32(&d[kSampleIdOffset], c.sample);
  StoreBe16(&d[kPacketIndexOffset], c.index);
  StoreBe16(&d[kPacketCountOffset], c.count);
  StoreBe64(&d[kTimestampOffset], static_cast<std::uint64_t>(kNoTimestamp));
  d[kPacketTypeOffset] = std::byte{static_cast<std::uint8_t>(c.type)};
  d[kExtInfoSizeOffset] = std::byte{c.ext_info_size};
  d[kBytesPerPixelOffset] = std::byte{c.bpp};
  StoreBe32(&d[kPixelCountOffset], c.word36);
  StoreBe32(&d[kPayloadRoomOffset], c.word40);
  // Byte by byte: GCC 12 at -O3 takes a copy of an empty body for one past
  // the headers (a false -Warray-bounds).
  for (std::size_t i = 0; i < body.size(); ++i) d[kHeadersSize + i] = body[i];
  return d;
}

// A receive stack (socket, packet layer, stream layer) on 127.0.0.1, port
// chosen by the kernel.
struct RxStack {
  std::unique_ptr<UdpRxSocket> socket;
  dunmo::Receiver* packet_layer = nullptr;  // owned by `stream`
  std::unique_ptr<vesk::Receiver> stream;

  explicit RxStack(std::int32_t topic, std::uint8_t ext_info_size, std::uint8_t bpp, bool coalesce = false) {
    UdpRxSocket::Config sc;
    sc.address = Ipv4("127.0.0.1");
    sc.buffer_size = 4 << 20;
    sc.coalesce = coalesce;
    socket = std::make_unique<UdpRxSocket>(sc, nullptr);
    dunmo::Receiver::Config dc;
    dc.topic_id = topic;
    auto dunmo_rx = std::make_unique<dunmo::Receiver>(dc, *socket, nullptr);
    packet_layer = dunmo_rx.get();
    vesk::Receiver::Config vc;
    vc.ext_info_size = ext_info_size;
    vc.bytes_per_pixel = bpp;
    stream = std::make_unique<vesk::Receiver>(
        vc, vesk::Receiver::DunmoPtr(dunmo_rx.release(), std::default_delete<dunmo::Receiver>()), nullptr);
  }
  std::uint16_t Port() const { return socket->LocalPort(); }
};

// A send stack (socket, packet layer, stream layer) to 127.0.0.1:port.
struct TxStack {
  std::unique_ptr<UdpTxSocket> socket;
  std::unique_ptr<dunmo::Sender> packet_layer;
  std::unique_ptr<vesk::Sender> stream;

  TxStack(std::uint16_t port, std::int32_t topic, std::uint16_t packets, std::uint8_t ext_info_size,
          std::int32_t pixels, std::uint8_t bpp, std::uint32_t payload_room = 0) {
    UdpTxSocket::Config sc;
    sc.dest_port = port;
    sc.src_ip = Ipv4("127.0.0.1");
    sc.dest_ip = Ipv4("127.0.0.1");
    socket = std::make_unique<UdpTxSocket>(sc, nullptr);
    dunmo::Sender::Config dc;
    dc.topic_id = topic;
    dc.component_id = 12345;
    dc.packets_per_sample = packets;
    packet_layer = std::make_unique<dunmo::Sender>(dc, *socket, nullptr);
    const Bytes pattern(bpp, std::byte{0x23});
    vesk::Sender::Config vc;
    vc.ext_info_size = ext_info_size;
    vc.pixels_per_sample = pixels;
    vc.pixel_pattern = gsl::span<const std::byte>(pattern.data(), pattern.size());
    vc.payload_room = payload_room;
    stream = std::make_unique<vesk::Sender>(vc, *packet_layer);
  }
};

// In-memory sockets: the TX side appends datagrams to a queue the RX side
// reads, so tests are deterministic and need no network.
struct MemoryQueue {
  std::deque<Bytes> datagrams;
};

class MemoryTxSocket final : public TxSocket {
 public:
  explicit MemoryTxSocket(MemoryQueue& queue) : m_queue(queue) {}
  std::error_code Send(const iovec* iovs, std::size_t iov_count) noexcept override {
    if (fail) return fail;
    Bytes d;
    for (std::size_t i = 0; i < iov_count; ++i) {
      const auto* p = static_cast<const std::byte*>(iovs[i].iov_base);
      d.insert(d.end(), p, p + iovs[i].iov_len);
    }
    iov_counts.push_back(iov_count);
    m_queue.datagrams.push_back(std::move(d));
    return {};
  }
  std::error_code fail;
  std::vector<std::size_t> iov_counts;

 private:
  MemoryQueue& m_queue;
};

class MemoryRxSocket final : public RxSocket {
 public:
  explicit MemoryRxSocket(MemoryQueue& queue) : m_queue(queue) {}
  std::error_code Receive(const iovec* iovs, std::size_t iov_count, std::chrono::nanoseconds /*timeout*/,
                          RxDatagram& out) noexcept override {
    out = RxDatagram{};
    ++calls;
    if (m_queue.datagrams.empty()) return {};
    Bytes d = std::move(m_queue.datagrams.front());
    m_queue.datagrams.pop_front();
    if (join) {
      // As UDP GRO does: following datagrams of the same size, the last one
      // possibly shorter, up to 64 of them in one buffer.
      const std::size_t segment = d.size();
      std::size_t count = 1;
      while (segment > 0 && count < 64 && !m_queue.datagrams.empty()) {
        const Bytes& next = m_queue.datagrams.front();
        if (next.empty() || next.size() > segment || d.size() + next.size() > kMaxCoalescedBytes) break;
        d.insert(d.end(), next.begin(), next.end());
        ++count;
        const bool shorter = next.size() < segment;
        m_queue.datagrams.pop_front();
        if (shorter) break;
      }
      if (count > 1) out.segment_size = segment;
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i < iov_count && at < d.size(); ++i) {
      const std::size_t take = std::min(iovs[i].iov_len, d.size() - at);
      std::memcpy(iovs[i].iov_base, d.data() + at, take);
      at += take;
    }
    out.received = true;
    out.bytes = at;
    out.datagram_size = d.size();
    out.truncated = at < d.size();
    return {};
  }
  bool Coalesces() const noexcept override { return join; }
  int calls = 0;
  bool join = false;  // set before the receiver is made

 private:
  MemoryQueue& m_queue;
};

}  // namespace korvel::test
