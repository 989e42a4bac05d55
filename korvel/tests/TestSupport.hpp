#pragma once
// Helpers of the korvel tests: loopback stacks, header builders for crafted
// datagrams, and the shared raw UDP sender, in-memory sockets and log capture.

#include <korvel/UdpRxSocket.hpp>
#include <korvel/UdpTxSocket.hpp>
#include <korvel/dunmo/Receiver.hpp>
#include <korvel/dunmo/Sender.hpp>
#include <korvel/vesk/Receiver.hpp>
#include <korvel/vesk/Sender.hpp>
#include <korvel/wire/Header.hpp>

#include <vesk_test/CaptureAppender.hpp>
#include <vesk_test/MemorySockets.hpp>
#include <vesk_test/UdpPeer.hpp>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvel::test {

using vesk_test::Bytes;
using vesk_test::MemoryQueue;
using vesk_test::MemoryRxSocket;
using vesk_test::MemoryTxSocket;
using vesk_test::UdpPeer;

inline Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::byte{static_cast<std::uint8_t>(seed * 31 + i * 7 + (i >> 8))};
  return b;
}

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

  // `leader_plausible`: the stream layer's Config field (empty: every leader).
  explicit RxStack(std::int32_t topic, std::uint8_t ext_info_size, std::uint8_t bpp, bool coalesce = false,
                   std::function<bool(const wire::HeaderView&)> leader_plausible = {}) {
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
    vc.leader_plausible = std::move(leader_plausible);
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

// Collects the WARN (and higher) messages of the "korvel" logger, set to
// TRACE, for the life of the object.
class KorvelWarnings {
 public:
  std::vector<std::string> Lines() const { return m_capture.MessagesFrom(log4cplus::WARN_LOG_LEVEL); }

 private:
  vesk_test::LogCapture m_capture{log4cplus::Logger::getInstance("korvel"), log4cplus::TRACE_LOG_LEVEL};
};

}  // namespace korvel::test
