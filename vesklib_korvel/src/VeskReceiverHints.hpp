#pragma once
// What a receiver tells about a leader showing that the sender is set up
// differently: a pixel type other than the receiver's, or payloads larger
// than the receiver's MTU lets arrive. Each mismatch is told once, and again
// only after the sender stated something else. Internal to the stream
// library.

#include <ketra/fnd/datatype/DataType.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace ketra::vesktools::vesklib_korvel::detail {

class LeaderHints {
 public:
  LeaderHints(ketra::fnd::datatype::DataType data_type, int bytes_per_pixel, int mtu_size) noexcept;

  // The text of a WARN line for a leader stating pixel type `stated_type`
  // (0: not stated, as by older senders) when it differs from the
  // receiver's type and was not told since the sender stated it; nothing
  // otherwise. The receiver keeps its own type either way.
  std::optional<std::string> PixelType(std::uint32_t stated_type);

  // The text of a WARN line for a leader stating payloads of `stated_room`
  // bytes (0: not stated) that cannot arrive whole at this receiver, when it
  // was not told since the sender stated that room; nothing otherwise.
  std::optional<std::string> PayloadRoom(std::uint32_t stated_room);

 private:
  ketra::fnd::datatype::DataType m_data_type;
  int m_bytes_per_pixel;
  int m_mtu_size;
  std::uint32_t m_told_type = 0;  // pixel type last told about; 0: none
  std::uint32_t m_told_room = 0;  // payload room last told about; 0: none
};

// "UInt16 (512)"; a value without a name is "unknown (<value>)".
std::string DataTypeText(std::uint32_t value);

}  // namespace ketra::vesktools::vesklib_korvel::detail
