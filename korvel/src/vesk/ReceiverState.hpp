#pragma once
// Where the stream receiver stands: the sample in progress, the last leader
// taken, a leader kept for the next sample, and which warnings were given.
// Shared by the single-datagram and the batch receive.

#include <korvel/vesk/Receiver.hpp>

#include <cstdint>

namespace korvel::vesk {

struct Receiver::State {
  bool in_sample = false;  // a leader was accepted; payloads/trailer awaited
  std::uint32_t sample_id = 0;
  std::uint16_t packet_count = 0;
  std::uint16_t next_index = 0;
  bool have_last_leader = false;
  std::uint32_t last_leader_id = 0;
  dunmo::Receiver::PacketPtr kept_leader{nullptr};
  // A leader was accepted: its sample is the one in progress.
  void BeginSample(std::uint32_t id, std::uint16_t count) noexcept {
    in_sample = true;
    sample_id = id;
    packet_count = count;
    next_index = 1;
    have_last_leader = true;
    last_leader_id = id;
  }
  // One WARN line per mismatch kind.
  bool warned_ext_info = false;
  bool warned_bpp = false;
  bool warned_payload_size = false;
};

}  // namespace korvel::vesk
