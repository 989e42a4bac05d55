#pragma once
// Stream protocol, sending side: frames a sample as one leader packet (with
// the optional ext info block), payload packets and one trailer packet.

#include <chronel/Chronel.hpp>
#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/dunmo/Sender.hpp>
#include <korvel/wire/Header.hpp>

#include <array>
#include <cstdint>
#include <gsl/span>
#include <optional>
#include <system_error>

namespace korvel::vesk {

enum class Status : std::uint8_t { Ok = 0, Warning = 1, Error = 2 };

class Sender {
 public:
  struct Config {
    std::uint8_t protocol_option = 0;
    std::uint8_t max_ext_info_size = 8;
    std::uint8_t ext_info_size = 0;
    std::int32_t pixels_per_sample = 0;
    // One pixel's worth of bytes; its length is the bytes per pixel. Only
    // read during construction.
    gsl::span<const std::byte> pixel_pattern;
    // Bytes of every payload packet but the last, as the caller cuts the
    // sample; written into the leader so that a receiver places each payload
    // where the sender took it from. 0: not stated.
    std::uint32_t payload_room = 0;
    // The stream's pixel type as the application codes it, written into the
    // leader so that a receiver configured for another type can tell.
    // 0: not stated.
    std::uint32_t pixel_type = 0;
  };

  using TimePoint = chronel::Chronel::time_point;

  // Throws std::invalid_argument for an ext info size above the maximum, a
  // negative pixel count or a pattern above 255 bytes. An empty pattern (a
  // pixel type without a fixed size) is accepted: such samples carry no
  // pixel bytes, and payload tags stay 1.
  Sender(const Config& config, dunmo::Sender& packet_sender);
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  // Each call sends one datagram synchronously: when it returns nothing refers
  // to the caller's slots any more. Returns zero when sent.
  std::error_code SendLeaderPacket(detail::IovsBuilder<const std::byte>&& iovs, std::optional<TimePoint> timestamp,
                                   std::optional<unsigned short> user_value, std::optional<Status> status) noexcept;
  std::error_code SendPayloadPacket(detail::IovsBuilder<const std::byte>&& iovs, std::optional<TimePoint> timestamp,
                                    std::optional<unsigned short> user_value, std::optional<Status> status,
                                    unsigned char user_byte) noexcept;
  std::error_code SendTrailerPacket(detail::IovsBuilder<const std::byte>&& iovs, std::optional<TimePoint> timestamp,
                                    std::optional<unsigned short> user_value, std::optional<Status> status) noexcept;

  // Sends `count` payload packets of the current sample (at most
  // dunmo::Sender::kBatchCapacity), packet i carrying `bodies[i]`, in one
  // batch of the packet layer: headers as SendPayloadPacket would write them
  // packet by packet. `segment` asks for kernel segmentation where the socket
  // offers it. Synchronous: when it returns nothing refers to `bodies`.
  // `sent` is set to the number of packets that went out.
  std::error_code SendPayloadBatch(const gsl::span<const std::byte>* bodies, std::size_t count,
                                   std::optional<TimePoint> timestamp, std::optional<unsigned short> user_value,
                                   std::optional<Status> status, unsigned char user_byte, bool segment,
                                   std::size_t& sent) noexcept;

  std::uint8_t BytesPerPixel() const noexcept { return m_bytes_per_pixel; }

 private:
  std::error_code SendPacket(detail::IovsBuilder<const std::byte>& iovs, wire::PacketType type,
                             std::optional<TimePoint> timestamp, std::optional<unsigned short> user_value,
                             std::optional<Status> status, unsigned char user_byte) noexcept;

  Config m_config;
  dunmo::Sender& m_packet_sender;
  std::uint8_t m_bytes_per_pixel;
  std::uint64_t m_sample_bytes_sent = 0;  // payload bytes of the current sample so far
  std::array<std::byte, wire::kVeskHeaderSize> m_header{};
};

}  // namespace korvel::vesk
