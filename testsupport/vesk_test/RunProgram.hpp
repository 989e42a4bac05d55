#pragma once
// Test support: runs a built program as a child process with a time limit
// and collects its exit status, standard output and standard error.

#include <vesk_test/ChildProcess.hpp>
#include <vesk_test/Ports.hpp>
#include <vesk_test/TempDir.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace vesk_test {

struct ProgramResult {
  int status = -1;         // exit status (128 + signal after one), -1 when ended by the limits
  bool timed_out = false;  // the time limit ended the run
  bool stopped = false;    // ended on purpose after `stop_when_stdout_has` was seen
  std::string out;
  std::string err;
};

struct RunLimits {
  std::chrono::milliseconds timeout{20000};
  // When not empty: the child is killed once its standard output holds this
  // text (for programs that would otherwise run on).
  std::string stop_when_stdout_has;
  // "NAME=value" entries added to (or replacing in) the environment; a bare
  // "NAME" removes it.
  std::vector<std::string> env;
};

// Path of a program built by this project: <build>/<folder>/<name>, the
// folder being the program's name unless given; the build directory is
// $VESK_BINARY_DIR, else this build's.
std::string ProgramPath(const std::string& name, const std::string& folder = "");

// Runs `path` with `args` (argv[0] is the path). Never waits longer than the
// time limit: the child is killed by its PID when it is reached.
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args, const RunLimits& limits = {});
// The same for a whole command line, argv[0] being the path.
ProgramResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// A log4cplus property file: the library logger "vesklib" at `level`, one
// appender on standard output writing "<LEVEL> <logger> <message>" lines.
std::string LogProperties(const std::string& level);

// True when each text occurs in `haystack` after the previous one.
bool InOrder(const std::string& haystack, const std::vector<std::string>& texts);

}  // namespace vesk_test
