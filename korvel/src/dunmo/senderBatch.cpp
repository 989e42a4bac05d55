// dunmo::Sender::SendBatch: the packets of one batch get their own copies of
// this layer's header, and go out through one TxSocket::SendBatch call.

#include <korvel/dunmo/Sender.hpp>

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvel::dunmo {

namespace {

// Largest UDP payload of one IPv4 datagram: the bytes of one segmented message.
constexpr std::size_t kMaxSegmentedBytes = 65507;
// Most datagrams the kernel cuts from one message.
constexpr std::size_t kMaxSegments = 64;

}  // namespace

std::byte* Sender::BatchUpperHeader(std::size_t i) noexcept {
  return m_batch_headers.data() + i * kBatchHeaderStride + wire::kDunmoHeaderSize;
}

std::error_code Sender::SendBatch(std::size_t count, std::size_t upper_header_size,
                                  const gsl::span<const std::byte>* bodies,
                                  std::optional<chronel::Chronel::time_point> timestamp, bool segment,
                                  std::size_t& sent) noexcept {
  using namespace wire;
  sent = 0;
  if (count > kBatchCapacity || upper_header_size > kBatchUpperHeaderRoom) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  const std::size_t header_bytes = kDunmoHeaderSize + upper_header_size;
  const std::int64_t ns = timestamp ? timestamp->time_since_epoch().count() : kNoTimestamp;
  const std::uint16_t first_index = m_packet_index;

  // Headers and iovecs: [headers i][body i] for every packet.
  for (std::size_t i = 0; i < count; ++i) {
    std::byte* header = m_batch_headers.data() + i * kBatchHeaderStride;
    std::memcpy(header, m_header.data(), kDunmoHeaderSize);
    header[kHeaderSizeOffset] = std::byte{static_cast<std::uint8_t>(header_bytes)};
    StoreBe32(header + kSampleIdOffset, m_sample_id);
    StoreBe16(header + kPacketIndexOffset, static_cast<std::uint16_t>(first_index + i));
    StoreBe64(header + kTimestampOffset, static_cast<std::uint64_t>(ns));
    m_batch_iovs[2 * i] = {header, header_bytes};
    m_batch_iovs[2 * i + 1] = {const_cast<std::byte*>(bodies[i].data()), bodies[i].size()};
  }

  // Packets [next, count) still to send; a segmentation failure at first use
  // sends the rest again unsegmented (at most once: the socket turns it off).
  std::size_t next = 0;
  std::error_code error;
  for (int round = 0; round < 2 && next < count; ++round) {
    const bool cut = segment && m_socket.CanSegment();
    // Messages, and for each the index of its first packet (messages map to
    // consecutive packet runs, so the next message's first is the end).
    std::size_t messages = 0;
    std::size_t packet = next;
    std::array<std::size_t, kBatchCapacity + 1> first_packet{};
    while (packet < count) {
      const std::size_t size = header_bytes + bodies[packet].size();
      std::size_t end = packet + 1;
      if (cut) {
        std::size_t total = size;
        while (end < count && end - packet < kMaxSegments) {
          const std::size_t next_size = header_bytes + bodies[end].size();
          if (next_size > size || total + next_size > kMaxSegmentedBytes) break;
          total += next_size;
          ++end;
          if (next_size < size) break;  // only the last segment may be shorter
        }
      }
      TxMessage& message = m_batch_messages[messages];
      message.iovs = &m_batch_iovs[2 * packet];
      message.iov_count = 2 * (end - packet);
      message.segment_size = end - packet > 1 ? static_cast<std::uint16_t>(size) : 0;
      first_packet[messages++] = packet;
      packet = end;
    }
    first_packet[messages] = count;

    std::size_t messages_sent = 0;
    error = m_socket.SendBatch(m_batch_messages.data(), messages, messages_sent);
    const std::size_t now_sent = first_packet[messages_sent];
    if (m_config.on_packet_sent) {
      for (std::size_t i = next; i < now_sent; ++i) {
        m_config.on_packet_sent(
            SentPacketInfo{m_sample_id, static_cast<std::uint16_t>(first_index + i), header_bytes + bodies[i].size()});
      }
    }
    next = now_sent;
    if (!error) break;
    const bool retry_unsegmented = cut && !m_socket.CanSegment() && m_batch_messages[messages_sent].segment_size != 0;
    if (!retry_unsegmented) break;
    error.clear();
  }
  sent = next;
  m_packet_index = static_cast<std::uint16_t>(first_index + next);
  return error;
}

}  // namespace korvel::dunmo
