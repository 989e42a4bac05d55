#pragma once
// Start-up common to the three programs: logging set-up, command line, log
// level and log configuration, with their messages and exit statuses.

#include <log4cplus/loglevel.h>
#include <boost/program_options.hpp>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace ketra::vesktools::cli {

// Help texts of the options every program has.
inline constexpr const char* kHelpText = "Print help messages";
inline constexpr const char* kVersionText = "Print the program's name and version";
inline constexpr const char* kLogPropFileText = "Log property filename";
inline constexpr const char* kLogLevelText = "Log level: ERROR, INFO, DEBUG, TRACE";

// Level set before the command line is read.
enum class InitialLevel {
  kToolInfo,   // the tool logger ("vesklib") at INFO
  kRootOff,    // the log4cplus root logger OFF, the tool logger untouched
  kToolError,  // the tool logger at ERROR
};

// When the program's own check of option values runs.
enum class CheckPoint {
  kBeforeLogLevel,    // right after the required options are enforced
  kAfterLogSettings,  // after the log configuration and the final log level
};

// A refusal of an option value that is reported as one "ERROR: " line on
// standard error (exit status 1), without the options description.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ToolSettings {
  InitialLevel initial_level = InitialLevel::kToolError;
  // The program's own check of the option values; may be empty. It may
  // write to standard output and throw (any std::exception is a start-up
  // failure; a UsageError gives one line on standard error).
  std::function<void(const boost::program_options::variables_map&, const boost::program_options::options_description&)>
      check;
  CheckPoint check_at = CheckPoint::kBeforeLogLevel;
  // Configures log4cplus from the file named by "log-prop-file".
  std::function<void(const std::string&)> configure_from_file;
  // Level of the "CmdOpt - Log property file: <...>" line.
  log4cplus::LogLevel cmd_opt_level = log4cplus::DEBUG_LOG_LEVEL;
  // Put before the diagnostic text of an exception that is not a
  // std::exception ("ERROR: " + prefix + diagnostic).
  std::string unknown_exception_prefix;
};

struct StartupOutcome {
  // Set when the program ends now with this status (after help or a failure).
  std::optional<int> exit_status;
  // The parsed options, when the program goes on with its work.
  boost::program_options::variables_map variables;
};

// Runs the common start-up on the program's arguments with the program's
// options description (the common options included, captioned "Options").
// The start-up adds "--version" after "help": it prints
// "<program> (vesktools) <version>" (the program named by argv[0]) and ends
// with status 0 before required options are enforced, like help.
// log4cplus must be initialised by the caller (a log4cplus::Initializer in
// main) before the call.
StartupOutcome RunStartup(int argc, const char* const* argv,
                          const boost::program_options::options_description& description, const ToolSettings& settings);

// log4cplus's default hierarchy set up from a property file by
// log4cplus::PropertyConfigurator.
void ConfigureWithPropertyConfigurator(const std::string& file);

}  // namespace ketra::vesktools::cli

namespace ketra::vesktools::cli {

// Check of a data type option: a name that GetDataType resolves to Invalid
// writes the options description to standard output and fails with
// "Invalid data_type: <text>".
std::function<void(const boost::program_options::variables_map&, const boost::program_options::options_description&)>
DataTypeCheck(std::string option_name);

}  // namespace ketra::vesktools::cli
