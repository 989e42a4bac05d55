// Received and lost sample counting of veskrecv.
#include "sampleTally.hpp"

#include <algorithm>
#include <limits>

namespace ketra::vesktools::veskrecv {

void SampleTally::Delivered(std::uint32_t sample_id, std::int64_t lost_frames) {
  // An id at or below the last one (a restarted sender) reveals no gap.
  if (m_started && sample_id > m_last_id) {
    m_gap_lost += sample_id - m_last_id - 1u;
  }
  // The gap replaces the provisional give-ups: a given-up sample with a leader
  // lies inside it, a wait without any sender does not.
  m_pending_lost = 0;
  m_started = true;
  m_last_id = sample_id;
  m_lost_frames_at_last = lost_frames;
  if (m_received < std::numeric_limits<std::uint32_t>::max()) ++m_received;
}

void SampleTally::GivenUp(std::int64_t lost_frames) {
  if (!m_started) return;
  m_pending_lost = static_cast<std::uint64_t>(std::max<std::int64_t>(lost_frames - m_lost_frames_at_last, 0));
}

std::uint32_t SampleTally::Lost() const {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(m_gap_lost + m_pending_lost, std::numeric_limits<std::uint32_t>::max()));
}

bool SampleTally::Done() const {
  return static_cast<std::uint64_t>(m_received) + m_gap_lost + m_pending_lost >= m_wanted;
}

}  // namespace ketra::vesktools::veskrecv
