// The stop signal watch of the receiving programs.

#include <vesktools_cli/StopSignals.hpp>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace ketra::vesktools::cli {

namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

int Checked(int result, const char* what) {
  if (result < 0) {
    throw std::system_error(errno, std::generic_category(), what);
  }
  return result;
}

int MakeSignalFd() {
  const sigset_t current = [] {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return mask;
  }();
  if (sigismember(&current, SIGINT) != 1 || sigismember(&current, SIGTERM) != 1) {
    throw std::logic_error("SIGINT and SIGTERM must be blocked (BlockStopSignals) before the stop signal watch starts");
  }
  const sigset_t signals = StopSignals();
  return Checked(::signalfd(-1, &signals, SFD_CLOEXEC), "Cannot watch SIGINT and SIGTERM");
}

// The signal's default action, now: the process ends as killed by it.
[[noreturn]] void EndAtOnce(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace

void BlockStopSignals() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

std::string StopSignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "signal " + std::to_string(signal);
  }
}

void AnnounceStop(std::string_view program, int signal, double wait_seconds, std::string_view afterwards) {
  fmt::print(stderr, "{}: {} received, stopping within {:g} s{}; another SIGINT or SIGTERM ends {} at once\n", program,
             StopSignalName(signal), wait_seconds, afterwards, program);
  std::fflush(stderr);
}

StopSignalWatch::StopSignalWatch(std::function<void(int signal)> on_first)
    : m_signals(MakeSignalFd()),
      m_release(Checked(::eventfd(0, EFD_CLOEXEC), "Cannot make the release event of the signal watch")),
      m_on_first(std::move(on_first)),
      m_thread([this] { Watch(); }) {}

StopSignalWatch::~StopSignalWatch() {
  const std::uint64_t one = 1;
  // An eventfd write of 1 cannot fail short of an overflow of its counter.
  [[maybe_unused]] const ssize_t written = ::write(m_release.Get(), &one, sizeof one);
  m_thread.join();
}

void StopSignalWatch::Watch() {
  bool stopping = false;
  while (true) {
    std::array<pollfd, 2> watched{pollfd{m_signals.Get(), POLLIN, 0}, pollfd{m_release.Get(), POLLIN, 0}};
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0) return;
    signalfd_siginfo info{};
    if (::read(m_signals.Get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    const int signal = static_cast<int>(info.ssi_signo);
    if (stopping) EndAtOnce(signal);
    stopping = true;
    m_on_first(signal);
  }
}

}  // namespace ketra::vesktools::cli
