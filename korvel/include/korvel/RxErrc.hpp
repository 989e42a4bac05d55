#pragma once
// Receive results of the packet and stream layers other than system errors.

#include <system_error>

namespace korvel {

enum class RxErrc {
  // A leader arrived while a payload or trailer of the current sample was
  // awaited: the current sample is incomplete. The leader is kept and
  // delivered by the next leader receive.
  UnexpectedLeader = 1,
  // A later packet of the current sample arrived: the packets in between
  // were lost.
  MissingPacket = 2,
  // A payload packet carried fewer bytes than the caller's slot.
  PayloadSizeMismatch = 3,
  // No packet buffer is free: the caller still holds every packet handle.
  NoPacketBuffer = 4,
  // A leader whose packet index is not 0 or whose datagram is shorter than
  // its headers and ext info block.
  MalformedLeader = 5,
  // A payload or trailer of a later sample arrived while a packet of the
  // current sample was awaited: the current sample is incomplete. Returned
  // with the packet, so the caller can name its sample.
  LaterSample = 6,
  // A leader that the sample's owner judged implausible (its plausibility
  // hook): a sample the receiver cannot take.
  ImplausibleLeader = 7,
  // Skip this datagram and receive again: another topic, not this protocol,
  // a stale or duplicate packet, or not the packet kind being awaited.
  Retry = 8,
};

const std::error_category& rx_category() noexcept;
std::error_code make_error_code(RxErrc e) noexcept;

namespace vesk {
using korvel::make_error_code;
using korvel::RxErrc;
}  // namespace vesk

}  // namespace korvel

template <>
struct std::is_error_code_enum<korvel::RxErrc> : std::true_type {};
