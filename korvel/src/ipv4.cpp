#include <korvel/Ipv4.hpp>

#include <stdexcept>

namespace korvel {

namespace {

[[noreturn]] void Refuse(const std::string& text, const char* why) {
  throw std::invalid_argument("invalid IPv4 address \"" + text + "\": " + why);
}

}  // namespace

Ipv4::Ipv4(const std::string& text) {
  std::array<std::uint8_t, 4> bytes{};
  std::size_t pos = 0;
  for (std::size_t part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') Refuse(text, "expected four dot-separated numbers");
      ++pos;
    }
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 4) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - start;
    if (digits == 0) Refuse(text, "expected four dot-separated numbers");
    if (digits > 1 && text[start] == '0') Refuse(text, "leading zero in a number");
    if (digits > 3 || value > 255) Refuse(text, "number above 255");
    bytes[part] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) Refuse(text, "unexpected characters after the address");
  m_bytes = bytes;
}

Ipv4 Ipv4::FromHostOrder(std::uint32_t host_order) noexcept {
  Ipv4 ip;
  ip.m_bytes = {static_cast<std::uint8_t>(host_order >> 24), static_cast<std::uint8_t>(host_order >> 16),
                static_cast<std::uint8_t>(host_order >> 8), static_cast<std::uint8_t>(host_order)};
  return ip;
}

std::uint32_t Ipv4::HostOrder() const noexcept {
  return (std::uint32_t{m_bytes[0]} << 24) | (std::uint32_t{m_bytes[1]} << 16) | (std::uint32_t{m_bytes[2]} << 8) |
         std::uint32_t{m_bytes[3]};
}

std::uint32_t Ipv4::NetworkOrder() const noexcept {
  return __builtin_bswap32(HostOrder());
}

std::string Ipv4::ToString() const {
  return std::to_string(m_bytes[0]) + '.' + std::to_string(m_bytes[1]) + '.' + std::to_string(m_bytes[2]) + '.' +
         std::to_string(m_bytes[3]);
}

}  // namespace korvel
