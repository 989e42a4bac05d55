#pragma once
// veskrecv's receiver: prints the id of every delivered sample and counts
// received and lost samples until the wanted number is reached.

#include <vesklib_korvel/VeskReceiver.hpp>

#include "SampleTally.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace ketra::vesktools::korvel {

class VeskReceiverTool : public vesklib_korvel::VeskReceiver {
 public:
  VeskReceiverTool(const std::string& address, const std::string& netif, int port, vesklib_korvel::DataType data_type,
                   const vesklib_korvel::ReceiverConfig& config, std::uint32_t nb_of_samples);

  // Prints the sample id; once received + lost reaches the wanted number it
  // clears s_execute, so the receive loop returns after this sample.
  void HandleSampleUser(vesklib_korvel::SampleExtInfo& ext_info, std::vector<unsigned char>& sample) override;
  // Counts a given-up sample as lost, with the same end as above.
  void HandleSampleLost() override;

  std::uint32_t GetReceivedSamples() const { return m_received_samples; }
  // At most the wanted number less the received samples.
  std::uint32_t GetLostSamples() const { return m_lost_samples; }
  // Samples an id gap showed missing beyond the wanted number; not in
  // GetLostSamples().
  std::uint64_t GetMissingBeyondWanted() const { return m_tally.Beyond(); }
  std::uint32_t GetFirstSampleId() const { return m_first_sample_id; }
  // Bytes of the samples delivered so far; readable from any thread.
  std::uint64_t GetReceivedBytes() const { return m_received_bytes.load(std::memory_order_relaxed); }

 private:
  void UpdateCounts();

  std::uint32_t m_nb_of_samples;
  std::uint32_t m_received_samples = 0;
  std::uint32_t m_lost_samples = 0;
  std::uint32_t m_first_sample_id = 0;
  std::atomic<std::uint64_t> m_received_bytes{0};
  veskrecv::SampleTally m_tally;
};

}  // namespace ketra::vesktools::korvel
