#pragma once
// IPv4 address value.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvel {

class Ipv4 {
 public:
  // 0.0.0.0: "any" as a local address, and the default destination.
  Ipv4() noexcept = default;
  // Parses dotted-quad text ("127.0.0.1"). Throws std::invalid_argument whose
  // text names the refused input for anything else (empty text, blanks,
  // missing or extra parts, parts above 255, signs, leading zeros beyond one
  // digit, trailing characters).
  explicit Ipv4(const std::string& text);

  static Ipv4 FromHostOrder(std::uint32_t host_order) noexcept;

  std::uint32_t HostOrder() const noexcept;
  std::uint32_t NetworkOrder() const noexcept;
  const std::array<std::uint8_t, 4>& Bytes() const noexcept { return m_bytes; }
  bool IsAny() const noexcept { return HostOrder() == 0; }
  bool IsMulticast() const noexcept { return (m_bytes[0] & 0xF0) == 0xE0; }
  std::string ToString() const;

  friend bool operator==(const Ipv4&, const Ipv4&) = default;

 private:
  std::array<std::uint8_t, 4> m_bytes{};
};

}  // namespace korvel
