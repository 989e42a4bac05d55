#pragma once
// Sending end of a VESK stream.

#include <ketra/fnd/datatype/DataType.hpp>
#include <vesklib_korvel/SampleExtInfo.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The transport stays private to the library: only the library's sources see
// these types whole.
namespace korvel {
class UdpTxSocket;
namespace dunmo {
class Sender;
}
namespace vesk {
class Sender;
}
}  // namespace korvel

namespace ketra::vesktools::vesklib_korvel {

using ketra::fnd::datatype::DataType;

struct SenderConfig {
  std::uint16_t mtu_size = 1500;
  std::int32_t topic_id = 10;
  std::uint16_t component_id = 12345;
  std::uint8_t protocol_option = 0;
  std::uint16_t ext_info_size = 8;
  // Payload packets of a sample leave in batches of up to 64 datagrams per
  // system call (sendmmsg); false: one sendmsg per packet.
  bool batch_send = true;
  // With batch_send: runs of equal-size payload packets leave as one message
  // that the kernel cuts into datagrams (UDP segmentation offload), where the
  // kernel and the outgoing device support it; otherwise batches as above.
  bool segmentation_offload = true;
  // Upper bound of the send rate in bytes per second (datagram bytes, headers
  // included): the packets of a sample are spread over time so that a
  // receiver slower than the sender is not flooded. 0: unlimited.
  std::uint64_t rate_limit = 0;
};

class VeskSender {
 public:
  VeskSender(const std::string& src_ip, const std::string& dest_ip, int dest_port, DataType data_type,
             int pixels_per_sample, const SenderConfig& config);
  virtual ~VeskSender();
  VeskSender(const VeskSender&) = delete;
  VeskSender& operator=(const VeskSender&) = delete;

  // Builds the network stack when the pixel count changed since the last build.
  void Initialise(const SampleExtInfo& ext_info);
  // Sends one sample: leader (with the ext info block), payloads viewing
  // `sample`, trailer. Throws std::runtime_error on a send failure.
  void SendSample(const SampleExtInfo& ext_info, const std::vector<unsigned char>& sample);
  int GetPixelsPerSample() const;
  // Bytes per pixel of the stream's pixel type (0 for types without a fixed size).
  int GetBytesPerPixel() const;

 private:
  std::string m_src_ip;
  std::string m_dest_ip;
  int m_dest_port;
  DataType m_data_type;
  int m_pixels_per_sample;
  SenderConfig m_sndr_cfg;
  int m_current_pixels_per_sample = 0;
  int m_nb_of_udp_packets = 0;
  std::int8_t m_bpp;
  std::unique_ptr<::korvel::UdpTxSocket> m_udp_socket;
  std::unique_ptr<::korvel::dunmo::Sender> m_dunmo_sender;
  std::unique_ptr<::korvel::vesk::Sender> m_vesk_sender;
};

}  // namespace ketra::vesktools::vesklib_korvel
