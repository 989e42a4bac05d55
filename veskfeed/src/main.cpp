// veskfeed: streams the images of a FITS cube as VESK samples over UDP.

#include <fmt/format.h>
#include <log4cplus/initializer.h>
#include <log4cplus/loggingmacros.h>
#include <cmath>
#include <cstdint>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesktools_cli/HostAddress.hpp>
#include <vesktools_cli/OptionChecks.hpp>
#include <vesktools_cli/Startup.hpp>

#include "Options.hpp"
#include "Run.hpp"

namespace po = boost::program_options;
namespace cli = ketra::vesktools::cli;
using ketra::vesktools::veskfeed::Options;

namespace {

po::options_description MakeDescription() {
  po::options_description description("Options");
  description.add_options()                                                              //
      ("help,h", cli::kHelpText)                                                         //
      ("sim-im,i", po::value<std::string>()->required(), "simulation FITS file to use")  //
      ("frequency,q", po::value<double>()->default_value(-1),
       "frequency to apply sending the images (-1 = max frequency)")                                                 //
      ("iterations,n", po::value<std::int64_t>()->default_value(-1), "number of images to publish (-1 = infinite)")  //
      ("src-ip,s", po::value<std::string>()->default_value("127.0.0.1"), "source IP address or host name")           //
      ("dest-ip,d", po::value<std::string>()->default_value(""),
       "destination IP address or host name (network interface)")                                       //
      ("dest-port,p", po::value<int>()->required(), "UDP port")                                         //
      ("mtu-size,m", po::value<std::uint16_t>()->default_value(1500), "MTU size (1500 or 9000 bytes)")  //
      ("ext_info_size,x", po::value<std::uint16_t>()->default_value(8), "extended info size, 0 or 8")   //
      ("topic-id,t", po::value<int>()->default_value(10), "VESK Topic ID")                              //
      ("component-id,c", po::value<std::uint16_t>()->default_value(12345), "VESK Component ID")         //
      ("progress", po::value<double>()->default_value(0),
       "print the samples sent and the rates to standard error every SECONDS (0 = never)")  //
      ("log-prop-file,f", po::value<std::string>(), cli::kLogPropFileText)                  //
      ("log-level,l", po::value<std::string>()->default_value("ERROR"), cli::kLogLevelText);
  return description;
}

// A rate of samples per second must be positive; -1 asks for the maximum.
void CheckFrequency(const po::variables_map& variables, const po::options_description&) {
  const double frequency = variables["frequency"].as<double>();
  if (frequency != -1 && !(frequency > 0)) {
    throw cli::UsageError(fmt::format(
        "Invalid frequency: {} (give a number of samples per second above 0, or -1 for the maximum rate)", frequency));
  }
}

// The source and destination addresses, host names resolved once at start.
struct Addresses {
  std::string src_ip;
  std::string dest_ip;
};

Addresses ResolveAddresses(const po::variables_map& variables) {
  Addresses addresses;
  addresses.src_ip = cli::ResolveIpv4Host(variables["src-ip"].as<std::string>(), "src-ip");
  // No destination is allowed: the sender then sends to 0.0.0.0.
  const auto& dest_ip = variables["dest-ip"].as<std::string>();
  addresses.dest_ip = dest_ip.empty() ? dest_ip : cli::ResolveIpv4Host(dest_ip, "dest-ip");
  return addresses;
}

Options ReadOptions(const po::variables_map& variables, const Addresses& addresses) {
  Options options;
  options.sim_im = variables["sim-im"].as<std::string>();
  options.frequency = variables["frequency"].as<double>();
  options.iterations = variables["iterations"].as<std::int64_t>();
  options.src_ip = addresses.src_ip;
  options.dest_ip = addresses.dest_ip;
  options.dest_port = variables["dest-port"].as<int>();
  options.mtu_size = variables["mtu-size"].as<std::uint16_t>();
  options.ext_info_size = variables["ext_info_size"].as<std::uint16_t>();
  options.topic_id = variables["topic-id"].as<int>();
  options.component_id = variables["component-id"].as<std::uint16_t>();
  options.progress_seconds = variables["progress"].as<double>();
  return options;
}

}  // namespace

int main(int argc, char* argv[]) {
  const log4cplus::Initializer log_initializer;
  const po::options_description description = MakeDescription();

  cli::ToolSettings settings;
  settings.initial_level = cli::InitialLevel::kToolInfo;
  Addresses addresses;
  settings.check = [&addresses](const po::variables_map& variables, const po::options_description& options) {
    CheckFrequency(variables, options);
    cli::CheckRange<int>(variables, "dest-port", 1, 65535);
    cli::CheckRange<double>(variables, "progress", 0, 86400);
    cli::CheckRange<std::uint16_t>(variables, "mtu-size", 97, 65535);
    addresses = ResolveAddresses(variables);
  };
  settings.check_at = cli::CheckPoint::kBeforeLogLevel;
  settings.configure_from_file = cli::ConfigureWithPropertyConfigurator;
  settings.cmd_opt_level = log4cplus::DEBUG_LOG_LEVEL;

  cli::StartupOutcome startup = cli::RunStartup(argc, argv, description, settings);
  if (startup.exit_status) {
    return *startup.exit_status;
  }
  const Options options = ReadOptions(startup.variables, addresses);
  startup.variables.clear();

  log4cplus::Logger logger = ketra::vesktools::vesklib_korvel::Logger();
  try {
    return ketra::vesktools::veskfeed::Run(options);
  } catch (const std::exception& error) {
    LOG4CPLUS_ERROR(logger, "Application Exception: " << error.what());
    return 1;
  }
}
