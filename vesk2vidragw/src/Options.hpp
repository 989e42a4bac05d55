#pragma once
// Values of vesk2vidragw's command line, filled by main after start-up.

#include <cstdint>
#include <ketra/fnd/datatype/DataType.hpp>
#include <string>

namespace ketra::vesktools::vesk2vidragw {

struct Options {
  std::string receiver_ip;                                                 // "receiver ip", resolved to an IPv4 address
  std::string interface;                                                   // "interface": interface for multicast
  int port = 0;                                                            // "port"
  std::string vidra_stream;                                                // "vidra-stream"
  double vidra_interval = 1.0;                                             // "vidra-interval", seconds
  std::string broker_uri;                                                  // "broker-uri"
  std::string log_prop_file;                                               // "log-prop-file", empty when not given
  ketra::fnd::datatype::DataType data_type = ketra::fnd::datatype::Int16;  // resolved "data-type"
  int width = 0;                                                           // "width"
  int height = 0;                                                          // "height"
  unsigned short mtu_size = 1500;                                          // "mtu-size"
  unsigned short ext_info_size = 8;                                        // "ext_info_size"
  std::string log_level = "ERROR";                                         // "log-level" as given
  std::uint64_t socket_buffer = 0;                                         // "socket-buffer", bytes
  double progress = 0;                                                     // "progress": seconds, 0 = no rate lines
};

}  // namespace ketra::vesktools::vesk2vidragw
