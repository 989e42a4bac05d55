// korvel::Ipv4 parsing of arbitrary text, checked against an independent
// reading of the accepted form: exactly four dot-separated decimal numbers,
// each 0 to 255, one to three digits, no leading zero beyond "0", nothing
// else. Invariants: the parser accepts exactly that; an accepted address
// prints back to the same text, re-parses equal and survives the host-order
// round trip; a refusal is std::invalid_argument naming the text (up to a
// NUL byte: the message is a C string).

#include "FuzzSupport.hpp"

#include <korvel/Ipv4.hpp>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

std::optional<std::array<std::uint8_t, 4>> Reference(const std::string& text) {
  std::array<std::uint8_t, 4> bytes{};
  std::size_t part = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string number = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (part >= 4 || number.empty() || number.size() > 3) return std::nullopt;
    if (number.size() > 1 && number[0] == '0') return std::nullopt;
    unsigned value = 0;
    for (const char c : number) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) return std::nullopt;
    bytes[part++] = static_cast<std::uint8_t>(value);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (part != 4) return std::nullopt;
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto expected = Reference(text);
  try {
    const korvel::Ipv4 ip(text);
    VESK_FUZZ_CHECK(expected.has_value());
    VESK_FUZZ_CHECK(ip.Bytes() == *expected);
    VESK_FUZZ_CHECK(ip.ToString() == text);
    VESK_FUZZ_CHECK(korvel::Ipv4(ip.ToString()) == ip);
    VESK_FUZZ_CHECK(korvel::Ipv4::FromHostOrder(ip.HostOrder()) == ip);
    VESK_FUZZ_CHECK(ip.NetworkOrder() == __builtin_bswap32(ip.HostOrder()));
    VESK_FUZZ_CHECK(ip.IsAny() == (text == "0.0.0.0"));
  } catch (const std::invalid_argument& e) {
    VESK_FUZZ_CHECK(!expected.has_value());
    // The message is a C string: it names the text up to a NUL byte.
    VESK_FUZZ_CHECK(std::string(e.what()).find(text.substr(0, text.find('\0'))) != std::string::npos);
  }
  return 0;
}
