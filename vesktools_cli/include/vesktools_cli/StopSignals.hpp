#pragma once
// Ending a receiving program on SIGINT (Ctrl-C) or SIGTERM without a signal
// handler. main blocks both signals before any thread starts, so every thread
// inherits the mask and no signal interrupts the work; a watch thread takes
// them from a signalfd and tells the program, which then stops its receive
// loop from an ordinary thread. A second signal ends the process at once, as
// the signal's default action does.

#include <ketra/fnd/posix/UniqueFd.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace ketra::vesktools::cli {

// Blocks SIGINT and SIGTERM in the calling thread; threads started by it
// afterwards inherit the mask. Call first thing in main. Signals that come
// before a StopSignalWatch exists wait for it.
void BlockStopSignals();

// "SIGINT", "SIGTERM", or "signal <n>" for others.
std::string StopSignalName(int signal);

// Tells on standard error that `program` got `signal` and stops within
// `wait_seconds` (then does `afterwards`, e.g. ", then the report"), and that
// another SIGINT or SIGTERM ends it at once.
void AnnounceStop(std::string_view program, int signal, double wait_seconds, std::string_view afterwards = {});

class StopSignalWatch {
 public:
  // Starts the watch thread. `on_first` is called on it with the first
  // SIGINT or SIGTERM; it must return soon and not throw, so that a second
  // signal is seen. Throws std::logic_error when the calling thread does not
  // block both signals, std::system_error when the watch cannot be set up.
  explicit StopSignalWatch(std::function<void(int signal)> on_first);
  // Releases the watch thread (also when no signal came) and joins it.
  ~StopSignalWatch();
  StopSignalWatch(const StopSignalWatch&) = delete;
  StopSignalWatch& operator=(const StopSignalWatch&) = delete;

 private:
  void Watch();

  ketra::fnd::UniqueFd m_signals;
  ketra::fnd::UniqueFd m_release;
  std::function<void(int)> m_on_first;
  std::thread m_thread;
};

}  // namespace ketra::vesktools::cli
