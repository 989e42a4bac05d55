#pragma once
// Values of veskrecv's command line, filled by main after start-up.

#include <cstdint>
#include <ketra/fnd/datatype/DataType.hpp>
#include <string>

namespace ketra::vesktools::veskrecv {

struct Options {
  std::string address;                                                     // "address", resolved to an IPv4 address
  int port = 0;                                                            // "port"
  std::string netif;                                                       // "netif": interface for multicast
  int width = 0;                                                           // "width"
  int height = 0;                                                          // "height"
  unsigned int samples = 0;                                                // "samples": number of samples to receive
  ketra::fnd::datatype::DataType data_type = ketra::fnd::datatype::Int16;  // resolved "data_type"
  std::string data_type_text = "Int16";                                    // "data_type" as given
  bool stats = false;                                                      // "stats": counters after the report
  std::uint16_t mtu_size = 9000;                                           // "mtu-size"
  std::uint16_t ext_info_size = 0;                                         // "ext_info_size"
  std::uint64_t socket_buffer = 16777216;                                  // "socket-buffer", bytes
  double progress = 0;                                                     // "progress": seconds, 0 = no rate lines
};

}  // namespace ketra::vesktools::veskrecv
