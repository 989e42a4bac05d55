// The work of veskrecv: receive the wanted number of samples on one thread,
// printing each sample id, until they are there or SIGINT or SIGTERM asks to
// stop, then print the report.

#include "Run.hpp"

#include "VeskReceiverTool.hpp"

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesktools_cli/ReceiveProgress.hpp>
#include <vesktools_cli/RunEnd.hpp>
#include <vesktools_cli/StopSignals.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace ketra::vesktools::veskrecv {

namespace {

vesklib_korvel::ReceiverConfig MakeConfig(const Options& options) {
  vesklib_korvel::ReceiverConfig config;
  config.socket_buffer_size = options.socket_buffer;
  config.topic_id = 10;
  config.mtu_size = options.mtu_size;
  config.image_width = options.width;
  config.image_height = options.height;
  config.ext_info_size = options.ext_info_size;
  config.packet_layer_option = 0;
  return config;
}

// Runs the receive loop on a thread of its own until the tool has counted the
// wanted samples or a SIGINT or SIGTERM asks to stop; with "progress", writes
// the rate lines meanwhile.
void Receive(korvel::VeskReceiverTool& tool, const Options& options) {
  const double wait_seconds = std::chrono::duration<double>(tool.GetSampleTimeout()).count();
  cli::RunEnd run_end;
  const cli::StopSignalWatch watch([&run_end, wait_seconds](int signal) {
    // The loop ends at once when it waits for a sample, otherwise once the
    // sample it receives is complete or its time is up.
    cli::AnnounceStop("veskrecv", signal, wait_seconds, ", then the report");
    run_end.RequestStop();
  });
  std::optional<cli::ProgressReporter> progress;
  if (options.progress > 0) {
    progress.emplace(
        std::chrono::duration<double>(options.progress),
        [&tool] {
          return cli::ProgressCounts{tool.StatisticsSnapshot(), tool.GetReceivedBytes(), std::nullopt};
        },
        stderr);
  }
  std::thread receiving([&tool, &run_end] {
    tool.ReceiveLoop();
    run_end.LoopEnded();
  });
  // Ends the loop as StopReceiver does; RunEnd waits for it.
  run_end.Wait([] { vesklib_korvel::VeskReceiver::s_execute.store(false); });
  receiving.join();
  if (progress) {
    progress->Finish();
  }
}

}  // namespace

int Run(const Options& options) {
  LOG4CPLUS_INFO(vesklib_korvel::Logger(), "Starting application");
  fmt::print("VESK Receiver running...\n");
  const vesklib_korvel::ReceiverConfig config = MakeConfig(options);
  fmt::print(">>>>> par_address={}, par_port={}, par_data_type_enum={}, par_samples={}\n", options.address,
             options.port, static_cast<int>(options.data_type), options.samples);
  std::fflush(stdout);

  std::unique_ptr<korvel::VeskReceiverTool> tool;
  try {
    tool = std::make_unique<korvel::VeskReceiverTool>(options.address, options.netif, options.port, options.data_type,
                                                      config, options.samples);
  } catch (const std::invalid_argument& e) {
    // A receiver that could not receive anything: a start-up error.
    LOG4CPLUS_ERROR(vesklib_korvel::Logger(), "ERROR: " << e.what());
    return 1;
  }
  std::cout << std::unitbuf;

  // The tool ends reception itself once received + lost reaches the wanted
  // number; with none wanted there is nothing to wait for.
  if (options.samples > 0) {
    Receive(*tool, options);
  }

  fmt::print(
      "\nVESK Receiver execution report:\n{}\n",
      fmt::format("Received {} sample(s), lost {} sample(s)\n", tool->GetReceivedSamples(), tool->GetLostSamples()));
  if (const std::uint64_t beyond = tool->GetMissingBeyondWanted(); beyond > 0) {
    // The last id gap held more samples than were still wanted.
    fmt::print("{} more sample(s) missing beyond the {} wanted (an id gap), not counted above\n", beyond,
               options.samples);
  }
  if (options.stats) {
    for (const std::string& line : vesklib_korvel::NonZeroCounterLines(tool->StatisticsSnapshot())) {
      fmt::print("{}\n", line);
    }
  }
  // The report is what the run produces: one that did not reach standard
  // output (a full disk, a closed descriptor) fails the run.
  const bool flushed = std::fflush(stdout) == 0;
  const int flush_error = errno;
  if (!flushed || std::ferror(stdout) != 0) {
    throw std::system_error(flushed ? EIO : flush_error, std::generic_category(),
                            "Cannot write the report to standard output");
  }
  return 0;
}

}  // namespace ketra::vesktools::veskrecv
