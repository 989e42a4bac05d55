// vesk2vidragw: republishes one VESK stream on a VIDRA image stream.

#include <log4cplus/initializer.h>
#include <log4cplus/loggingmacros.h>
#include <boost/exception/diagnostic_information.hpp>
#include <orsa/OrsaLogManager.hpp>
#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/RedisConnection.hpp>
#include <vesk2vidra/Vesk2VidraGateway.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesktools_cli/HostAddress.hpp>
#include <vesktools_cli/OptionChecks.hpp>
#include <vesktools_cli/ReceiveOptions.hpp>
#include <vesktools_cli/Startup.hpp>
#include <vesktools_cli/StopSignals.hpp>

#include <iostream>

#include "Options.hpp"
#include "Run.hpp"

namespace po = boost::program_options;
namespace cli = ketra::vesktools::cli;
using ketra::vesktools::vesk2vidragw::Options;

namespace {

po::options_description MakeDescription() {
  po::options_description description("Options");
  description.add_options()       //
      ("help,h", cli::kHelpText)  //
      ("receiver ip,r", po::value<std::string>()->default_value("127.0.0.1"),
       "VESK source IP address or host name (unicast or multicast)")  //
      ("interface,a", po::value<std::string>()->default_value("127.0.0.1"),
       "VESK interface (interface for multicasting)")                                                  //
      ("port,p", po::value<int>()->required(), "VESK UDP port")                                        //
      ("vidra-stream,s", po::value<std::string>()->default_value("vesk_stream"), "VIDRA stream name")  //
      ("vidra-interval,i", po::value<double>()->default_value(1.0), "VIDRA publishing interval in s")  //
      ("broker-uri,k", po::value<std::string>()->required(), "Broker URI")                             //
      ("log-prop-file,f", po::value<std::string>(), cli::kLogPropFileText)                             //
      ("data-type,t", po::value<std::string>()->default_value("Int16"),
       "Image data type: Byte, Int16, UInt16, Int32,Uint32, Float, Double")                              //
      ("width,w", po::value<int>()->required(), "image width")                                           //
      ("height,e", po::value<int>()->required(), "image weight")                                         //
      ("mtu-size,m", po::value<unsigned short>()->default_value(1500), "MTU size (1500 or 9000 bytes)")  //
      ("ext_info_size,x", po::value<unsigned short>()->default_value(8), "extended info size in bytes")  //
      ("log-level,l", po::value<std::string>()->default_value("ERROR"), cli::kLogLevelText);
  cli::AddReceiveOptions(description, ketra::vesktools::vesk2vidra::Vesk2VidraGateway::kSocketBufferSize);
  return description;
}

// `receiver_ip` is the "receiver ip" option already resolved by the start-up check.
Options ReadOptions(const po::variables_map& variables, const std::string& receiver_ip) {
  Options options;
  options.receiver_ip = receiver_ip;
  options.interface = variables["interface"].as<std::string>();
  options.port = variables["port"].as<int>();
  options.vidra_stream = variables["vidra-stream"].as<std::string>();
  options.vidra_interval = variables["vidra-interval"].as<double>();
  options.broker_uri = variables["broker-uri"].as<std::string>();
  if (variables.count("log-prop-file") != 0) {
    options.log_prop_file = variables["log-prop-file"].as<std::string>();
  }
  options.data_type = ketra::fnd::datatype::GetDataType(variables["data-type"].as<std::string>(), true);
  options.width = variables["width"].as<int>();
  options.height = variables["height"].as<int>();
  options.mtu_size = variables["mtu-size"].as<unsigned short>();
  options.ext_info_size = variables["ext_info_size"].as<unsigned short>();
  options.log_level = variables["log-level"].as<std::string>();
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

  std::string receiver_ip;  // "receiver ip", resolved once by the check
  cli::ToolSettings settings;
  settings.initial_level = cli::InitialLevel::kToolError;
  settings.check = [&receiver_ip, data_type_check = cli::DataTypeCheck("data-type")](
                       const po::variables_map& variables, const po::options_description& options) {
    data_type_check(variables, options);
    cli::CheckRange<int>(variables, "port", 1, 65535);
    cli::CheckRange<int>(variables, "width", 1, 1 << 20);
    cli::CheckRange<int>(variables, "height", 1, 1 << 20);
    cli::CheckRange<unsigned short>(variables, "mtu-size", 97, 65535);
    cli::CheckOneOf<unsigned short>(variables, "ext_info_size", {0, 8});
    cli::CheckRange<double>(variables, "vidra-interval", 0.0, 86400.0);
    cli::CheckReceiveOptions(variables);
    cli::CheckInterface(variables, "interface", true);
    const std::string broker_uri = variables["broker-uri"].as<std::string>();
    ketra::vesktools::vesk2vidra::BrokerAddress broker;
    try {
      broker = ketra::vesktools::vesk2vidra::ParseBrokerUri(broker_uri);
    } catch (const std::invalid_argument& error) {
      throw cli::UsageError(fmt::format("Invalid broker-uri: {}", error.what()));
    }
    receiver_ip = cli::ResolveIpv4Host(variables["receiver ip"].as<std::string>(), "receiver ip");
    // The broker's name is looked up again at each connection, so that a
    // broker that moves is found; a name that does not resolve at all is a
    // mistake to report now.
    cli::CheckHostResolves(broker.host, "broker-uri " + broker.masked_uri);
  };
  settings.check_at = cli::CheckPoint::kAfterLogSettings;
  settings.configure_from_file = orsa::OrsaLogManager::Configure;
  settings.cmd_opt_level = log4cplus::INFO_LOG_LEVEL;
  settings.unknown_exception_prefix = "Error during VESK reception: ";

  cli::StartupOutcome startup = cli::RunStartup(argc, argv, description, settings);
  if (startup.exit_status) {
    return *startup.exit_status;
  }
  const Options options = ReadOptions(startup.variables, receiver_ip);
  startup.variables.clear();

  log4cplus::Logger logger = ketra::vesktools::vesklib_korvel::Logger();
  try {
    return ketra::vesktools::vesk2vidragw::Run(options);
  } catch (const ketra::vesktools::vesk2vidra::BrokerConnectionError& error) {
    LOG4CPLUS_ERROR(logger, "Application Exception: Error during VESK reception: "
                                << boost::current_exception_diagnostic_information());
    std::cerr << "ERROR: broker-uri " << ketra::vesktools::vesk2vidra::MaskBrokerUri(options.broker_uri)
              << " does not answer: " << error.what() << std::endl;
    return 1;
  } catch (...) {
    LOG4CPLUS_ERROR(logger, "Application Exception: Error during VESK reception: "
                                << boost::current_exception_diagnostic_information());
    return 1;
  }
}
