#include <vesk2vidra/Vesk2VidraGateway.hpp>

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/ReceiveInterface.hpp>
#include <vesklib_korvel/Diagnostics.hpp>

#include <fmt/format.h>
#include <chrono>
#include <stdexcept>

namespace ketra::vesktools::vesk2vidra {

namespace {

using ketra::vesktools::vesklib_korvel::ReceiverConfig;

ReceiverConfig GatewayReceiverConfig(int width, int height, unsigned short mtu_size, unsigned short ext_info_size,
                                     std::uint64_t socket_buffer_size) {
  ReceiverConfig config;
  config.socket_buffer_size = socket_buffer_size;
  config.topic_id = Vesk2VidraGateway::kTopicId;
  config.mtu_size = mtu_size;
  config.image_width = width;
  config.image_height = height;
  config.ext_info_size = ext_info_size;
  config.packet_layer_option = 0;
  return config;
}

std::size_t PlaneBytes(int width, int height, DataType data_type) {
  if (width <= 0 || height <= 0) {
    throw std::invalid_argument(
        fmt::format("Invalid image size {}x{}: width and height must be positive", width, height));
  }
  return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
         static_cast<std::size_t>(ketra::fnd::datatype::GetBytesPerPixel(data_type));
}

constexpr std::chrono::minutes kStatisticsLogInterval{1};

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

Vesk2VidraGateway::Vesk2VidraGateway(const std::string& receiver_ip, const std::string& interface, int port,
                                     DataType data_type, int width, int height, const std::string& broker_uri,
                                     const std::string& stream, double interval, unsigned short mtu_size,
                                     unsigned short ext_info_size, std::string log_prop_file, std::string log_level,
                                     std::uint64_t socket_buffer_size)
    : VeskReceiver(receiver_ip, ReceiveInterfaceName(receiver_ip, interface), port, data_type,
                   GatewayReceiverConfig(width, height, mtu_size, ext_info_size, socket_buffer_size)),
      m_width(width),
      m_height(height),
      m_plane_bytes(PlaneBytes(width, height, data_type)),
      m_stream(stream),
      m_interval(interval),
      m_log_prop_file(std::move(log_prop_file)),
      m_log_level(std::move(log_level)),
      m_exchange(AcquireFrameExchange(ParseBrokerUri(broker_uri).Key(), stream)) {
  // The receive counters go to the log at INFO once a minute.
  SetStatisticsLogInterval(kStatisticsLogInterval);
  auto& logger = ketra::vesktools::vesklib_korvel::Logger();
  const std::string joined_on = ReceiveInterfaceName(receiver_ip, interface);
  LOG4CPLUS_INFO(logger, fmt::format("VESK to VIDRA gateway: {}:{}{} -> {} stream '{}', {}x{} pixels of type {}, "
                                     "interval {} s, MTU {}, ext info {} bytes, socket buffer {} bytes",
                                     receiver_ip, port, joined_on.empty() ? "" : " on interface " + joined_on,
                                     MaskBrokerUri(broker_uri), m_stream, width, height, static_cast<int>(data_type),
                                     m_interval, mtu_size, ext_info_size, socket_buffer_size));
}

Vesk2VidraGateway::~Vesk2VidraGateway() = default;

void Vesk2VidraGateway::StopReceiver() {
  VeskReceiver::StopReceiver();
  m_exchange->Close();
}

void Vesk2VidraGateway::HandleSampleUser(SampleExtInfo& ext_info, std::vector<unsigned char>& sample) {
  if (sample.empty() || sample.size() % m_plane_bytes != 0) {
    throw std::runtime_error(fmt::format("Sample {} of {} bytes is not a whole number of {}x{} image planes ({} bytes)",
                                         GetSampleId(), sample.size(), m_width, m_height, m_plane_bytes));
  }
  m_bytes_received.fetch_add(sample.size(), std::memory_order_relaxed);
  m_exchange->Put(sample, GetSampleId(), ext_info.GetTimestamp(), NowSeconds());
}

}  // namespace ketra::vesktools::vesk2vidra
