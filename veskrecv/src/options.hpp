#pragma once
// Values of veskrecv's command line, filled by main after start-up.

#include <ketra/fnd/datatype/DataType.hpp>
#include <string>

namespace ketra::vesktools::veskrecv {

struct Options {
  std::string address;                                                     // "address": VESK source IP address
  int port = 0;                                                            // "port"
  std::string netif;                                                       // "netif": interface for multicast
  int width = 0;                                                           // "width"
  int height = 0;                                                          // "height"
  unsigned int samples = 0;                                                // "samples": number of samples to receive
  ketra::fnd::datatype::DataType data_type = ketra::fnd::datatype::Int16;  // resolved "data_type"
  std::string data_type_text = "Int16";                                    // "data_type" as given
  bool stats = false;                                                      // "stats": counters after the report
};

}  // namespace ketra::vesktools::veskrecv
