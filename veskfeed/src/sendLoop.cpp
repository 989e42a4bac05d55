// veskfeed's paced send loop.

#include "SendLoop.hpp"

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/SampleExtInfo.hpp>

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>
#include <ketra/fnd/time/Pacer.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <iostream>
#include <stdexcept>

namespace ketra::vesktools::veskfeed {

namespace {

constexpr double kMaxFrequency = -1.0;

double WallClockSecs() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count()) / 1e9;
}

// Frame k holds bytes [k x size, min((k + 1) x size, data size)); the last
// frame is short when the data does not divide evenly.
std::vector<std::vector<unsigned char>> CutFrames(const std::vector<unsigned char>& data, std::size_t frame_size) {
  std::vector<std::vector<unsigned char>> frames;
  frames.reserve((data.size() + frame_size - 1) / frame_size);
  for (std::size_t begin = 0; begin < data.size(); begin += frame_size) {
    const std::size_t end = std::min(begin + frame_size, data.size());
    frames.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(begin),
                        data.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return frames;
}

}  // namespace

SendOutcome SendLoop(vesklib_korvel::VeskSender* sender, std::vector<unsigned char> data, double frequency,
                     std::int64_t iterations, SendCounters& counters) {
  SendOutcome outcome;
  auto start = std::chrono::steady_clock::now();
  try {
    if (frequency != kMaxFrequency && !(frequency > 0)) {
      throw std::invalid_argument(fmt::format("Invalid frequency: {}", frequency));
    }
    vesklib_korvel::SampleExtInfo ext_info;
    const std::size_t frame_size = static_cast<std::size_t>(std::max(sender->GetBytesPerPixel(), 0)) *
                                   static_cast<std::size_t>(std::max(sender->GetPixelsPerSample(), 0));
    if (data.empty()) {
      throw std::invalid_argument("Nothing to send: no image data");
    }
    if (frame_size == 0) {
      throw std::invalid_argument(fmt::format(
          "Nothing to send: the sender's samples hold no pixel bytes ({} bytes of image data)", data.size()));
    }
    const std::vector<std::vector<unsigned char>> frames = CutFrames(data, frame_size);
    // The frames hold their own copies now.
    data.clear();
    data.shrink_to_fit();

    // Samples start a period apart: after each one, the pause takes what is
    // left of the period, and the next period counts from the end of it.
    const bool paced = frequency != kMaxFrequency;
    const auto period = paced ? ketra::fnd::Pacer::Seconds(1.0 / frequency) : ketra::fnd::Pacer::Clock::duration{};
    ketra::fnd::Pacer pacer;
    // The time counts from the first sample on, not from cutting the frames.
    start = std::chrono::steady_clock::now();
    if (iterations > 0 || iterations == -1) {
      for (std::int64_t i = 0; iterations == -1 || i < iterations; ++i) {
        fmt::print(">>>>> Send Loop running: {}\n", i);
        ext_info.SetTimestamp(WallClockSecs());
        const std::vector<unsigned char>& frame = frames[static_cast<std::size_t>(i) % frames.size()];
        std::cout << "buffer size is: " << frame.size() << std::endl;
        sender->SendSample(ext_info, frame);
        ++outcome.samples_sent;
        outcome.bytes_sent += static_cast<std::int64_t>(frame.size());
        counters.samples.store(outcome.samples_sent);
        counters.bytes.store(outcome.bytes_sent);
        if (paced) {
          pacer.PauseUntil(period);
          pacer.Restart();
        }
      }
    }
  } catch (const std::exception& error) {
    LOG4CPLUS_ERROR(vesklib_korvel::Logger(), error.what());
    outcome.failed = true;
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return outcome;
}

}  // namespace ketra::vesktools::veskfeed
