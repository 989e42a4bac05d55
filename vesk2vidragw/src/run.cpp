// The work of vesk2vidragw: the gateway receiver and the VIDRA publisher,
// each on a thread of its own.

#include "run.hpp"

#include <log4cplus/loggingmacros.h>
#include <vesk2vidra/Vesk2VidraGateway.hpp>
#include <vesk2vidra/VidraSender.hpp>
#include <vesklib_korvel/Diagnostics.hpp>

#include <algorithm>
#include <climits>
#include <exception>
#include <thread>

namespace ketra::vesktools::vesk2vidragw {

namespace {

// The publisher takes whole seconds: truncation toward zero (2.9 gives 2),
// kept within the range of int.
int WholeSeconds(double interval) {
  return static_cast<int>(std::clamp(interval, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

}  // namespace

int Run(const Options& options) {
  LOG4CPLUS_INFO(vesklib_korvel::Logger(), "Starting application...");

  vesk2vidra::Vesk2VidraGateway gateway(options.receiver_ip, options.interface, options.port, options.data_type,
                                        options.width, options.height, options.broker_uri, options.vidra_stream,
                                        options.vidra_interval, options.mtu_size, options.ext_info_size,
                                        options.log_prop_file, options.log_level);
  vesk2vidra::VidraSender sender(options.width, options.height, options.data_type, options.broker_uri,
                                 options.vidra_stream, WholeSeconds(options.vidra_interval));

  // A failure of the publisher stops the receiver too and is reported after
  // both threads have ended.
  std::exception_ptr publish_failure;
  std::thread receive_thread([&gateway] { gateway.ReceiveLoop(); });
  std::thread publish_thread;
  try {
    publish_thread = std::thread([&] {
      try {
        sender.Run();
      } catch (...) {
        publish_failure = std::current_exception();
        gateway.StopReceiver();
      }
    });
  } catch (...) {
    gateway.StopReceiver();
    receive_thread.join();
    throw;
  }
  receive_thread.join();
  publish_thread.join();
  if (publish_failure) {
    std::rethrow_exception(publish_failure);
  }
  return 0;
}

}  // namespace ketra::vesktools::vesk2vidragw
