// The options shared by the receiving programs.

#include <vesktools_cli/OptionChecks.hpp>
#include <vesktools_cli/ReceiveOptions.hpp>

namespace po = boost::program_options;

namespace ketra::vesktools::cli {

void AddReceiveOptions(po::options_description& description, std::uint64_t socket_buffer) {
  description.add_options()  //
      ("progress", po::value<double>()->default_value(0),
       "print a rate line (frames/s, MB/s, lost and given-up samples) to standard error every arg seconds (0 = "
       "never)")  //
      ("socket-buffer", po::value<std::uint64_t>()->default_value(socket_buffer),
       "UDP receive buffer size in bytes (0 = system default)");
}

void CheckReceiveOptions(const po::variables_map& variables) {
  if (variables.count("progress") != 0) {
    const double seconds = variables["progress"].as<double>();
    if (seconds != 0 && !(seconds >= kMinProgressInterval && seconds <= 86400.0)) {
      throw UsageError(
          fmt::format("Invalid progress: {} (give 0 for no rate lines or a number of seconds from {} to {})", seconds,
                      kMinProgressInterval, 86400));
    }
  }
  CheckRange<std::uint64_t>(variables, "socket-buffer", 0, kMaxSocketBuffer);
}

}  // namespace ketra::vesktools::cli
