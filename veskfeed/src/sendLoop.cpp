// veskfeed's paced send loop.

#include "sendLoop.hpp"

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/SampleExtInfo.hpp>

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <exception>
#include <iostream>
#include <stdexcept>

namespace ketra::vesktools::veskfeed {

namespace {

using Clock = std::chrono::steady_clock;

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

// Sleeps for `duration`, resuming after signals with the time left.
void Pause(std::chrono::nanoseconds duration) {
  timespec request{};
  request.tv_sec = static_cast<std::time_t>(duration.count() / 1000000000);
  request.tv_nsec = static_cast<long>(duration.count() % 1000000000);
  timespec left{};
  while (nanosleep(&request, &left) != 0 && errno == EINTR) {
    request = left;
  }
}

// The period of `frequency` samples per second on the clock. A period the
// clock cannot count (1e-12 per second is 1e21 ns, beyond its 64 bits)
// becomes the longest it can, instead of wrapping round to no pause.
Clock::duration PeriodOf(double frequency) {
  const std::chrono::duration<double, Clock::period> period(1.0 / frequency / Clock::period::num * Clock::period::den);
  // Below 2^63 ticks with room for the rounding of the conversion.
  const double longest = static_cast<double>(Clock::duration::max().count()) / 2;
  if (!(period.count() < longest)) {
    return Clock::duration::max();
  }
  return std::chrono::duration_cast<Clock::duration>(period);
}

// Samples start at fixed deadlines start + n x period, so that the time each
// sample takes does not add up into drift. When a sample overran its slot,
// the next one starts at once and the schedule restarts from then (no burst
// of catch-up samples).
class Pacer {
 public:
  explicit Pacer(double frequency)
      : m_enabled(frequency != kMaxFrequency),
        m_period(m_enabled ? PeriodOf(frequency) : Clock::duration::zero()),
        m_deadline(Clock::now()) {}

  void WaitForNextSlot() {
    if (!m_enabled) {
      return;
    }
    // The deadline stops at the end of the clock rather than wrapping round.
    m_deadline = m_deadline < Clock::time_point::max() - m_period ? m_deadline + m_period : Clock::time_point::max();
    const Clock::time_point now = Clock::now();
    if (m_deadline > now) {
      Pause(m_deadline - now);
    } else {
      m_deadline = now;
    }
  }

 private:
  bool m_enabled;
  Clock::duration m_period;
  Clock::time_point m_deadline;
};

}  // namespace

SendOutcome SendLoop(vesklib_korvel::VeskSender* sender, std::vector<unsigned char> data, double frequency,
                     std::int64_t iterations) {
  SendOutcome outcome;
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

    Pacer pacer(frequency);
    if (iterations > 0 || iterations == -1) {
      for (std::int64_t i = 0; iterations == -1 || i < iterations; ++i) {
        fmt::print(">>>>> Send Loop running: {}\n", i);
        ext_info.SetTimestamp(WallClockSecs());
        const std::vector<unsigned char>& frame = frames[static_cast<std::size_t>(i) % frames.size()];
        std::cout << "buffer size is: " << frame.size() << std::endl;
        sender->SendSample(ext_info, frame);
        ++outcome.samples_sent;
        pacer.WaitForNextSlot();
      }
    }
  } catch (const std::exception& error) {
    LOG4CPLUS_ERROR(vesklib_korvel::Logger(), error.what());
    outcome.failed = true;
  }
  return outcome;
}

}  // namespace ketra::vesktools::veskfeed
