#pragma once
// Test support: a program started in the background with its standard output
// and error in one file, waited for with a time limit and killed by its PID
// if it outlives the test.

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
  // Starts argv[0] (a path) with `argv`; its output goes to `output`.
  BackgroundProgram(const std::vector<std::string>& argv, std::filesystem::path output) : m_output(std::move(output)) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) m_pid = -1;
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
  // SIGTERM, then the exit status within `limit` (SIGKILL after it).
  std::optional<int> Stop(std::chrono::milliseconds limit) {
    if (m_pid > 0 && !m_status) ::kill(m_pid, SIGTERM);
    return Wait(limit);
  }
  std::string Output() const {
    std::ifstream in(m_output);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::filesystem::path m_output;
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
