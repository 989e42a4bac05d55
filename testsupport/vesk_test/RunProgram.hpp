#pragma once
// Test support: runs a built program as a child process with a time limit
// and collects its exit status, standard output and standard error.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace vesk_test {

struct ProgramResult {
  int status = -1;         // exit status, or -1 when killed or not started
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
  // "NAME=value" entries added to (or replacing in) the environment.
  std::vector<std::string> env;
};

// Path of a program built by this project: $VESK_BINARY_DIR/<name>/<name>.
inline std::string ProgramPath(const std::string& name) {
  const char* binary_dir = std::getenv("VESK_BINARY_DIR");
  if (binary_dir == nullptr) {
    throw std::runtime_error("VESK_BINARY_DIR is not set");
  }
  return std::string(binary_dir) + "/" + name + "/" + name;
}

namespace detail {

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(-1); }
  int Get() const { return m_fd; }
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void Reset(int fd) {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

struct Pipe {
  Fd read_end;
  Fd write_end;
  Pipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe2 failed");
    }
    read_end.Reset(fds[0]);
    write_end.Reset(fds[1]);
  }
};

inline std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& add : extra) {
      replaced = replaced || add.substr(0, add.find('=')) == name;
    }
    if (!replaced) {
      merged.push_back(text);
    }
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

}  // namespace detail

// Runs `path` with `args` (argv[0] is the path). Never waits longer than the
// time limit: the child is killed by its PID when it is reached.
inline ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                                const RunLimits& limits = {}) {
  detail::Pipe out_pipe;
  detail::Pipe err_pipe;
  std::vector<std::string> argv_text{path};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& text : argv_text) {
    argv.push_back(text.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> env_text = detail::MergedEnvironment(limits.env);
  std::vector<char*> envp;
  for (auto& text : env_text) {
    envp.push_back(text.data());
  }
  envp.push_back(nullptr);

  ProgramResult result;
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    ::dup2(out_pipe.write_end.Get(), STDOUT_FILENO);
    ::dup2(err_pipe.write_end.Get(), STDERR_FILENO);
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  out_pipe.write_end.Reset(-1);
  err_pipe.write_end.Reset(-1);

  const auto deadline = std::chrono::steady_clock::now() + limits.timeout;
  std::array<pollfd, 2> fds{pollfd{out_pipe.read_end.Get(), POLLIN, 0}, pollfd{err_pipe.read_end.Get(), POLLIN, 0}};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  int open_pipes = 2;
  bool killed = false;
  while (open_pipes > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      break;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) {
      continue;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      std::array<char, 4096> buffer{};
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(n));
      } else {
        fds[i].fd = -1;
        --open_pipes;
      }
    }
    if (!limits.stop_when_stdout_has.empty() && result.out.find(limits.stop_when_stdout_has) != std::string::npos) {
      result.stopped = true;
      break;
    }
  }
  if (result.timed_out || result.stopped) {
    ::kill(pid, SIGKILL);
    killed = true;
  }
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  result.status = (!killed && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  return result;
}

// A UDP port that was free a moment ago (bound to port 0, then released).
inline int FreeUdpPort() {
  detail::Fd socket_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (socket_fd.Get() < 0 || ::bind(socket_fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(socket_fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free UDP port on 127.0.0.1");
  }
  return ntohs(address.sin_port);
}

}  // namespace vesk_test

namespace vesk_test {

// Writes `text` to a fresh file in the temporary directory and removes it
// when the object ends.
class TempFile {
 public:
  TempFile(const std::string& stem, const std::string& text)
      : m_path("/tmp/" + stem + "_" + std::to_string(::getpid()) + "_" + std::to_string(Counter()++)) {
    FILE* file = std::fopen(m_path.c_str(), "w");
    if (file == nullptr) {
      throw std::runtime_error("cannot write " + m_path);
    }
    std::fputs(text.c_str(), file);
    std::fclose(file);
  }
  ~TempFile() { std::remove(m_path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  static int& Counter() {
    static int counter = 0;
    return counter;
  }
  std::string m_path;
};

// A log4cplus property file: the library logger "vesklib" at `level`, one
// appender on standard output writing "<LEVEL> <logger> <message>" lines.
inline std::string LogProperties(const std::string& level) {
  return "log4cplus.rootLogger=TRACE, STDOUT\n"
         "log4cplus.logger.vesklib=" +
         level +
         "\n"
         "log4cplus.appender.STDOUT=log4cplus::ConsoleAppender\n"
         "log4cplus.appender.STDOUT.ImmediateFlush=true\n"
         "log4cplus.appender.STDOUT.layout=log4cplus::PatternLayout\n"
         "log4cplus.appender.STDOUT.layout.ConversionPattern=%p %c %m%n\n";
}

// True when each text occurs in `haystack` after the previous one.
inline bool InOrder(const std::string& haystack, const std::vector<std::string>& texts) {
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
