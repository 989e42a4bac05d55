#pragma once
// Test helper: a plain UDP socket on 127.0.0.1 that collects datagrams on a
// thread of its own, and readers for the packet header fields.

#include <ketra/fnd/posix/UniqueFd.hpp>
#include <korvel/wire/Header.hpp>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vesk_test {

// A datagram as it arrived, with the time it did.
struct CapturedDatagram {
  std::vector<std::byte> bytes;
  std::chrono::steady_clock::time_point arrival;

  std::uint8_t U8(std::size_t offset) const { return static_cast<std::uint8_t>(bytes.at(offset)); }
  std::uint16_t Be16(std::size_t offset) const {
    (void)bytes.at(offset + 1);
    return korvel::wire::LoadBe16(bytes.data() + offset);
  }
  std::uint32_t Be32(std::size_t offset) const {
    (void)bytes.at(offset + 3);
    return korvel::wire::LoadBe32(bytes.data() + offset);
  }
  std::int64_t Be64(std::size_t offset) const {
    (void)bytes.at(offset + 7);
    return static_cast<std::int64_t>(korvel::wire::LoadBe64(bytes.data() + offset));
  }
  korvel::wire::PacketType Type() const {
    return static_cast<korvel::wire::PacketType>(U8(korvel::wire::kPacketTypeOffset));
  }
  bool IsLeader() const {
    return bytes.size() > korvel::wire::kPacketTypeOffset && Type() == korvel::wire::PacketType::Leader;
  }
  std::uint32_t SampleId() const { return Be32(korvel::wire::kSampleIdOffset); }
  std::int64_t Timestamp() const { return Be64(korvel::wire::kTimestampOffset); }
  // Bytes after the headers: ext info in a leader, pixels in a payload.
  std::size_t BodySize() const { return bytes.size() - korvel::wire::kHeadersSize; }
  const std::byte* Body() const { return bytes.data() + korvel::wire::kHeadersSize; }
};

// Binds 127.0.0.1 on a free port and collects every datagram until destroyed.
class UdpCapture {
 public:
  UdpCapture() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (!m_fd.Valid()) throw std::runtime_error("socket failed");
    // Room for long bursts on loopback; the forced size needs privileges.
    int size = 16 * 1024 * 1024;
    if (setsockopt(m_fd.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
      setsockopt(m_fd.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("bind failed");
    }
    socklen_t length = sizeof address;
    getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~UdpCapture() {
    m_stop = true;
    m_thread.join();
  }
  UdpCapture(const UdpCapture&) = delete;
  UdpCapture& operator=(const UdpCapture&) = delete;

  int Port() const { return m_port; }

  // Waits (bounded by `limit`) until at least `count` datagrams arrived, then
  // a further `settle` of quiet so that surplus datagrams show too.
  std::vector<CapturedDatagram> WaitFor(std::size_t count, std::chrono::milliseconds limit,
                                        std::chrono::milliseconds settle = std::chrono::milliseconds(100)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Count() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(settle);
    return Taken();
  }
  std::vector<CapturedDatagram> Taken() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagrams;
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagrams.size();
  }

 private:
  void Run() {
    std::vector<std::byte> buffer(70000);
    while (!m_stop) {
      pollfd descriptor{m_fd.Get(), POLLIN, 0};
      if (poll(&descriptor, 1, 20) <= 0) continue;
      const ssize_t got = recv(m_fd.Get(), buffer.data(), buffer.size(), 0);
      if (got < 0) continue;
      CapturedDatagram datagram{{buffer.begin(), buffer.begin() + got}, std::chrono::steady_clock::now()};
      std::lock_guard<std::mutex> lock(m_mutex);
      m_datagrams.push_back(std::move(datagram));
    }
  }

  ketra::fnd::UniqueFd m_fd;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::vector<CapturedDatagram> m_datagrams;
  std::thread m_thread;
};

}  // namespace vesk_test
