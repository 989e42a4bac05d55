#pragma once
// Counts the samples of one stream that veskrecv received and lost, and says
// when the wanted number has been accounted for.

#include <cstdint>
#include <optional>

namespace ketra::vesktools::veskrecv {

// Received samples are counted as they are delivered. Every sample the
// receiver gave up is lost, the first ones too. So are the samples the
// sender's ids skipped between two samples whose ids are known (delivered,
// or given up after their leader was accepted); a sample given up without a
// trusted id (its leader refused) lies inside the next such gap, so a gap
// and those give-ups are counted once, as the larger of the two. Waits in
// which no sample began (an idle sender) never reach the tally.
//
// Reception ends once received + lost reaches the wanted number. A gap can
// take the count past it in one step: the report then stays at the wanted
// number and Beyond() tells how many more were missing.
class SampleTally {
 public:
  explicit SampleTally(std::uint32_t wanted) : m_wanted(wanted) {}

  // A complete sample with `sample_id` arrived.
  void Delivered(std::uint32_t sample_id);
  // The receiver gave a sample up; `sample_id` when its leader was accepted.
  void GivenUp(std::optional<std::uint32_t> sample_id);

  std::uint32_t Received() const { return m_received; }
  // Lost samples, at most the wanted number less the received ones.
  std::uint32_t Lost() const;
  // Samples known missing beyond the wanted number, left out of Lost().
  std::uint64_t Beyond() const;
  // Received plus lost reached the wanted number.
  bool Done() const;

 private:
  // A sample with a trusted id was accounted for: counts the gap before it.
  void Place(std::uint32_t sample_id);
  std::uint64_t AllLost() const { return m_lost + m_unplaced; }

  std::uint32_t m_wanted;
  std::uint32_t m_received = 0;
  std::uint64_t m_lost = 0;      // give-ups with ids, and gaps
  std::uint64_t m_unplaced = 0;  // give-ups without a trusted id since the last known id
  bool m_have_id = false;
  std::uint32_t m_last_id = 0;
};

}  // namespace ketra::vesktools::veskrecv
