// veskrecv's receiver: the per-sample hook and the received/lost counting.
#include "VeskReceiverTool.hpp"

#include <fmt/format.h>

#include <cstdio>

namespace ketra::vesktools::korvel {

VeskReceiverTool::VeskReceiverTool(const std::string& address, const std::string& netif, int port,
                                   vesklib_korvel::DataType data_type, const vesklib_korvel::ReceiverConfig& config,
                                   std::uint32_t nb_of_samples)
    : VeskReceiver(address, netif, port, data_type, config), m_nb_of_samples(nb_of_samples), m_tally(nb_of_samples) {}

void VeskReceiverTool::HandleSampleUser(vesklib_korvel::SampleExtInfo& /*ext_info*/,
                                        std::vector<unsigned char>& sample) {
  const auto sample_id = static_cast<std::uint32_t>(GetSampleId());
  fmt::print(">>>>> VeskReceiverTool::HandleSampleUser(): Sample ID: {}", GetSampleId());
  std::fflush(stdout);
  if (m_first_sample_id == 0) {
    m_first_sample_id = sample_id;
  }
  m_tally.Delivered(sample_id);
  m_received_bytes.fetch_add(sample.size(), std::memory_order_relaxed);
  UpdateCounts();
}

void VeskReceiverTool::HandleSampleLost() {
  m_tally.GivenUp(GetLostSampleId());
  UpdateCounts();
}

void VeskReceiverTool::UpdateCounts() {
  m_received_samples = m_tally.Received();
  m_lost_samples = m_tally.Lost();
  if (m_tally.Done()) {
    // Ends the loop at its next test without waiting for it, which this
    // thread (the loop's own) must never do.
    s_execute.exchange(false);
  }
}

}  // namespace ketra::vesktools::korvel
