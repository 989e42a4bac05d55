// Batched payload receive of ReceiveSample: a run of full payloads is taken
// with as few system calls as the transport allows, each payload straight
// into its place in the sample; the results are handed out one at a time so
// that ReceiveSample checks each as it checks a single receive.
#include "VeskReceiverBatch.hpp"

#include <algorithm>
#include <utility>

namespace ketra::vesktools::vesklib_korvel::detail {

PayloadBatcher::PayloadBatcher(korvel::vesk::Receiver& receiver, bool enabled) noexcept
    : m_receiver(receiver), m_enabled(enabled) {}

bool PayloadBatcher::Next(unsigned char* write_at, std::uint64_t chunk, std::uint64_t full_chunk,
                          std::uint64_t full_in_a_row, std::chrono::nanoseconds timeout, Result& out) noexcept {
  if (m_next < m_count) {
    out = std::move(m_results[m_next++]);
    return true;
  }
  // Only runs of equal, full places: a payload that lands in a later place of
  // the run can then be moved to its own whole.
  if (!m_enabled || full_chunk == 0 || chunk != full_chunk) return false;
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(full_in_a_row, m_results.size()));
  if (count < 2) return false;
  m_count = m_receiver.ReceivePayloadBatch(reinterpret_cast<std::byte*>(write_at), static_cast<std::size_t>(chunk),
                                           count, timeout, m_results.data());
  m_next = 0;
  if (m_count == 0) return false;
  out = std::move(m_results[m_next++]);
  return true;
}

}  // namespace ketra::vesktools::vesklib_korvel::detail
