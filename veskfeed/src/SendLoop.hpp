#pragma once
// The body of veskfeed's send thread.

#include "SendRate.hpp"

#include <vesklib_korvel/VeskSender.hpp>

#include <cstdint>
#include <vector>

namespace ketra::vesktools::veskfeed {

// How a send loop ended: the samples and pixel bytes it sent, the seconds
// from the start of the first sample to the end of the loop (the pause after
// the last sample included, so that a paced loop that kept up shows the
// requested rate), and whether an error (logged at ERROR) ended it early.
struct SendOutcome {
  std::int64_t samples_sent = 0;
  std::int64_t bytes_sent = 0;
  double seconds = 0;
  bool failed = false;
};

// Cuts `data` into frames of (bytes per pixel x pixels per sample) bytes and
// sends frame i modulo the frame count as sample i, `iterations` times (-1:
// for ever; 0 or below: none), starting samples 1/`frequency` seconds apart
// (-1: no pause; a period too long for the clock becomes the longest it
// counts, 2^63 ns or about 292 years). Every exception is logged at ERROR and ends the loop as failed; the
// samples sent before it stay counted. `counters` follow every sample sent.
SendOutcome SendLoop(vesklib_korvel::VeskSender* sender, std::vector<unsigned char> data, double frequency,
                     std::int64_t iterations, SendCounters& counters);

}  // namespace ketra::vesktools::veskfeed
