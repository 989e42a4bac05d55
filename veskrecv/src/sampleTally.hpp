#pragma once
// Counts the samples of one stream that veskrecv received and lost, and says
// when the wanted number has been accounted for.

#include <cstdint>

namespace ketra::vesktools::veskrecv {

// Received samples are counted as they are delivered. Lost samples are the
// gaps in the sender's consecutive sample ids between delivered samples, and
// the samples the receiver gave up since the last delivered one (the next
// delivered id tells how many were really missing, so those are provisional).
// Nothing counts as lost before the first delivered sample.
class SampleTally {
 public:
  explicit SampleTally(std::uint32_t wanted) : m_wanted(wanted) {}

  // A complete sample with `sample_id` arrived; `lost_frames` is the
  // receiver's count of given-up samples at that moment.
  void Delivered(std::uint32_t sample_id, std::int64_t lost_frames);
  // The receiver gave a sample up; `lost_frames` is its count after that.
  void GivenUp(std::int64_t lost_frames);

  std::uint32_t Received() const { return m_received; }
  std::uint32_t Lost() const;
  // Received plus lost reached the wanted number.
  bool Done() const;

 private:
  std::uint32_t m_wanted;
  std::uint32_t m_received = 0;
  std::uint64_t m_gap_lost = 0;      // ids skipped between delivered samples
  std::uint64_t m_pending_lost = 0;  // give-ups since the last delivered sample
  bool m_started = false;
  std::uint32_t m_last_id = 0;
  std::int64_t m_lost_frames_at_last = 0;
};

}  // namespace ketra::vesktools::veskrecv
