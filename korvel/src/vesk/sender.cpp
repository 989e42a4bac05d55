#include <korvel/vesk/Sender.hpp>

#include <stdexcept>
#include <string>

namespace korvel::vesk {

namespace {

// Index into this layer's header buffer of a field at datagram offset `offset`.
constexpr std::size_t Vesk(std::size_t offset) noexcept {
  return offset - wire::kDunmoHeaderSize;
}

}  // namespace

Sender::Sender(const Config& config, dunmo::Sender& packet_sender)
    : m_config(config), m_packet_sender(packet_sender), m_bytes_per_pixel(0) {
  if (config.ext_info_size > config.max_ext_info_size) {
    throw std::invalid_argument("extended info size " + std::to_string(config.ext_info_size) +
                                " above the maximum of " + std::to_string(config.max_ext_info_size));
  }
  if (config.pixel_pattern.size() > 255) {
    throw std::invalid_argument("pixel pattern of " + std::to_string(config.pixel_pattern.size()) +
                                " bytes: at most 255 bytes per pixel");
  }
  if (config.pixels_per_sample < 0) {
    throw std::invalid_argument("negative pixels per sample: " + std::to_string(config.pixels_per_sample));
  }
  // An empty pattern (pixel type without a fixed size) is accepted: such a
  // sample has no pixel bytes and is sent as a leader and a trailer.
  m_bytes_per_pixel = static_cast<std::uint8_t>(config.pixel_pattern.size());
  m_config.pixel_pattern = {};  // only valid during construction

  using namespace wire;
  m_header[Vesk(kProtocolOptionOffset)] = std::byte{config.protocol_option};
  m_header[Vesk(kExtInfoSizeOffset)] = std::byte{config.ext_info_size};
  m_header[Vesk(kBytesPerPixelOffset)] = std::byte{m_bytes_per_pixel};
}

std::error_code Sender::SendLeaderPacket(detail::IovsBuilder<const std::byte>&& iovs,
                                         std::optional<TimePoint> timestamp, std::optional<unsigned short> user_value,
                                         std::optional<Status> status) noexcept {
  if (iovs.CallerBytes() != m_config.ext_info_size) return std::make_error_code(std::errc::invalid_argument);
  return SendPacket(iovs, wire::PacketType::Leader, timestamp, user_value, status, 0);
}

std::error_code Sender::SendPayloadPacket(detail::IovsBuilder<const std::byte>&& iovs,
                                          std::optional<TimePoint> timestamp, std::optional<unsigned short> user_value,
                                          std::optional<Status> status, unsigned char user_byte) noexcept {
  return SendPacket(iovs, wire::PacketType::Payload, timestamp, user_value, status, user_byte);
}

std::error_code Sender::SendTrailerPacket(detail::IovsBuilder<const std::byte>&& iovs,
                                          std::optional<TimePoint> timestamp, std::optional<unsigned short> user_value,
                                          std::optional<Status> status) noexcept {
  return SendPacket(iovs, wire::PacketType::Trailer, timestamp, user_value, status, 0);
}

std::error_code Sender::SendPacket(detail::IovsBuilder<const std::byte>& iovs, wire::PacketType type,
                                   std::optional<TimePoint> timestamp, std::optional<unsigned short> user_value,
                                   std::optional<Status> status, unsigned char user_byte) noexcept {
  using namespace wire;
  const std::size_t caller_bytes = iovs.CallerBytes();
  if (caller_bytes > UINT32_MAX) return std::make_error_code(std::errc::message_size);
  const auto pixels = static_cast<std::uint32_t>(m_config.pixels_per_sample);

  if (type == PacketType::Leader) m_sample_bytes_sent = 0;
  std::uint32_t word36 = pixels;
  std::uint32_t word40 = 0;
  switch (type) {
    case PacketType::Leader:
      word40 = m_config.payload_room;
      break;
    case PacketType::Payload:
      word36 = static_cast<std::uint32_t>(1 + (m_bytes_per_pixel == 0 ? 0 : m_sample_bytes_sent / m_bytes_per_pixel));
      word40 = static_cast<std::uint32_t>(caller_bytes);
      break;
    case PacketType::Trailer:
      word40 = static_cast<std::uint32_t>(m_sample_bytes_sent);
      break;
  }
  m_header[Vesk(kPacketTypeOffset)] = std::byte{static_cast<std::uint8_t>(type)};
  StoreBe32(&m_header[Vesk(kPixelCountOffset)], word36);
  StoreBe32(&m_header[Vesk(kPayloadRoomOffset)], word40);
  StoreBe32(&m_header[Vesk(kPixelTypeOffset)], type == PacketType::Leader ? m_config.pixel_type : 0);
  StoreBe16(&m_header[Vesk(kUserValueOffset)], user_value.value_or(0));
  m_header[Vesk(kStatusOffset)] = std::byte{static_cast<std::uint8_t>(status.value_or(Status::Ok))};
  m_header[Vesk(kPresenceOffset)] =
      std::byte{static_cast<std::uint8_t>((user_value ? kHasUserValue : 0) | (status ? kHasStatus : 0))};
  m_header[Vesk(kUserByteOffset)] = std::byte{user_byte};

  iovs.SetHeaderSlot(1, gsl::span<const std::byte>(m_header.data(), m_header.size()));
  const std::error_code error = m_packet_sender.Send(iovs, type == PacketType::Leader, timestamp);
  if (!error && type == PacketType::Payload) m_sample_bytes_sent += caller_bytes;
  return error;
}

}  // namespace korvel::vesk
