// vesk::Sender::SendPayloadBatch: payload headers for a batch of packets,
// written into the packet layer's per-packet header storage.

#include <korvel/vesk/Sender.hpp>

#include <cstring>

namespace korvel::vesk {

std::error_code Sender::SendPayloadBatch(const gsl::span<const std::byte>* bodies, std::size_t count,
                                         std::optional<TimePoint> timestamp, std::optional<unsigned short> user_value,
                                         std::optional<Status> status, unsigned char user_byte, bool segment,
                                         std::size_t& sent) noexcept {
  using namespace wire;
  sent = 0;
  if (count > dunmo::Sender::kBatchCapacity) return std::make_error_code(std::errc::invalid_argument);
  static_assert(kVeskHeaderSize <= dunmo::Sender::kBatchUpperHeaderRoom);
  constexpr std::size_t base = kDunmoHeaderSize;  // datagram offset of this layer's header

  // The template: this sender's constant fields, then the payload fields.
  std::array<std::byte, kVeskHeaderSize> header = m_header;
  header[kPacketTypeOffset - base] = std::byte{static_cast<std::uint8_t>(PacketType::Payload)};
  StoreBe16(&header[kUserValueOffset - base], user_value.value_or(0));
  header[kStatusOffset - base] = std::byte{static_cast<std::uint8_t>(status.value_or(Status::Ok))};
  header[kPresenceOffset - base] =
      std::byte{static_cast<std::uint8_t>((user_value ? kHasUserValue : 0) | (status ? kHasStatus : 0))};
  header[kUserByteOffset - base] = std::byte{user_byte};
  StoreBe32(&header[kPixelTypeOffset - base], 0);  // stated by the leader only

  std::uint64_t bytes_before = m_sample_bytes_sent;
  for (std::size_t i = 0; i < count; ++i) {
    if (bodies[i].size() > UINT32_MAX) return std::make_error_code(std::errc::message_size);
    const auto tag = static_cast<std::uint32_t>(1 + (m_bytes_per_pixel == 0 ? 0 : bytes_before / m_bytes_per_pixel));
    StoreBe32(&header[kPayloadTagOffset - base], tag);
    StoreBe32(&header[kPayloadBytesOffset - base], static_cast<std::uint32_t>(bodies[i].size()));
    std::memcpy(m_packet_sender.BatchUpperHeader(i), header.data(), header.size());
    bytes_before += bodies[i].size();
  }

  const std::error_code error = m_packet_sender.SendBatch(count, kVeskHeaderSize, bodies, timestamp, segment, sent);
  for (std::size_t i = 0; i < sent; ++i) m_sample_bytes_sent += bodies[i].size();
  return error;
}

}  // namespace korvel::vesk
