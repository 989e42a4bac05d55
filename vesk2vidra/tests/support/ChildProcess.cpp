#include "ChildProcess.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vesk2vidra_test {

namespace {

std::string MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vesk2vidra-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return pattern;
}

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

}  // namespace

std::string TempPath(const std::string& name) {
  return MakeTempDir() + "/" + name;
}

ChildProcess::ChildProcess(std::vector<std::string> argv) : m_dir(MakeTempDir()) {
  const std::string out_path = m_dir + "/stdout";
  const std::string err_path = m_dir + "/stderr";
  std::vector<char*> args;
  for (auto& arg : argv) {
    args.push_back(arg.data());
  }
  args.push_back(nullptr);
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
    execv(args[0], args.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    kill(m_pid, SIGKILL);
    Wait(std::chrono::seconds(5));
  }
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
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
  return ReadFile(m_dir + "/stdout");
}
std::string ChildProcess::Stderr() const {
  return ReadFile(m_dir + "/stderr");
}

RunResult RunProgram(std::vector<std::string> argv, std::chrono::milliseconds timeout) {
  ChildProcess child(std::move(argv));
  RunResult result;
  const auto status = child.Wait(timeout);
  result.status = status ? *status : child.Stop(SIGKILL, std::chrono::seconds(5)) + 1000;
  result.out = child.Stdout();
  result.err = child.Stderr();
  return result;
}

}  // namespace vesk2vidra_test
