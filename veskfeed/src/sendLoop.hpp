#pragma once
// The body of veskfeed's send thread.

#include <vesklib_korvel/VeskSender.hpp>

#include <cstdint>
#include <vector>

namespace ketra::vesktools::veskfeed {

// Cuts `data` into frames of (bytes per pixel x pixels per sample) bytes and
// sends frame i modulo the frame count as sample i, `iterations` times (-1:
// for ever; 0 or below: none), starting samples 1/`frequency` seconds apart
// (-1: no pause). Every exception is logged at ERROR and ends the loop.
void SendLoop(vesklib_korvel::VeskSender* sender, std::vector<unsigned char> data, double frequency,
              std::int64_t iterations);

}  // namespace ketra::vesktools::veskfeed
