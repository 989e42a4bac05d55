// The common start-up sequence of the programs.

#include <fmt/format.h>
#include <log4cplus/configurator.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <boost/exception/diagnostic_information.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesktools/Version.hpp>
#include <vesktools_cli/Startup.hpp>

namespace po = boost::program_options;

namespace ketra::vesktools::cli {
namespace {

void SetInitialLevel(InitialLevel initial_level, log4cplus::Logger& tool_logger) {
  switch (initial_level) {
    case InitialLevel::kToolInfo:
      tool_logger.setLogLevel(log4cplus::INFO_LOG_LEVEL);
      break;
    case InitialLevel::kRootOff:
      log4cplus::Logger::getRoot().setLogLevel(log4cplus::OFF_LOG_LEVEL);
      break;
    case InitialLevel::kToolError:
      tool_logger.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
      break;
  }
}

// log4cplus's basic configuration (the root logger at DEBUG, one console
// appender on standard output) with the appender flushing after every
// event. Without that, standard output that is a file or a pipe holds the
// lines in its buffer for minutes and loses them when the program is killed.
// Each line carries the local time to the millisecond, the level and the
// kernel's id of the thread (as ps -L and top -H show it).
class FlushingBasicConfigurator : public log4cplus::BasicConfigurator {
 public:
  FlushingBasicConfigurator() : BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), false) {
    properties.setProperty(LOG4CPLUS_TEXT("appender.STDOUT.ImmediateFlush"), LOG4CPLUS_TEXT("true"));
    properties.setProperty(LOG4CPLUS_TEXT("appender.STDOUT.layout"), LOG4CPLUS_TEXT("log4cplus::PatternLayout"));
    properties.setProperty(LOG4CPLUS_TEXT("appender.STDOUT.layout.ConversionPattern"),
                           LOG4CPLUS_TEXT("%D{%Y-%m-%d %H:%M:%S.%q} %-5p [%T] %m%n"));
  }
};

log4cplus::LogLevel LevelFromText(const std::string& text) {
  return log4cplus::getLogLevelManager().fromString(LOG4CPLUS_STRING_TO_TSTRING(text));
}

// True when an event of `logger` reaches at least one appender.
bool HasAppender(log4cplus::Logger logger) {
  while (true) {
    if (!logger.getAllAppenders().empty()) {
      return true;
    }
    if (!logger.getAdditivity() || logger.getName() == log4cplus::Logger::getRoot().getName()) {
      return false;
    }
    logger = logger.getParent();
  }
}

// Logs a start-up failure at ERROR. When the logger is enabled but nothing
// is configured to write its events yet (a failure before or during the log
// configuration), the line goes to standard error so that it is not lost.
void LogStartupFailure(log4cplus::Logger& tool_logger, const std::string& text) {
  if (!tool_logger.isEnabledFor(log4cplus::ERROR_LOG_LEVEL)) {
    return;
  }
  if (HasAppender(tool_logger)) {
    tool_logger.forcedLog(log4cplus::ERROR_LOG_LEVEL, text);
  } else {
    std::cerr << text << std::endl;
  }
}

// The program's description with "version" added after "help" (at the end
// when there is no "help"), under the caption "Options". A program that
// lists "version" itself has it where it put it.
po::options_description WithVersionOption(const po::options_description& description) {
  po::options_description full("Options");
  bool added = description.find_nothrow("version", false) != nullptr;
  for (const auto& option : description.options()) {
    full.add(option);
    if (!added && option->long_name() == "help") {
      full.add_options()("version", kVersionText);
      added = true;
    }
  }
  if (!added) {
    full.add_options()("version", kVersionText);
  }
  return full;
}

std::string ProgramName(int argc, const char* const* argv) {
  if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') {
    return "vesktools";
  }
  return std::filesystem::path(argv[0]).filename().string();
}

void RunCheck(const ToolSettings& settings, CheckPoint point, const po::variables_map& variables,
              const po::options_description& description) {
  if (settings.check && settings.check_at == point) {
    settings.check(variables, description);
  }
}

// Steps after parsing: help, version, required options, the program's check,
// log level and log configuration. Returns the exit status when the program
// ends.
std::optional<int> ApplyOptions(po::variables_map& variables, const po::options_description& description,
                                const std::string& program, const ToolSettings& settings,
                                log4cplus::Logger& tool_logger) {
  // Help and version come before the required options are enforced, so they
  // work alone.
  if (variables.count("help") != 0) {
    std::cout << description << std::endl;
    return 0;
  }
  if (variables.count("version") != 0) {
    std::cout << VersionLine(program) << std::endl;
    return 0;
  }
  po::notify(variables);
  RunCheck(settings, CheckPoint::kBeforeLogLevel, variables, description);

  const std::string level_text = variables["log-level"].as<std::string>();
  const log4cplus::LogLevel level = LevelFromText(level_text);
  if (level == log4cplus::NOT_SET_LOG_LEVEL) {
    std::cout << description << std::endl;
    throw std::runtime_error(fmt::format("Invalid log level: {}", level_text));
  }
  tool_logger.setLogLevel(level);

  if (variables.count("log-prop-file") == 0) {
    // Basic configuration: one console appender on standard output that
    // writes each line through at once.
    FlushingBasicConfigurator basic;
    basic.configure();
  } else {
    const std::string file = variables["log-prop-file"].as<std::string>();
    settings.configure_from_file(file);
    if (tool_logger.isEnabledFor(settings.cmd_opt_level)) {
      tool_logger.forcedLog(settings.cmd_opt_level, "CmdOpt - Log property file: <" + file + ">");
    }
  }
  // The command line's level (or its default) overrides a property file's.
  tool_logger.setLogLevel(LevelFromText(level_text));

  RunCheck(settings, CheckPoint::kAfterLogSettings, variables, description);
  return std::nullopt;
}

}  // namespace

StartupOutcome RunStartup(int argc, const char* const* argv, const po::options_description& program_description,
                          const ToolSettings& settings) {
  log4cplus::Logger tool_logger = vesklib_korvel::Logger();
  SetInitialLevel(settings.initial_level, tool_logger);
  const po::options_description description = WithVersionOption(program_description);
  StartupOutcome outcome;
  try {
    po::store(po::parse_command_line(argc, argv, description), outcome.variables);
    outcome.exit_status = ApplyOptions(outcome.variables, description, ProgramName(argc, argv), settings, tool_logger);
  } catch (const po::error& error) {
    std::cerr << "ERROR: " << error.what() << "\n\n" << description << std::endl;
    outcome.exit_status = 1;
  } catch (const UsageError& error) {
    std::cerr << "ERROR: " << error.what() << std::endl;
    outcome.exit_status = 1;
  } catch (const std::exception& error) {
    LogStartupFailure(tool_logger, std::string("ERROR: ") + error.what());
    outcome.exit_status = 1;
  } catch (...) {
    LogStartupFailure(
        tool_logger, "ERROR: " + settings.unknown_exception_prefix + boost::current_exception_diagnostic_information());
    outcome.exit_status = 1;
  }
  return outcome;
}

void ConfigureWithPropertyConfigurator(const std::string& file) {
  // log4cplus takes a file it cannot open for an empty configuration; a
  // missing property file is an error the user must see.
  if (std::filesystem::is_directory(file) || !std::ifstream(file)) {
    throw std::runtime_error("Cannot read log property file '" + file + "'");
  }
  log4cplus::PropertyConfigurator::doConfigure(LOG4CPLUS_STRING_TO_TSTRING(file),
                                               log4cplus::Logger::getDefaultHierarchy(), 0);
}

}  // namespace ketra::vesktools::cli
