#pragma once
// Test support: a scripted VESK sender. Datagrams are made by korvel's own
// senders (so headers are what a real sender writes), recorded, optionally
// altered field by field, and sent through a plain UDP socket to 127.0.0.1.

#include <log4cplus/appender.h>
#include <log4cplus/spi/loggingevent.h>
#include <korvel/Socket.hpp>
#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/dunmo/Sender.hpp>
#include <korvel/vesk/Sender.hpp>
#include <korvel/wire/Header.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vesk_test {

using Datagram = std::vector<std::byte>;

// Records every datagram a korvel sender emits.
class RecordingSocket final : public korvel::TxSocket {
 public:
  std::error_code Send(const iovec* iovs, std::size_t iov_count) noexcept override {
    Datagram datagram;
    for (std::size_t i = 0; i < iov_count; ++i) {
      const auto* base = static_cast<const std::byte*>(iovs[i].iov_base);
      datagram.insert(datagram.end(), base, base + iovs[i].iov_len);
    }
    datagrams.push_back(std::move(datagram));
    return {};
  }
  std::vector<Datagram> datagrams;
};

struct SampleSpec {
  std::uint32_t sample_id = 1;
  std::uint16_t packets = 2;  // N, leader and trailer included
  std::int32_t pixels = 0;    // F
  int bytes_per_pixel = 2;
  std::size_t chunk_bytes = 0;           // pixel bytes per payload packet; the last takes the rest
  std::vector<unsigned char> data;       // the sample's pixel bytes
  std::uint8_t ext_info_size = 0;        // 0 or 8
  std::vector<unsigned char> ext_block;  // ext_info_size bytes
  std::int32_t topic_id = 10;
  std::uint32_t payload_room = 0;  // room stated in the leader; 0: the layer's even split
};

// Leader, N - 2 payload packets (empty once the data is used up), trailer.
inline std::vector<Datagram> BuildSample(const SampleSpec& layout) {
  RecordingSocket socket;
  korvel::dunmo::Sender::Config dunmo_config;
  dunmo_config.topic_id = layout.topic_id;
  dunmo_config.component_id = 1;
  dunmo_config.packets_per_sample = layout.packets;
  dunmo_config.protocol_version = 1;
  dunmo_config.first_sample_id = layout.sample_id;
  korvel::dunmo::Sender packet_sender(dunmo_config, socket, nullptr);
  const std::vector<std::byte> pattern(static_cast<std::size_t>(layout.bytes_per_pixel), std::byte{0x23});
  korvel::vesk::Sender::Config vesk_config;
  vesk_config.protocol_option = 0;
  vesk_config.max_ext_info_size = 8;
  vesk_config.ext_info_size = layout.ext_info_size;
  vesk_config.pixels_per_sample = layout.pixels;
  vesk_config.payload_room = layout.payload_room;
  vesk_config.pixel_pattern = gsl::span<const std::byte>(pattern.data(), pattern.size());
  korvel::vesk::Sender sender(vesk_config, packet_sender);

  korvel::TxSlotArray slots{};
  auto bytes = [](const unsigned char* p, std::size_t n) {
    return gsl::span<const std::byte>(reinterpret_cast<const std::byte*>(p), n);
  };
  auto check = [](std::error_code error) {
    if (error) throw std::runtime_error("scripted sender: " + error.message());
  };
  {
    auto builder = korvel::MakeTxIovsBuilder(slots);
    if (layout.ext_info_size != 0) builder.Append(bytes(layout.ext_block.data(), layout.ext_block.size()));
    check(sender.SendLeaderPacket(std::move(builder), std::nullopt, std::nullopt, std::nullopt));
  }
  std::size_t offset = 0;
  for (int k = 2; k < layout.packets; ++k) {
    const bool last = k + 1 == layout.packets;
    const std::size_t left = layout.data.size() - offset;
    const std::size_t n = last ? left : std::min(layout.chunk_bytes, left);
    auto builder = korvel::MakeTxIovsBuilder(slots);
    if (n != 0) builder.Append(bytes(layout.data.data() + offset, n));
    check(sender.SendPayloadPacket(std::move(builder), std::nullopt, 0, std::nullopt, 0));
    offset += n;
  }
  check(sender.SendTrailerPacket(korvel::MakeTxIovsBuilder(slots), std::nullopt, std::nullopt, std::nullopt));
  return std::move(socket.datagrams);
}

inline void SetU32(Datagram& datagram, std::size_t offset, std::uint32_t value) {
  korvel::wire::StoreBe32(datagram.data() + offset, value);
}
inline std::uint32_t GetU32(const Datagram& datagram, std::size_t offset) {
  return korvel::wire::LoadBe32(datagram.data() + offset);
}

// Pixel bytes 0, 1, 2, ... (mod 251) so that misplaced chunks show.
inline std::vector<unsigned char> Pattern(std::size_t size, unsigned seed = 0) {
  std::vector<unsigned char> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>((i + seed) % 251);
  return data;
}

// A UDP socket that sends to 127.0.0.1:port.
class UdpPeer {
 public:
  explicit UdpPeer(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (m_fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      ::close(m_fd);
      throw std::runtime_error("connect failed");
    }
  }
  ~UdpPeer() { ::close(m_fd); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  // A receiver that already closed its socket (for instance one that ended
  // after the samples it wanted) makes the kernel report ECONNREFUSED on a
  // later send; such datagrams are simply not received.
  void Send(const Datagram& datagram) const {
    if (::send(m_fd, datagram.data(), datagram.size(), 0) != static_cast<ssize_t>(datagram.size()) &&
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

 private:
  int m_fd;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
inline std::uint16_t FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("no free UDP port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Collects the messages logged through the logger it is attached to.
class CapturingAppender final : public log4cplus::Appender {
 public:
  CapturingAppender() = default;
  ~CapturingAppender() override { destructorImpl(); }
  void close() override {}

  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
  }
  std::vector<std::string> MessagesAt(log4cplus::LogLevel level) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < m_messages.size(); ++i) {
      if (m_levels[i] == level) out.push_back(m_messages[i]);
    }
    return out;
  }
  bool Contains(const std::string& text) const {
    const auto messages = Messages();
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.push_back(event.getMessage());
    m_levels.push_back(event.getLogLevel());
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_messages;
  std::vector<log4cplus::LogLevel> m_levels;
};

}  // namespace vesk_test
