// The work of veskfeed: load the cube, create the sender, stream on a thread.

#include "run.hpp"

#include "sendLoop.hpp"

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/FitsImageCube.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>

#include <memory>
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

}  // namespace

int Run(const Options& options) {
  log4cplus::Logger logger = vesklib_korvel::Logger();

  vesklib_korvel::FitsImageCube cube = vesklib_korvel::LoadFitsImageCube(options.sim_im.c_str());
  const DataType data_type = DataTypeForCube(cube);
  const int pixels_per_sample = cube.width * cube.height;
  LOG4CPLUS_INFO(logger, fmt::format("The image size is (pixels): {}", pixels_per_sample));
  LOG4CPLUS_INFO(logger, "Starting application...");

  vesklib_korvel::SenderConfig config;
  config.mtu_size = options.mtu_size;
  config.topic_id = options.topic_id;
  config.component_id = options.component_id;
  config.protocol_option = 0;
  config.ext_info_size = options.ext_info_size;
  auto sender = std::make_unique<vesklib_korvel::VeskSender>(options.src_ip, options.dest_ip, options.dest_port,
                                                             data_type, pixels_per_sample, config);
  LOG4CPLUS_INFO(logger, fmt::format("image data size is {}", cube.data.size()));

  std::thread send_thread(SendLoop, sender.get(), cube.data, options.frequency, options.iterations);
  send_thread.join();

  sender.reset();
  return 0;
}

}  // namespace ketra::vesktools::veskfeed
