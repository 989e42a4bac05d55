#pragma once
// Values of veskfeed's command line, filled by main after start-up.

#include <cstdint>
#include <string>

namespace ketra::vesktools::veskfeed {

struct Options {
  std::string sim_im;                  // "sim-im": FITS cube to stream
  double frequency = -1;               // "frequency": samples per second, -1 = as fast as possible
  std::int64_t iterations = -1;        // "iterations": samples to send, -1 = endless
  std::string src_ip;                  // "src-ip"
  std::string dest_ip;                 // "dest-ip"
  int dest_port = 0;                   // "dest-port"
  std::uint16_t mtu_size = 1500;       // "mtu-size"
  std::uint16_t ext_info_size = 8;     // "ext_info_size"
  int topic_id = 10;                   // "topic-id"
  std::uint16_t component_id = 12345;  // "component-id"
  double progress_seconds = 0;         // "progress": seconds between progress lines, 0 = none
};

}  // namespace ketra::vesktools::veskfeed
