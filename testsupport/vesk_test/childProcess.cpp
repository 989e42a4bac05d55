#include "ChildProcess.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vesk_test {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

// This process's environment with the changes of `changes` applied.
std::vector<std::string> Environment(const std::vector<std::string>& changes) {
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    bool changed = false;
    for (const auto& change : changes) {
      changed = changed || name_of(change) == name_of(text);
    }
    if (!changed) {
      merged.push_back(text);
    }
  }
  for (const auto& change : changes) {
    if (change.find('=') != std::string::npos) {
      merged.push_back(change);
    }
  }
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env) {
  const std::string out_path = m_dir.File("stdout");
  const std::string err_path = m_dir.File("stderr");
  std::vector<std::string> env_text = Environment(env);
  const std::vector<char*> args = Pointers(argv);
  const std::vector<char*> envp = Pointers(env_text);
  m_pid = fork();
  if (m_pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (m_pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) {
      _exit(126);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // The program starts with SIGINT and SIGTERM at their default actions and
    // nothing blocked, whatever the test runner inherited.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(args[0], args.data(), envp.data());
    // No allocation between fork and exit: the parent may have threads.
    const char* reason = std::strerror(errno);
    for (const char* part : {"cannot start ", static_cast<const char*>(args[0]), ": ", reason, "\n"}) {
      (void)!write(STDERR_FILENO, part, std::strlen(part));
    }
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    kill(m_pid, SIGKILL);
    Wait(std::chrono::seconds(5));
  }
}

bool ChildProcess::Running() {
  return m_pid > 0 && !Wait(std::chrono::milliseconds(0)).has_value();
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (m_status) {
    return m_status;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
      m_status = DecodeStatus(status);
      return m_status;
    }
    if (done < 0 && errno != EINTR) {
      m_status = -1;
      return m_status;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds timeout) {
  if (Running()) {
    kill(m_pid, signal);
    if (!Wait(timeout)) {
      kill(m_pid, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
  }
  return m_status.value_or(-1);
}

std::string ChildProcess::Stdout() const {
  return ReadFile(m_dir.File("stdout"));
}
std::string ChildProcess::Stderr() const {
  return ReadFile(m_dir.File("stderr"));
}

}  // namespace vesk_test
