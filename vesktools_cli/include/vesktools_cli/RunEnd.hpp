#pragma once
// The end of a receiving program's run: its receive loop ends by itself, or a
// stop is asked for (a signal), in which case the main thread stops the loop.
// A stop asked for before the loop has started would be undone when it starts
// (the loop sets its run flag again), so the stop is repeated until the loop
// has ended.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace ketra::vesktools::cli {

class RunEnd {
 public:
  // Time between two tries to stop a loop that has not ended yet.
  static constexpr std::chrono::milliseconds kRetry{100};

  // The receive thread, once its loop has returned.
  void LoopEnded();
  // Any thread; returns at once.
  void RequestStop();

  // Waits until the loop ended or a stop was asked for; in the second case
  // calls `stop_loop` every kRetry until the loop has ended. `stop_loop`
  // need not wait for the loop (this does), and should not: a second thread
  // waiting in StopReceiver might never be woken. True when the run ended
  // on request.
  bool Wait(const std::function<void()>& stop_loop);

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_loop_ended = false;
  bool m_stop_requested = false;
};

}  // namespace ketra::vesktools::cli
