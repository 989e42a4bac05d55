#pragma once
// In-memory korvel sockets: the TX side appends datagrams to a queue that
// the RX side reads, so tests and fuzz targets are deterministic and need no
// network.

#include <korvel/Socket.hpp>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <system_error>
#include <vector>

namespace vesk_test {

using Bytes = std::vector<std::byte>;

struct MemoryQueue {
  std::deque<Bytes> datagrams;
};

// Appends every datagram it is given (its iovecs gathered) to the queue.
class MemoryTxSocket final : public korvel::TxSocket {
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
  std::error_code fail;                 // returned by every send while set
  std::vector<std::size_t> iov_counts;  // one per datagram sent

 private:
  MemoryQueue& m_queue;
};

// Hands out the queued datagrams one per call, scattered into the given
// iovecs like recvmsg, truncation reported like MSG_TRUNC. With `join` set
// (before the receiver is made) it joins following datagrams of the same
// size as UDP GRO does. With `keep_delivered` set it keeps every buffer it
// handed out (which allocates).
class MemoryRxSocket final : public korvel::RxSocket {
 public:
  explicit MemoryRxSocket(MemoryQueue& queue) : m_queue(queue) {}
  std::error_code Receive(const iovec* iovs, std::size_t iov_count, std::chrono::nanoseconds /*timeout*/,
                          korvel::RxDatagram& out) noexcept override {
    out = korvel::RxDatagram{};
    ++calls;
    if (m_queue.datagrams.empty()) return {};
    Bytes d = std::move(m_queue.datagrams.front());  // moved out: no allocation
    m_queue.datagrams.pop_front();
    if (join) {
      // Following datagrams of the same size, the last one possibly shorter,
      // up to 64 of them in one buffer.
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
      if (take != 0) std::memcpy(iovs[i].iov_base, d.data() + at, take);
      at += take;
    }
    out.received = true;
    out.bytes = at;
    out.datagram_size = d.size();
    out.truncated = at < d.size();
    if (keep_delivered) m_delivered.push_back(std::move(d));
    return {};
  }
  bool Coalesces() const noexcept override { return join; }

  bool Drained() const { return m_queue.datagrams.empty(); }
  // Buffers handed out so far, oldest first (with `keep_delivered`).
  const std::vector<Bytes>& Delivered() const { return m_delivered; }

  int calls = 0;
  bool join = false;
  bool keep_delivered = false;

 private:
  MemoryQueue& m_queue;
  std::vector<Bytes> m_delivered;
};

}  // namespace vesk_test
