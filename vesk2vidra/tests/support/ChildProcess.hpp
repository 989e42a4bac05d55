#pragma once
// A child process started by a test: arguments passed as given, standard
// output and error captured in files, SIGINT and SIGTERM at their default
// actions, stopped by its PID.

#include <sys/types.h>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vesk2vidra_test {

class ChildProcess {
 public:
  // Starts `argv[0]` (a path) with `argv`; output goes to files in a fresh
  // temporary directory. Throws std::runtime_error when it cannot start.
  explicit ChildProcess(std::vector<std::string> argv);
  ~ChildProcess();  // SIGKILL and reap when still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return m_pid; }
  bool Running();
  // Waits up to `timeout`; the exit status (or 128 + signal), or nothing
  // when the child is still running.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // Sends `signal`, then waits up to `timeout`, then SIGKILL.
  int Stop(int signal, std::chrono::milliseconds timeout);

  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t m_pid = -1;
  std::optional<int> m_status;
  std::string m_dir;
};

// Runs a program to its end (bounded by `timeout`, then killed) and returns
// its status and output.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
RunResult RunProgram(std::vector<std::string> argv, std::chrono::milliseconds timeout);

// A path in a fresh temporary directory that is removed at exit of the test.
std::string TempPath(const std::string& name);

}  // namespace vesk2vidra_test
