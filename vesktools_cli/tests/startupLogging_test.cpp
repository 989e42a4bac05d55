// The start-up's basic log configuration, which all three programs get
// without a property file: with standard output redirected to a file (not a
// terminal), every log line is in the file as soon as it is logged, so a
// program that is killed right after loses none.

#include <vesk_test/LogLines.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesktools_cli/Startup.hpp>

#include <gtest/gtest.h>
#include <log4cplus/initializer.h>
#include <log4cplus/loggingmacros.h>

#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace po = boost::program_options;
namespace cli = ketra::vesktools::cli;

namespace {

// Runs the start-up with "-l INFO" in a child whose standard output is
// `path`, logs two lines and ends with _exit, which, like SIGKILL, writes
// out nothing that is still buffered in the process.
void LogInChildAndVanish(const std::string& path) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr || dup2(fileno(file), STDOUT_FILENO) < 0) {
      _exit(3);
    }
    const log4cplus::Initializer log_initializer;
    po::options_description description("Options");
    description.add_options()("help,h", cli::kHelpText)                                         //
        ("log-prop-file,f", po::value<std::string>(), cli::kLogPropFileText)                    //
        ("log-level,l", po::value<std::string>()->default_value("ERROR"), cli::kLogLevelText);  //
    const char* argv[] = {"tool", "-l", "INFO"};
    cli::ToolSettings settings;
    settings.initial_level = cli::InitialLevel::kToolError;
    if (cli::RunStartup(3, argv, description, settings).exit_status) {
      _exit(2);
    }
    LOG4CPLUS_INFO(ketra::vesktools::vesklib_korvel::Logger(), "Starting application...");
    LOG4CPLUS_ERROR(ketra::vesktools::vesklib_korvel::Logger(), "the last line before the end");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "2: start-up failed, 3: no redirection";
}

}  // namespace

TEST(StartupLogging, BasicConfigurationWritesEveryLineThroughToARedirectedStdout) {
  const std::string path = "/tmp/vesktools_cli_log_" + std::to_string(getpid());
  LogInChildAndVanish(path);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  // Two whole lines with time, level and thread, in their order.
  const std::string written = text.str();
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 2) << written;
  EXPECT_EQ(vesk_test::LogMessages(written, "INFO"), std::vector<std::string>{"Starting application..."}) << written;
  EXPECT_EQ(vesk_test::LogMessages(written, "ERROR"), std::vector<std::string>{"the last line before the end"})
      << written;
  EXPECT_LT(written.find("Starting application..."), written.find("the last line before the end"));
}
