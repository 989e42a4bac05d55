// The texts a receiver logs when a leader shows a sender set up differently.
#include "VeskReceiverHints.hpp"

#include <vesklib_korvel/PacketGeometry.hpp>

#include <fmt/format.h>

namespace ketra::vesktools::vesklib_korvel::detail {

namespace dt = ketra::fnd::datatype;

namespace {

std::optional<std::string> NameOf(std::uint32_t value) {
  const auto named = dt::DataTypeNameTable.right.find(static_cast<dt::DataType>(value));
  if (named == dt::DataTypeNameTable.right.end()) return std::nullopt;
  return named->second;
}

}  // namespace

std::string DataTypeText(std::uint32_t value) {
  return fmt::format("{} ({})", NameOf(value).value_or("unknown"), value);
}

LeaderHints::LeaderHints(dt::DataType data_type, int bytes_per_pixel, int mtu_size) noexcept
    : m_data_type(data_type), m_bytes_per_pixel(bytes_per_pixel), m_mtu_size(mtu_size) {}

std::optional<std::string> LeaderHints::PixelType(std::uint32_t stated_type) {
  const auto own = static_cast<std::uint32_t>(m_data_type);
  if (stated_type == 0 || stated_type == own) {
    // A sender of the receiver's own type ends the mismatch told about.
    if (stated_type == own) m_told_type = 0;
    return std::nullopt;
  }
  if (stated_type == m_told_type) return std::nullopt;
  m_told_type = stated_type;
  const std::optional<std::string> stated_name = NameOf(stated_type);
  return fmt::format(
      "Sender states pixel type {}, this receiver is configured for {}: its pixels are read as {}; set the "
      "receiver's data type to {} (vesk2vidragw -t/--data-type, veskrecv -t/--data_type)",
      DataTypeText(stated_type), DataTypeText(own), NameOf(own).value_or("configured"),
      stated_name.value_or("the sender's"));
}

std::optional<std::string> LeaderHints::PayloadRoom(std::uint32_t stated_room) {
  // A room that is not whole pixels is not used to place payloads, so it
  // keeps no sample out either.
  const auto bpp = static_cast<std::uint32_t>(m_bytes_per_pixel);
  if (stated_room == 0 || bpp == 0 || stated_room % bpp != 0) return std::nullopt;
  const int room = m_mtu_size - kHeaderRoom;
  if (room >= 0 && stated_room <= static_cast<std::uint32_t>(room)) {
    m_told_room = 0;
    return std::nullopt;
  }
  if (stated_room == m_told_room) return std::nullopt;
  m_told_room = stated_room;
  const std::uint32_t own_room = room <= 0 ? 0u : static_cast<std::uint32_t>(room) / bpp * bpp;
  return fmt::format(
      "Sender cuts payloads of {} bytes (sender's MTU size at least {}), more than the {} bytes this receiver "
      "takes (MTU size {}): its samples cannot be received; start sender and receiver with the same --mtu-size, "
      "e.g. the sender with --mtu-size {}",
      stated_room, stated_room + kHeaderRoom, own_room, m_mtu_size, m_mtu_size);
}

}  // namespace ketra::vesktools::vesklib_korvel::detail
