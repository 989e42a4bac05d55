#pragma once
// The receiving half of the gateway: a VESK receiver whose per-sample hook
// hands each complete sample to the frame exchange of its broker and stream,
// where the VidraSender of the same broker and stream picks it up.

#include <vesk2vidra/FrameExchange.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ketra::vesktools::vesk2vidra {

using ketra::fnd::datatype::DataType;
using ketra::vesktools::vesklib_korvel::SampleExtInfo;
using ketra::vesktools::vesklib_korvel::VeskReceiver;

class Vesk2VidraGateway : public VeskReceiver {
 public:
  static constexpr std::uint64_t kSocketBufferSize = 16777216;
  static constexpr std::int32_t kTopicId = 10;

  // `interface` matters for a multicast `receiver_ip` only: the group is
  // joined on the interface of that name or holding that IPv4 address.
  // Throws std::invalid_argument for a bad broker URI, an interface address
  // that no interface holds, a non-positive image size or a data type
  // without a fixed pixel size. `socket_buffer_size` is the UDP receive
  // buffer in bytes (0: the system's default).
  Vesk2VidraGateway(const std::string& receiver_ip, const std::string& interface, int port, DataType data_type,
                    int width, int height, const std::string& broker_uri, const std::string& stream, double interval,
                    unsigned short mtu_size, unsigned short ext_info_size, std::string log_prop_file,
                    std::string log_level, std::uint64_t socket_buffer_size = kSocketBufferSize);
  ~Vesk2VidraGateway() override;

  // Stops the receive loop and ends the publishing of the paired VidraSender.
  void StopReceiver() override;

  // Puts the sample into the exchange (swapping buffers). A sample that is
  // not a whole number of width x height planes is refused with
  // std::runtime_error, which the receive loop counts as a lost frame.
  void HandleSampleUser(SampleExtInfo& ext_info, std::vector<unsigned char>& sample) override;

  const FrameExchange& Exchange() const { return *m_exchange; }
  // Bytes of the samples put into the exchange so far; readable from any thread.
  std::uint64_t BytesReceived() const { return m_bytes_received.load(std::memory_order_relaxed); }

 private:
  int m_width;
  int m_height;
  std::size_t m_plane_bytes;
  std::string m_stream;
  double m_interval;
  std::string m_log_prop_file;
  std::string m_log_level;
  std::shared_ptr<FrameExchange> m_exchange;
  std::atomic<std::uint64_t> m_bytes_received{0};
};

}  // namespace ketra::vesktools::vesk2vidra
