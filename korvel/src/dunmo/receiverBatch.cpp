// Packet layer, batch receive: several datagrams per system call, each
// message's body straight into the place its caller expects it. Datagrams a
// batch took but its caller does not want yet are kept aside and returned by
// the following receives, so that batching never loses or reorders one.
//
// A coalescing socket (UDP GRO) hands over several datagrams joined in one
// buffer. A batch reads such buffers one at a time with the iovecs laid out
// as the joined datagrams will be: headers of message i, body i, headers of
// message i + 1, body i + 1, ... so that every payload still lands straight
// in its place. Joined datagrams that do not match that layout, and those
// beyond the places offered, are gathered into the stage buffers and queued
// as deferred: the following receives copy each one where it belongs.
#include <korvel/dunmo/Receiver.hpp>

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace korvel::dunmo {

gsl::span<Receiver::Result> Receiver::ReceiveBatch(gsl::span<const gsl::span<std::byte>> bodies,
                                                   std::size_t upper_header_size, std::chrono::nanoseconds timeout,
                                                   std::error_code& error) noexcept {
  error = {};
  m_batch_received = 0;
  const std::size_t header = wire::kDunmoHeaderSize + upper_header_size;
  if (header > Packet::kStorage) {
    error = std::make_error_code(std::errc::invalid_argument);
    return {};
  }
  const std::size_t count = std::min({bodies.size(), kMaxBatch, m_batch_free.size()});
  if (count == 0) {
    error = make_error_code(RxErrc::NoPacketBuffer);
    return {};
  }
  m_batch_header = header;
  BatchVecs vecs;
  BatchMessages messages;
  for (std::size_t i = 0; i < count; ++i) {
    Packet& packet = m_batch_pool[m_batch_free.back()];
    m_batch_free.pop_back();
    packet.Clear();
    m_batch[i].packet = PacketPtr(&packet);
    m_batch[i].body = bodies[i];
    vecs[i][0] = {packet.storage.data(), header};
    vecs[i][1] = {bodies[i].data(), bodies[i].size()};
    vecs[i][2] = {packet.storage.data() + header, Packet::kStorage - header};
    messages[i].iovs = vecs[i].data();
    messages[i].iov_count = vecs[i].size();
  }

  std::size_t received = 0;
  m_batch_from_deferred = false;
  if (!HasDeferred()) {
    if (!m_stage.empty()) {
      received = ReceiveJoined(bodies, header, count, vecs, messages, timeout, error);
    } else {
      error = m_socket.ReceiveBatch(messages.data(), count, timeout, received);
      if (error) received = 0;
      m_stats.datagrams.Add(received);
    }
  }
  // Datagrams already received come first: either waiting from before, or
  // just read but unable to stay where they landed.
  if (received == 0 && !error && HasDeferred()) {
    m_batch_from_deferred = true;
    for (; received < count; ++received) {
      if (!ReplayDeferred(messages[received].iovs, messages[received].iov_count, messages[received].got)) break;
      m_batch[received].deferred_index = m_deferred_next - 1;
    }
  }
  // Every datagram that arrived gets this layer's checks now; what they add
  // to the counters waits for EndBatch, which knows the datagrams taken.
  for (std::size_t i = 0; i < count; ++i) {
    Batched& message = m_batch[i];
    if (i >= received) {
      message.packet.reset();  // back to the batch pool
      continue;
    }
    message.got = messages[i].got;
    Packet& packet = m_batch_pool[message.packet->pool_index - kPoolSize];
    message.verdict = Check(packet, message.got, header, message.body.size());
    // A foreign datagram's result has no packet: its buffer stays here.
    m_batch_results[i] = message.verdict == Verdict::kForeign ? ResultOf(message.verdict, PacketPtr(nullptr))
                                                              : ResultOf(message.verdict, std::move(message.packet));
  }
  m_batch_received = received;
  return gsl::span<Result>(m_batch_results.data(), received);
}

void Receiver::EndBatch(std::size_t consumed) noexcept {
  const std::size_t received = m_batch_received;
  m_batch_received = 0;
  consumed = std::min(consumed, received);
  for (std::size_t i = 0; i < consumed; ++i) {
    Count(m_batch[i].verdict);
    m_batch[i].packet.reset();
    m_batch_results[i].packet.reset();
  }
  // The datagrams not taken go back with their buffers.
  for (std::size_t i = consumed; i < received; ++i) {
    if (m_batch_results[i].packet) m_batch[i].packet = std::move(m_batch_results[i].packet);
    m_batch_results[i].error = {};
  }
  if (consumed < received) DeferBatched(consumed);
}

std::size_t Receiver::ReceiveJoined(gsl::span<const gsl::span<std::byte>> bodies, std::size_t header, std::size_t count,
                                    const BatchVecs& vecs, BatchMessages& messages, std::chrono::nanoseconds timeout,
                                    std::error_code& error) noexcept {
  // Nothing is waiting (the batch is read from the socket only then): the
  // queue starts empty, so it never grows over batches.
  m_deferred.clear();
  m_deferred_bytes.clear();
  m_deferred_next = 0;
  // Whatever does not fit the places offered lands in the second stage
  // buffer; a joined buffer that must be cut apart is gathered into the first.
  const gsl::span<std::byte> overflow(m_stage.data() + RxSocket::kMaxCoalescedBytes, RxSocket::kMaxCoalescedBytes);
  std::array<iovec, 2 * kMaxBatch + 1> layout;
  std::size_t received = 0;
  // Each read takes one buffer (one datagram or several joined) or ends the
  // batch: at most `count` reads.
  while (received < count) {
    // A joined buffer of datagrams as large as these places holds at most
    // this many; offering more would only cost the kernel iovecs to read.
    const std::size_t most = RxSocket::kMaxCoalescedBytes / (header + bodies[received].size()) + 1;
    const std::size_t places = std::min(count - received, most);
    std::size_t v = 0;
    for (std::size_t j = 0; j < places; ++j) {
      layout[v++] = vecs[received + j][0];
      layout[v++] = vecs[received + j][1];
    }
    layout[v++] = {overflow.data(), overflow.size()};
    RxDatagram got;
    error = m_socket.Receive(layout.data(), v, received == 0 ? timeout : std::chrono::nanoseconds::zero(), got);
    if (error || !got.received) {
      if (received > 0) error = {};  // the next receive meets it again
      break;
    }
    const std::size_t segment = got.segment_size != 0 ? got.segment_size : got.bytes;
    const std::size_t segments = got.segment_size != 0 ? (got.bytes + segment - 1) / segment : 1;
    const std::size_t in_places = std::min(segments, places);
    m_stats.datagrams.Add(segments);
    if (got.segment_size != 0) m_stats.joined_buffers.Add();
    // The layout matches when every datagram in the places fills at most its
    // headers and body, and all but the last fill them exactly.
    bool matches = !got.truncated;
    for (std::size_t j = 0; j < in_places && matches; ++j) {
      const std::size_t room = header + bodies[received + j].size();
      matches = got.segment_size != 0 ? segment == room : got.bytes <= room;
    }
    if (!matches) {
      GatherJoined(layout.data(), v, got);
      break;
    }
    for (std::size_t j = 0; j < in_places; ++j) {
      const std::size_t size = std::min(segment, got.bytes - j * segment);
      RxDatagram& out = messages[received + j].got;
      out = RxDatagram{};
      out.received = true;
      out.bytes = size;
      out.datagram_size = size;
    }
    received += in_places;
    if (segments > in_places) {
      // The rest waits in the overflow buffer for the following receives.
      for (std::size_t j = in_places; j < segments; ++j) {
        const std::size_t at = j * segment;
        const std::size_t size = std::min(segment, got.bytes - at);
        QueueDeferred(true, RxSocket::kMaxCoalescedBytes + (at - in_places * segment), size, size);
      }
      break;
    }
  }
  return received;
}

void Receiver::GatherJoined(const iovec* layout, std::size_t count, const RxDatagram& got) noexcept {
  // The buffer's bytes in order, from the places they were scattered into,
  // into the first stage buffer; then one deferred entry per datagram.
  std::byte* out = m_stage.data();
  std::size_t left = got.bytes;
  for (std::size_t v = 0; v < count && left > 0; ++v) {
    const std::size_t take = std::min(left, layout[v].iov_len);
    std::memmove(out, layout[v].iov_base, take);
    out += take;
    left -= take;
  }
  QueueStaged(0, got);
}

std::size_t Receiver::QueueStaged(std::size_t base, const RxDatagram& got) noexcept {
  if (got.segment_size == 0) {
    QueueDeferred(true, base, got.bytes, std::max(got.datagram_size, got.bytes));
    return 1;
  }
  // Joined datagrams: every segment_size bytes one, the last one shorter or
  // equal.
  std::size_t count = 0;
  for (std::size_t at = 0; at < got.bytes; at += got.segment_size, ++count) {
    const std::size_t size = std::min(got.segment_size, got.bytes - at);
    QueueDeferred(true, base + at, size, size);
  }
  return count;
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
  // Datagrams this batch left queued (read after the batch's own) stay
  // behind the ones deferred now.
  std::size_t insert_at = m_deferred_next;
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
    try {
      m_deferred.insert(m_deferred.begin() + static_cast<std::ptrdiff_t>(insert_at),
                        Deferred{false, offset, captured, std::max(message.got.datagram_size, message.got.bytes)});
      ++insert_at;
    } catch (const std::bad_alloc&) {
      m_stats.truncated.Add();  // no memory to keep it: the datagram is lost
    }
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
    m_stats.datagrams.Add(QueueStaged(k * RxSocket::kMaxCoalescedBytes, got));
    if (got.segment_size == 0) continue;
    m_stats.joined_buffers.Add();
    // A joined buffer larger than the stage buffer lost its end in the
    // kernel; what is whole of it is still returned.
    if (got.truncated) m_stats.truncated.Add();
  }
  return HasDeferred();
}

}  // namespace korvel::dunmo
