// A program started in the background with its output to a file; stopped by
// its PID (SIGTERM, then SIGKILL after 5 s) when the object goes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vidra_view_load {

class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int error = posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + argv[0]);
  }
  ~Child() {
    if (m_pid <= 0 || !Running()) return;
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return m_pid; }
  bool Running() const {
    if (!m_exited && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) m_exited = true;
    return !m_exited;
  }

 private:
  pid_t m_pid = -1;
  mutable bool m_exited = false;  // reaped: the PID is no longer ours
};

}  // namespace vidra_view_load
