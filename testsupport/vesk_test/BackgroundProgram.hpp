#pragma once
// Test support: a program started in the background with its standard output
// and error in one file (or error in a file of its own), waited for with a
// time limit, sent signals by its PID and killed by its PID if it outlives
// the test. The program starts with SIGINT and SIGTERM at their default
// actions and no signal blocked, whatever the test runner inherited.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vesk_test {

class BackgroundProgram {
 public:
  // Starts argv[0] (a path) with `argv`; its standard output goes to
  // `output`, its standard error to `error` or, when that is empty, to
  // `output` as well.
  BackgroundProgram(const std::vector<std::string>& argv, std::filesystem::path output,
                    std::filesystem::path error = {})
      : m_output(std::move(output)), m_error(std::move(error)) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (m_error.empty()) {
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, m_error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&m_pid, args[0], &actions, &attributes, args.data(), environ) != 0) m_pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~BackgroundProgram() {
    if (m_pid > 0 && !m_status) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  bool Started() const { return m_pid > 0; }
  pid_t Pid() const { return m_pid; }
  // Exit status (128 + signal when killed by one), or nothing while the
  // program still runs after `limit`.
  std::optional<int> Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!m_status && m_pid > 0) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return m_status;
  }
  // Sends `signal` (SIGTERM unless told), then the exit status within
  // `limit` (SIGKILL by the destructor after it).
  std::optional<int> Stop(std::chrono::milliseconds limit, int signal = SIGTERM) {
    Signal(signal);
    return Wait(limit);
  }
  // Sends `signal` to the program while it runs.
  void Signal(int signal) {
    if (m_pid > 0 && !m_status) ::kill(m_pid, signal);
  }
  std::string Output() const { return ReadAll(m_output); }
  // Standard error when it has a file of its own.
  std::string ErrorOutput() const { return ReadAll(m_error); }

 private:
  static std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path m_output;
  std::filesystem::path m_error;
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

// True once at least `sockets` UDP sockets are bound to `port` in the
// network namespace of process `pid` (this process by default), as its
// /proc/<pid>/net/udp shows.
inline bool WaitForBoundUdpPort(std::uint16_t port, std::chrono::milliseconds limit, pid_t pid = ::getpid(),
                                int sockets = 1) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  const std::string table = "/proc/" + std::to_string(pid) + "/net/udp";
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(table);
    std::stringstream text;
    text << in.rdbuf();
    const std::string lines = text.str();
    int found = 0;
    for (auto at = lines.find(hex); at != std::string::npos; at = lines.find(hex, at + 1)) ++found;
    if (found >= sockets) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace vesk_test
