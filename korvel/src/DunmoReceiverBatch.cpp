// Packet layer, batch receive: several datagrams per system call, each
// message's body straight into the place its caller expects it. Datagrams a
// batch took but its caller does not want yet are kept aside and returned by
// the following receives, so that batching never loses or reorders one.
//
// A coalescing socket (UDP GRO) hands over several datagrams joined in one
// buffer. Those buffers are read into the stage buffers and every datagram in
// them is queued as deferred: the receives then copy each one into the places
// its caller offers, one move per byte from a buffer that stays in cache.
#include <korvel/dunmo/Receiver.hpp>

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace korvel::dunmo {

std::size_t Receiver::ReceiveBatch(gsl::span<const gsl::span<std::byte>> bodies, std::size_t upper_header_size,
                                   std::chrono::nanoseconds timeout, std::error_code& error) noexcept {
  error = {};
  const std::size_t header = wire::kDunmoHeaderSize + upper_header_size;
  if (header > Packet::kStorage) {
    error = std::make_error_code(std::errc::invalid_argument);
    return 0;
  }
  const std::size_t count = std::min({bodies.size(), kMaxBatch, m_batch_free.size()});
  if (count == 0) {
    error = make_error_code(RxErrc::NoPacketBuffer);
    return 0;
  }
  if (!HasDeferred() && !m_stage.empty() && !ReadCoalesced(timeout, error)) return 0;

  m_batch_header = header;
  std::array<std::array<iovec, 3>, kMaxBatch> vecs;
  std::array<RxMessage, kMaxBatch> messages;
  for (std::size_t i = 0; i < count; ++i) {
    Packet& packet = m_batch_pool[m_batch_free.back()];
    m_batch_free.pop_back();
    packet.data = packet.storage.data();
    packet.header_size = 0;
    packet.payload_size = 0;
    packet.truncated = false;
    packet.datagram_size = 0;
    m_batch[i].packet = PacketPtr(&packet);
    m_batch[i].body = bodies[i];
    vecs[i][0] = {packet.storage.data(), header};
    vecs[i][1] = {bodies[i].data(), bodies[i].size()};
    vecs[i][2] = {packet.storage.data() + header, Packet::kStorage - header};
    messages[i].iovs = vecs[i].data();
    messages[i].iov_count = vecs[i].size();
  }

  std::size_t received = 0;
  m_batch_from_deferred = HasDeferred();
  if (m_batch_from_deferred) {
    // Datagrams already received come first; the socket waits.
    for (; received < count; ++received) {
      if (!ReplayDeferred(messages[received].iovs, messages[received].iov_count, messages[received].got)) break;
      m_batch[received].deferred_index = m_deferred_next - 1;
    }
  } else {
    error = m_socket.ReceiveBatch(messages.data(), count, timeout, received);
    if (error) received = 0;
    m_stats.datagrams.Add(received);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (i < received) {
      m_batch[i].got = messages[i].got;
    } else {
      m_batch[i].packet.reset();  // back to the batch pool
    }
  }
  return received;
}

Receiver::Result Receiver::TakeBatched(std::size_t i) noexcept {
  Batched& message = m_batch[i];
  if (!message.packet) return {std::make_error_code(std::errc::invalid_argument), PacketPtr(nullptr)};
  return Finish(std::move(message.packet), message.got, m_batch_header, message.body.size());
}

void Receiver::DeferBatched(std::size_t from) noexcept {
  if (m_batch_from_deferred) {
    // Their entries are still queued: step back to the first one not taken.
    bool rewound = false;
    for (std::size_t i = from; i < kMaxBatch; ++i) {
      Batched& message = m_batch[i];
      if (!message.packet) continue;
      if (!rewound) m_deferred_next = message.deferred_index;
      rewound = true;
      message.packet.reset();
    }
    return;
  }
  if (!HasDeferred()) {
    m_deferred.clear();
    m_deferred_bytes.clear();
    m_deferred_next = 0;
  }
  for (std::size_t i = from; i < kMaxBatch; ++i) {
    Batched& message = m_batch[i];
    if (!message.packet) continue;  // taken already, or nothing arrived in it
    const Packet& packet = *message.packet;
    // The datagram's leading bytes as they were scattered: headers, body,
    // then the buffer's spare storage.
    const std::size_t header = m_batch_header;
    const std::size_t spare = Packet::kStorage - header;
    const std::size_t captured = std::min(message.got.bytes, header + message.body.size() + spare);
    const std::size_t offset = m_deferred_bytes.size();
    try {
      m_deferred_bytes.resize(offset + captured);
    } catch (const std::bad_alloc&) {
      message.packet.reset();  // no memory to keep it: the datagram is lost
      continue;
    }
    std::byte* out = m_deferred_bytes.data() + offset;
    std::size_t left = captured;
    const std::size_t from_header = std::min(left, header);
    std::memcpy(out, packet.storage.data(), from_header);
    left -= from_header;
    const std::size_t from_body = std::min(left, message.body.size());
    if (from_body > 0) std::memcpy(out + from_header, message.body.data(), from_body);
    left -= from_body;
    if (left > 0) std::memcpy(out + from_header + from_body, packet.storage.data() + header, left);
    QueueDeferred(false, offset, captured, std::max(message.got.datagram_size, message.got.bytes));
    message.packet.reset();
  }
}

void Receiver::QueueDeferred(bool staged, std::size_t offset, std::size_t captured,
                             std::size_t datagram_size) noexcept {
  try {
    m_deferred.push_back({staged, offset, captured, datagram_size, false});
  } catch (const std::bad_alloc&) {
    m_stats.truncated.Add();  // no memory to keep it: the datagram is lost
  }
}

bool Receiver::ReplayDeferred(const iovec* vec, std::size_t count, RxDatagram& got) noexcept {
  std::size_t capacity = 0;
  for (std::size_t v = 0; v < count; ++v) capacity += vec[v].iov_len;
  while (m_deferred_next < m_deferred.size()) {
    Deferred& d = m_deferred[m_deferred_next++];
    if (d.dropped) continue;
    // A datagram of which fewer bytes were kept than these iovecs would take
    // cannot be returned as the socket would have: it is dropped as lost.
    if (d.captured < std::min(d.datagram_size, capacity)) {
      d.dropped = true;
      m_stats.truncated.Add();
      continue;
    }
    const std::byte* src = (d.staged ? m_stage.data() : m_deferred_bytes.data()) + d.offset;
    std::size_t left = std::min(d.captured, capacity);
    got = RxDatagram{};
    got.received = true;
    got.datagram_size = d.datagram_size;
    got.bytes = left;
    got.truncated = d.datagram_size > capacity;
    for (std::size_t v = 0; v < count && left > 0; ++v) {
      const std::size_t take = std::min(left, vec[v].iov_len);
      std::memcpy(vec[v].iov_base, src, take);
      src += take;
      left -= take;
    }
    return true;
  }
  return false;
}

bool Receiver::ReadCoalesced(std::chrono::nanoseconds timeout, std::error_code& error) noexcept {
  m_deferred.clear();
  m_deferred_bytes.clear();
  m_deferred_next = 0;
  std::array<iovec, kStageBuffers> vecs;
  std::array<RxMessage, kStageBuffers> messages;
  for (std::size_t k = 0; k < kStageBuffers; ++k) {
    vecs[k] = {m_stage.data() + k * RxSocket::kMaxCoalescedBytes, RxSocket::kMaxCoalescedBytes};
    messages[k].iovs = &vecs[k];
    messages[k].iov_count = 1;
  }
  std::size_t received = 0;
  if (BatchingEnabled()) {
    error = m_socket.ReceiveBatch(messages.data(), kStageBuffers, timeout, received);
  } else {
    error = m_socket.Receive(messages[0].iovs, messages[0].iov_count, timeout, messages[0].got);
    received = messages[0].got.received ? 1 : 0;
  }
  if (error) return false;
  for (std::size_t k = 0; k < received; ++k) {
    const RxDatagram& got = messages[k].got;
    const std::size_t base = k * RxSocket::kMaxCoalescedBytes;
    if (got.segment_size == 0) {
      QueueDeferred(true, base, got.bytes, std::max(got.datagram_size, got.bytes));
      m_stats.datagrams.Add();
      continue;
    }
    m_stats.joined_buffers.Add();
    // Joined datagrams: every segment_size bytes one, the last one shorter
    // or equal. A joined buffer larger than the stage buffer lost its end in
    // the kernel; what is whole here is still returned.
    for (std::size_t at = 0; at < got.bytes; at += got.segment_size) {
      const std::size_t size = std::min(got.segment_size, got.bytes - at);
      QueueDeferred(true, base + at, size, size);
      m_stats.datagrams.Add();
    }
    if (got.truncated) m_stats.truncated.Add();
  }
  return HasDeferred();
}

}  // namespace korvel::dunmo
