// Received and lost sample counting of veskrecv.
#include "SampleTally.hpp"

#include <vesklib_korvel/ReceiveStatistics.hpp>

#include <algorithm>
#include <limits>

namespace ketra::vesktools::veskrecv {

void SampleTally::Place(std::uint32_t sample_id) {
  // A restarted sender (a new id sequence) reveals no gap.
  std::uint64_t gap = 0;
  if (m_have_id) {
    gap = vesklib_korvel::SamplesSkippedBetween(m_last_id, sample_id).value_or(0);
  }
  // The give-ups without an id since the last known one lie inside the gap.
  m_lost += std::max(gap, m_unplaced);
  m_unplaced = 0;
  m_have_id = true;
  m_last_id = sample_id;
}

void SampleTally::Delivered(std::uint32_t sample_id) {
  Place(sample_id);
  if (m_received < std::numeric_limits<std::uint32_t>::max()) ++m_received;
}

void SampleTally::GivenUp(std::optional<std::uint32_t> sample_id) {
  if (sample_id) {
    Place(*sample_id);
    ++m_lost;
  } else {
    ++m_unplaced;
  }
}

std::uint32_t SampleTally::Lost() const {
  const std::uint64_t room = m_wanted > m_received ? m_wanted - m_received : 0u;
  return static_cast<std::uint32_t>(std::min(AllLost(), room));
}

std::uint64_t SampleTally::Beyond() const {
  return AllLost() - Lost();
}

bool SampleTally::Done() const {
  return static_cast<std::uint64_t>(m_received) + AllLost() >= m_wanted;
}

}  // namespace ketra::vesktools::veskrecv
