#include "RunProgram.hpp"

#include <csignal>
#include <cstdlib>

namespace vesk_test {

std::string ProgramPath(const std::string& name, const std::string& folder) {
  // ctest sets VESK_BINARY_DIR; a test run by hand finds this build's.
  const char* binary_dir = std::getenv("VESK_BINARY_DIR");
  const std::string dir = binary_dir != nullptr && *binary_dir != '\0' ? binary_dir : VESK_BINARY_DIR_DEFAULT;
  return dir + "/" + (folder.empty() ? name : folder) + "/" + name;
}

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args, const RunLimits& limits) {
  std::vector<std::string> argv{path};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess child(argv, limits.env);
  ProgramResult result;
  const auto deadline = std::chrono::steady_clock::now() + limits.timeout;
  std::optional<int> status;
  while (!(status = child.Wait(std::chrono::milliseconds(20)))) {
    if (!limits.stop_when_stdout_has.empty() && child.Stdout().find(limits.stop_when_stdout_has) != std::string::npos) {
      result.stopped = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      break;
    }
  }
  if (!status) {
    child.Stop(SIGKILL, std::chrono::seconds(5));
  }
  result.status = status.value_or(-1);
  result.out = child.Stdout();
  result.err = child.Stderr();
  return result;
}

ProgramResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  RunLimits limits;
  limits.timeout = timeout;
  return RunProgram(argv.at(0), std::vector<std::string>(argv.begin() + 1, argv.end()), limits);
}

std::string LogProperties(const std::string& level) {
  return "log4cplus.rootLogger=TRACE, STDOUT\n"
         "log4cplus.logger.vesklib=" +
         level +
         "\n"
         "log4cplus.appender.STDOUT=log4cplus::ConsoleAppender\n"
         "log4cplus.appender.STDOUT.ImmediateFlush=true\n"
         "log4cplus.appender.STDOUT.layout=log4cplus::PatternLayout\n"
         "log4cplus.appender.STDOUT.layout.ConversionPattern=%p %c %m%n\n";
}

bool InOrder(const std::string& haystack, const std::vector<std::string>& texts) {
  std::size_t at = 0;
  for (const auto& text : texts) {
    at = haystack.find(text, at);
    if (at == std::string::npos) {
      return false;
    }
    at += text.size();
  }
  return true;
}

}  // namespace vesk_test
