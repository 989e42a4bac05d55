#pragma once
// Byte layout of the packet headers. docs/wire-format.md describes the same
// layout for readers outside this code; keep the two in step.
//
// Every datagram is [dunmo header 32][vesk header 24][caller bytes]. All
// multi-byte header fields are big-endian.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvel::wire {

// ---- dunmo (packet layer) header -------------------------------------------
inline constexpr std::uint32_t kDunmoMagic = 0x564B444Du;  // "VKDM"
inline constexpr std::uint8_t kDunmoVersion = 1;
inline constexpr std::size_t kDunmoHeaderSize = 32;

inline constexpr std::size_t kMagicOffset = 0;           // u32
inline constexpr std::size_t kVersionOffset = 4;         // u8
inline constexpr std::size_t kHeaderSizeOffset = 5;      // u8: size of all headers (56)
inline constexpr std::size_t kComponentIdOffset = 6;     // u16
inline constexpr std::size_t kTopicIdOffset = 8;         // i32
inline constexpr std::size_t kSampleIdOffset = 12;       // u32
inline constexpr std::size_t kPacketIndexOffset = 16;    // u16: 0 = leader, N-1 = trailer
inline constexpr std::size_t kPacketCountOffset = 18;    // u16: N, leader and trailer included
inline constexpr std::size_t kTimestampOffset = 20;      // i64: TAI ns since 1970, or kNoTimestamp
inline constexpr std::size_t kDunmoReservedOffset = 28;  // u32: zero

inline constexpr std::int64_t kNoTimestamp = INT64_MIN;

// ---- vesk (stream protocol) header, after the dunmo header -----------------
inline constexpr std::size_t kVeskHeaderSize = 24;
inline constexpr std::size_t kHeadersSize = kDunmoHeaderSize + kVeskHeaderSize;  // 56

enum class PacketType : std::uint8_t { Leader = 1, Payload = 2, Trailer = 3 };

inline constexpr std::size_t kPacketTypeOffset = 32;      // u8: PacketType
inline constexpr std::size_t kProtocolOptionOffset = 33;  // u8
inline constexpr std::size_t kExtInfoSizeOffset = 34;     // u8: ext info bytes after the leader's headers
inline constexpr std::size_t kBytesPerPixelOffset = 35;   // u8
inline constexpr std::size_t kPixelCountOffset = 36;      // u32 (leader, trailer): F
inline constexpr std::size_t kPayloadTagOffset = 36;      // u32 (payload): first pixel's position, from 1
inline constexpr std::size_t kPayloadRoomOffset = 40;     // u32 (leader): bytes of a full payload packet
inline constexpr std::size_t kPayloadBytesOffset = 40;    // u32 (payload): bytes in this packet
inline constexpr std::size_t kSampleBytesOffset = 40;     // u32 (trailer): payload bytes sent in the sample
inline constexpr std::size_t kUserValueOffset = 44;       // u16
inline constexpr std::size_t kStatusOffset = 46;          // u8
inline constexpr std::size_t kPresenceOffset = 47;        // u8: kHasUserValue | kHasStatus
inline constexpr std::size_t kUserByteOffset = 48;        // u8 (payload)
inline constexpr std::size_t kVeskReservedOffset = 49;    // 3 bytes, zero
inline constexpr std::size_t kPixelTypeOffset = 52;       // u32 (leader): sender's pixel type code, 0: not stated

inline constexpr std::uint8_t kHasUserValue = 0x01;
inline constexpr std::uint8_t kHasStatus = 0x02;

// ---- big-endian field access -------------------------------------------------
inline std::uint16_t LoadBe16(const std::byte* p) noexcept {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap16(v);
}
inline std::uint32_t LoadBe32(const std::byte* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap32(v);
}
inline std::uint64_t LoadBe64(const std::byte* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap64(v);
}
inline void StoreBe16(std::byte* p, std::uint16_t v) noexcept {
  v = __builtin_bswap16(v);
  std::memcpy(p, &v, sizeof v);
}
inline void StoreBe32(std::byte* p, std::uint32_t v) noexcept {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof v);
}
inline void StoreBe64(std::byte* p, std::uint64_t v) noexcept {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// ---- reading a received header ------------------------------------------------
// The header fields of one packet, in host order, read where they lie. `p`
// points at the dunmo header followed by the vesk header (kHeadersSize bytes
// that must stay valid while the view is used). Fields that differ by packet
// kind share their place: PixelCount and PayloadTag, PayloadRoom,
// PayloadBytes and SampleBytes.
class HeaderView {
 public:
  explicit HeaderView(const std::byte* p) noexcept : m_p(p) {}

  std::uint32_t Magic() const noexcept { return LoadBe32(m_p + kMagicOffset); }
  std::uint8_t Version() const noexcept { return Byte(kVersionOffset); }
  std::uint8_t HeaderSize() const noexcept { return Byte(kHeaderSizeOffset); }
  std::int32_t TopicId() const noexcept { return static_cast<std::int32_t>(LoadBe32(m_p + kTopicIdOffset)); }
  std::uint32_t SampleId() const noexcept { return LoadBe32(m_p + kSampleIdOffset); }
  std::uint16_t PacketIndex() const noexcept { return LoadBe16(m_p + kPacketIndexOffset); }
  std::uint16_t PacketCount() const noexcept { return LoadBe16(m_p + kPacketCountOffset); }

  // The raw type byte; PacketType names the valid values 1 to 3.
  std::uint8_t PacketTypeByte() const noexcept { return Byte(kPacketTypeOffset); }
  std::uint8_t ExtInfoSize() const noexcept { return Byte(kExtInfoSizeOffset); }
  std::uint8_t BytesPerPixel() const noexcept { return Byte(kBytesPerPixelOffset); }
  std::uint32_t PixelCount() const noexcept { return LoadBe32(m_p + kPixelCountOffset); }      // leader, trailer
  std::uint32_t PayloadTag() const noexcept { return LoadBe32(m_p + kPayloadTagOffset); }      // payload
  std::uint32_t PayloadRoom() const noexcept { return LoadBe32(m_p + kPayloadRoomOffset); }    // leader
  std::uint32_t PayloadBytes() const noexcept { return LoadBe32(m_p + kPayloadBytesOffset); }  // payload
  std::uint32_t SampleBytes() const noexcept { return LoadBe32(m_p + kSampleBytesOffset); }    // trailer
  std::uint32_t PixelType() const noexcept { return LoadBe32(m_p + kPixelTypeOffset); }        // leader

 private:
  std::uint8_t Byte(std::size_t offset) const noexcept { return std::to_integer<std::uint8_t>(m_p[offset]); }

  const std::byte* m_p;
};

}  // namespace korvel::wire
