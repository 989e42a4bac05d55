// veskrecv: receives one VESK stream and reports the samples that arrive.

#include <log4cplus/initializer.h>
#include <log4cplus/loggingmacros.h>
#include <boost/exception/diagnostic_information.hpp>
#include <orsa/OrsaLogManager.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesktools_cli/HostAddress.hpp>
#include <vesktools_cli/OptionChecks.hpp>
#include <vesktools_cli/ReceiveOptions.hpp>
#include <vesktools_cli/Startup.hpp>
#include <vesktools_cli/StopSignals.hpp>

#include "Options.hpp"
#include "Run.hpp"

namespace po = boost::program_options;
namespace cli = ketra::vesktools::cli;
using ketra::vesktools::veskrecv::Options;

namespace {

po::options_description MakeDescription() {
  po::options_description description("Options");
  description.add_options()       //
      ("help,h", cli::kHelpText)  //
      ("address,a", po::value<std::string>()->default_value("127.0.0.1"),
       "VESK source IP address or host name")                    //
      ("port,p", po::value<int>()->required(), "VESK UDP port")  //
      ("netif,n", po::value<std::string>()->default_value(""),
       "network interface to be used (in case of multicast address)")                       //
      ("width,w", po::value<int>()->required(), "image width")                              //
      ("height,e", po::value<int>()->required(), "image height")                            //
      ("samples,s", po::value<unsigned int>()->required(), "number of samples to receive")  //
      ("log-prop-file,f", po::value<std::string>(), cli::kLogPropFileText)                  //
      ("data_type,t", po::value<std::string>()->default_value("Int16"),
       "Image data type: Byte, Int16, UInt16, Int32, Uint32, Float, Double")                                          //
      ("log-level,l", po::value<std::string>()->default_value("ERROR"), cli::kLogLevelText)                           //
      ("stats", po::bool_switch(), "print the receive counters after the report, one line per non-zero counter")      //
      ("mtu-size,m", po::value<std::uint16_t>()->default_value(Options{}.mtu_size), "MTU size (1500 or 9000 bytes)")  //
      ("ext_info_size,x", po::value<std::uint16_t>()->default_value(Options{}.ext_info_size),
       "extended info size in bytes, 0 or 8");
  cli::AddReceiveOptions(description, Options{}.socket_buffer);
  return description;
}

// `address` is the "address" option already resolved by the start-up check.
Options ReadOptions(const po::variables_map& variables, const std::string& address) {
  Options options;
  options.address = address;
  options.port = variables["port"].as<int>();
  options.netif = variables["netif"].as<std::string>();
  options.width = variables["width"].as<int>();
  options.height = variables["height"].as<int>();
  options.samples = variables["samples"].as<unsigned int>();
  options.data_type_text = variables["data_type"].as<std::string>();
  options.data_type = ketra::fnd::datatype::GetDataType(options.data_type_text, true);
  options.stats = variables["stats"].as<bool>();
  options.mtu_size = variables["mtu-size"].as<std::uint16_t>();
  options.ext_info_size = variables["ext_info_size"].as<std::uint16_t>();
  options.socket_buffer = variables["socket-buffer"].as<std::uint64_t>();
  options.progress = variables["progress"].as<double>();
  return options;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Before any thread starts (log4cplus may start some), so that all of them
  // leave SIGINT and SIGTERM to the run's stop signal watch.
  cli::BlockStopSignals();
  const log4cplus::Initializer log_initializer;
  const po::options_description description = MakeDescription();

  std::string address;  // "address", resolved once by the check
  cli::ToolSettings settings;
  settings.initial_level = cli::InitialLevel::kRootOff;
  settings.check = [&address, data_type_check = cli::DataTypeCheck("data_type")](
                       const po::variables_map& variables, const po::options_description& options) {
    data_type_check(variables, options);
    cli::CheckRange<int>(variables, "port", 0, 65535);
    cli::CheckRange<int>(variables, "width", 1, 1 << 20);
    cli::CheckRange<int>(variables, "height", 1, 1 << 20);
    cli::CheckRange<std::uint16_t>(variables, "mtu-size", 97, 65535);
    cli::CheckOneOf<std::uint16_t>(variables, "ext_info_size", {0, 8});
    cli::CheckReceiveOptions(variables);
    address = cli::ResolveIpv4Host(variables["address"].as<std::string>(), "address");
  };
  settings.check_at = cli::CheckPoint::kBeforeLogLevel;
  settings.configure_from_file = orsa::OrsaLogManager::Configure;
  settings.cmd_opt_level = log4cplus::DEBUG_LOG_LEVEL;

  cli::StartupOutcome startup = cli::RunStartup(argc, argv, description, settings);
  if (startup.exit_status) {
    return *startup.exit_status;
  }
  const Options options = ReadOptions(startup.variables, address);
  startup.variables.clear();

  log4cplus::Logger logger = ketra::vesktools::vesklib_korvel::Logger();
  try {
    return ketra::vesktools::veskrecv::Run(options);
  } catch (...) {
    LOG4CPLUS_ERROR(logger, "Application Exception: " << boost::current_exception_diagnostic_information());
    return 1;
  }
}
