// The work of veskfeed: load the cube, create the sender, stream on a thread.

#include "Run.hpp"

#include "SendLoop.hpp"
#include "SendRate.hpp"

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/FitsImageCube.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace ketra::vesktools::veskfeed {

namespace {

using ketra::fnd::datatype::DataType;
namespace dt = ketra::fnd::datatype;

// Pixel type of a cube by its BITPIX.
DataType DataTypeForBitpix(int bitpix) {
  switch (bitpix) {
    case 8:
      return dt::Byte;
    case 16:
      return dt::Int16;
    case 32:
      return dt::Int32;
    case 64:
      return dt::Int64;
    case -32:
      return dt::Float;
    case -64:
      return dt::Double;
    default:
      return dt::Invalid;
  }
}

// The loader names the type it delivered; it differs from the BITPIX table
// only for unsigned and scaled cubes (UInt16, UInt32, UInt64, Char, or a
// floating type for scaled integers).
DataType DataTypeForCube(const vesklib_korvel::FitsImageCube& cube) {
  return cube.data_type != dt::Invalid ? cube.data_type : DataTypeForBitpix(cube.bitpix);
}

// Pixels per image, refused when the cube holds none (nothing could be
// sent) or when the sender cannot count them.
int PixelsPerImage(const vesklib_korvel::FitsImageCube& cube, const std::string& path) {
  if (cube.depth == 0) {
    throw std::runtime_error(fmt::format("Nothing to send: the cube {} holds no images ({} x {} x 0 pixels)", path,
                                         cube.width, cube.height));
  }
  const std::int64_t pixels = std::int64_t{cube.width} * cube.height;
  if (pixels == 0) {
    throw std::runtime_error(
        fmt::format("Nothing to send: the images of the cube {} hold no pixels ({} x {} x {} pixels)", path, cube.width,
                    cube.height, cube.depth));
  }
  if (pixels > std::numeric_limits<int>::max()) {
    throw std::runtime_error(fmt::format("Images of {} x {} pixels are too large to send (at most {} pixels each)",
                                         cube.width, cube.height, std::numeric_limits<int>::max()));
  }
  return static_cast<int>(pixels);
}

}  // namespace

int Run(const Options& options) {
  log4cplus::Logger logger = vesklib_korvel::Logger();

  vesklib_korvel::FitsImageCube cube = vesklib_korvel::LoadFitsImageCube(options.sim_im.c_str());
  const DataType data_type = DataTypeForCube(cube);
  const int pixels_per_sample = PixelsPerImage(cube, options.sim_im);
  LOG4CPLUS_INFO(logger,
                 fmt::format("The image size is (pixels): {} ({} x {})", pixels_per_sample, cube.width, cube.height));
  LOG4CPLUS_INFO(logger, "Starting application...");

  vesklib_korvel::SenderConfig config;
  config.mtu_size = options.mtu_size;
  config.topic_id = options.topic_id;
  config.component_id = options.component_id;
  config.protocol_option = 0;
  config.ext_info_size = options.ext_info_size;
  auto sender = std::make_unique<vesklib_korvel::VeskSender>(options.src_ip, options.dest_ip, options.dest_port,
                                                             data_type, pixels_per_sample, config);
  LOG4CPLUS_INFO(logger, fmt::format("image data size is {} bytes: {} images of {} bytes", cube.data.size(), cube.depth,
                                     cube.data.size() / static_cast<std::size_t>(cube.depth)));

  // The send thread takes the cube's bytes; they are not needed here again.
  SendOutcome outcome;
  SendCounters counters;
  {
    std::optional<ProgressPrinter> progress;
    if (options.progress_seconds > 0) {
      progress.emplace(counters, std::chrono::duration<double>(options.progress_seconds), std::cerr);
    }
    std::thread send_thread([&outcome, &sender, &options, &counters, data = std::move(cube.data)]() mutable {
      outcome = SendLoop(sender.get(), std::move(data), options.frequency, options.iterations, counters);
    });
    send_thread.join();
  }
  LOG4CPLUS_INFO(logger, fmt::format("{} sample(s) sent", outcome.samples_sent));
  // The summary is the run's result: on standard output whatever the log
  // level. A rate that was asked for and not reached is a result as well: it
  // goes to standard error, where a user sees it at the default log level
  // without it mixing into standard output, and to the log at WARN.
  std::cout << SummaryLine(outcome.samples_sent, outcome.bytes_sent, outcome.seconds) << std::endl;
  if (!outcome.failed) {
    if (const auto shortfall = RateShortfall(options.frequency, outcome.samples_sent, outcome.seconds)) {
      std::cerr << "WARN: " << *shortfall << std::endl;
      LOG4CPLUS_WARN(logger, *shortfall);
    }
  }

  sender.reset();
  // A loop ended by an error fails the program, whatever it sent before.
  return outcome.failed ? 1 : 0;
}

}  // namespace ketra::vesktools::veskfeed
