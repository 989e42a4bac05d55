#pragma once
// An in-memory datagram socket for the receive path's fuzz target.

#include "FuzzSupport.hpp"

#include <korvel/Socket.hpp>

#include <deque>

namespace vesk_fuzz {

// In-memory receive socket: hands out queued datagrams one per call, scatters
// them into the given iovecs like recvmsg and reports truncation like
// MSG_TRUNC. Keeps every datagram it delivered so that callers can compare
// what a receiver returns with what was "sent".
class MemoryRxSocket final : public korvel::RxSocket {
 public:
  explicit MemoryRxSocket(std::deque<Bytes> datagrams) : m_queue(std::move(datagrams)) {}

  std::error_code Receive(const iovec* iovs, std::size_t iov_count, std::chrono::nanoseconds /*timeout*/,
                          korvel::RxDatagram& out) noexcept override {
    out = korvel::RxDatagram{};
    if (m_queue.empty()) return {};
    m_delivered.push_back(std::move(m_queue.front()));
    m_queue.pop_front();
    const Bytes& d = m_delivered.back();
    std::size_t at = 0;
    for (std::size_t i = 0; i < iov_count && at < d.size(); ++i) {
      const std::size_t take = std::min(iovs[i].iov_len, d.size() - at);
      if (take != 0) std::memcpy(iovs[i].iov_base, d.data() + at, take);
      at += take;
    }
    out.received = true;
    out.bytes = at;
    out.datagram_size = d.size();
    out.truncated = at < d.size();
    return {};
  }

  bool Drained() const { return m_queue.empty(); }
  // Datagrams handed out so far, oldest first; the last one is the newest.
  const std::vector<Bytes>& Delivered() const { return m_delivered; }

 private:
  std::deque<Bytes> m_queue;
  std::vector<Bytes> m_delivered;
};

}  // namespace vesk_fuzz
