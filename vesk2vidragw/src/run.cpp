// The work of vesk2vidragw: the gateway receiver and the VIDRA publisher,
// each on a thread of its own, until SIGINT or SIGTERM asks to stop or the
// publisher fails.

#include "Run.hpp"

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>
#include <vesk2vidra/Vesk2VidraGateway.hpp>
#include <vesk2vidra/VidraSender.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesktools_cli/ReceiveProgress.hpp>
#include <vesktools_cli/RunEnd.hpp>
#include <vesktools_cli/StopSignals.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <thread>

namespace ketra::vesktools::vesk2vidragw {

namespace {

// The publisher takes whole seconds: truncation toward zero (2.9 gives 2),
// kept within the range of int.
int WholeSeconds(double interval) {
  return static_cast<int>(std::clamp(interval, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

// The counters of the run at its end: logged at INFO, or, when the log
// leaves INFO out (the default level), written to standard error, so that an
// operator who stops the gateway always sees what it did.
void ReportFinalStatistics(const vesk2vidra::Vesk2VidraGateway& gateway, const vesk2vidra::VidraSender& sender) {
  std::string counters;
  for (const std::string& line : vesklib_korvel::NonZeroCounterLines(gateway.StatisticsSnapshot())) {
    counters += (counters.empty() ? "" : ", ") + line;
  }
  const std::string text =
      fmt::format("Final statistics: published {} frame(s), {} replaced before publishing; receive statistics: {}",
                  sender.PublishedCount(), gateway.Exchange().FramesDropped(),
                  counters.empty() ? std::string("all zero") : counters);
  const log4cplus::Logger logger = vesklib_korvel::Logger();
  if (logger.isEnabledFor(log4cplus::INFO_LOG_LEVEL)) {
    LOG4CPLUS_INFO(logger, text);
  } else {
    fmt::print(stderr, "vesk2vidragw: {}\n", text);
    std::fflush(stderr);
  }
}

}  // namespace

int Run(const Options& options) {
  LOG4CPLUS_INFO(vesklib_korvel::Logger(), "Starting application...");

  vesk2vidra::Vesk2VidraGateway gateway(options.receiver_ip, options.interface, options.port, options.data_type,
                                        options.width, options.height, options.broker_uri, options.vidra_stream,
                                        options.vidra_interval, options.mtu_size, options.ext_info_size,
                                        options.log_prop_file, options.log_level, options.socket_buffer);
  vesk2vidra::VidraSender sender(options.width, options.height, options.data_type, options.broker_uri,
                                 options.vidra_stream, WholeSeconds(options.vidra_interval));

  const double wait_seconds = std::chrono::duration<double>(gateway.GetSampleTimeout()).count();
  cli::RunEnd run_end;
  const cli::StopSignalWatch watch([&run_end, wait_seconds](int signal) {
    LOG4CPLUS_INFO(vesklib_korvel::Logger(), cli::StopSignalName(signal) + " received: stopping");
    // The receive loop ends at once when it waits for a sample, otherwise once
    // the sample it receives is complete or its time is up.
    cli::AnnounceStop("vesk2vidragw", signal, wait_seconds);
    run_end.RequestStop();
  });
  std::optional<cli::ProgressReporter> progress;
  if (options.progress > 0) {
    progress.emplace(
        std::chrono::duration<double>(options.progress),
        [&gateway, &sender] {
          return cli::ProgressCounts{gateway.StatisticsSnapshot(), gateway.BytesReceived(), sender.PublishedCount()};
        },
        stderr);
  }

  // A failure of the publisher stops the receiver too and is reported after
  // both threads have ended.
  std::exception_ptr publish_failure;
  std::thread receive_thread([&gateway, &run_end] {
    gateway.ReceiveLoop();
    run_end.LoopEnded();
  });
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
  // On a stop, the publisher ends first: it starts no frame after it, and the
  // one being sent, if any, is sent whole. The receive loop ends as
  // StopReceiver ends it; RunEnd waits for it (the publish thread may be
  // waiting in StopReceiver already).
  run_end.Wait([&sender] {
    sender.Stop();
    vesklib_korvel::VeskReceiver::s_execute.store(false);
  });
  receive_thread.join();
  publish_thread.join();
  ReportFinalStatistics(gateway, sender);
  if (progress) {
    progress->Finish();
  }
  if (publish_failure) {
    std::rethrow_exception(publish_failure);
  }
  return 0;
}

}  // namespace ketra::vesktools::vesk2vidragw
