#pragma once
// A child process started by a test: arguments passed as given, standard
// output and error captured in files, SIGINT and SIGTERM at their default
// actions, stopped by its PID.

#include <vesk_test/TempDir.hpp>

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vesk_test {

class ChildProcess {
 public:
  // Starts `argv[0]` (a path) with `argv`; standard input is /dev/null,
  // output goes to files in a fresh temporary directory. `env` entries
  // "NAME=value" are added to (or replace in) the environment, a bare "NAME"
  // removes it. Throws std::runtime_error when it cannot fork.
  explicit ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env = {});
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
  TempDir m_dir;
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

}  // namespace vesk_test
