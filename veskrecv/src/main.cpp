// veskrecv: receives one VESK stream and reports the samples that arrive.

#include <log4cplus/initializer.h>
#include <log4cplus/loggingmacros.h>
#include <boost/exception/diagnostic_information.hpp>
#include <orsa/OrsaLogManager.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesktools_cli/OptionChecks.hpp>
#include <vesktools_cli/Startup.hpp>

#include "options.hpp"
#include "run.hpp"

namespace po = boost::program_options;
namespace cli = ketra::vesktools::cli;
using ketra::vesktools::veskrecv::Options;

namespace {

po::options_description MakeDescription() {
  po::options_description description("Options");
  description.add_options()                                                                          //
      ("help,h", cli::kHelpText)                                                                     //
      ("address,a", po::value<std::string>()->default_value("127.0.0.1"), "VESK source IP address")  //
      ("port,p", po::value<int>()->required(), "VESK UDP port")                                      //
      ("netif,n", po::value<std::string>()->default_value(""),
       "network interface to be used (in case of multicast address)")                       //
      ("width,w", po::value<int>()->required(), "image width")                              //
      ("height,e", po::value<int>()->required(), "image height")                            //
      ("samples,s", po::value<unsigned int>()->required(), "number of samples to receive")  //
      ("log-prop-file,f", po::value<std::string>(), cli::kLogPropFileText)                  //
      ("data_type,t", po::value<std::string>()->default_value("Int16"),
       "Image data type: Byte, Int16, UInt16, Int32, Uint32, Float, Double")                 //
      ("log-level,l", po::value<std::string>()->default_value("ERROR"), cli::kLogLevelText)  //
      ("stats", po::bool_switch(), "print the receive counters after the report, one line per non-zero counter");
  return description;
}

Options ReadOptions(const po::variables_map& variables) {
  Options options;
  options.address = variables["address"].as<std::string>();
  options.port = variables["port"].as<int>();
  options.netif = variables["netif"].as<std::string>();
  options.width = variables["width"].as<int>();
  options.height = variables["height"].as<int>();
  options.samples = variables["samples"].as<unsigned int>();
  options.data_type_text = variables["data_type"].as<std::string>();
  options.data_type = ketra::fnd::datatype::GetDataType(options.data_type_text, true);
  options.stats = variables["stats"].as<bool>();
  return options;
}

}  // namespace

int main(int argc, char* argv[]) {
  const log4cplus::Initializer log_initializer;
  const po::options_description description = MakeDescription();

  cli::ToolSettings settings;
  settings.initial_level = cli::InitialLevel::kRootOff;
  settings.check = [data_type_check = cli::DataTypeCheck("data_type")](const po::variables_map& variables,
                                                                       const po::options_description& options) {
    data_type_check(variables, options);
    cli::CheckRange<int>(variables, "port", 0, 65535);
    cli::CheckRange<int>(variables, "width", 1, 1 << 20);
    cli::CheckRange<int>(variables, "height", 1, 1 << 20);
    cli::CheckIpv4(variables, "address", false);
  };
  settings.check_at = cli::CheckPoint::kBeforeLogLevel;
  settings.configure_from_file = orsa::OrsaLogManager::Configure;
  settings.cmd_opt_level = log4cplus::DEBUG_LOG_LEVEL;

  cli::StartupOutcome startup = cli::RunStartup(argc, argv, description, settings);
  if (startup.exit_status) {
    return *startup.exit_status;
  }
  const Options options = ReadOptions(startup.variables);
  startup.variables.clear();

  log4cplus::Logger logger = ketra::vesktools::vesklib_korvel::Logger();
  try {
    return ketra::vesktools::veskrecv::Run(options);
  } catch (...) {
    LOG4CPLUS_ERROR(logger, "Application Exception: " << boost::current_exception_diagnostic_information());
    return 1;
  }
}
