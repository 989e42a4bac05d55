// The end of a receiving program's run.

#include <vesktools_cli/RunEnd.hpp>

namespace ketra::vesktools::cli {

void RunEnd::LoopEnded() {
  {
    std::lock_guard lock(m_mutex);
    m_loop_ended = true;
  }
  m_changed.notify_all();
}

void RunEnd::RequestStop() {
  {
    std::lock_guard lock(m_mutex);
    m_stop_requested = true;
  }
  m_changed.notify_all();
}

bool RunEnd::Wait(const std::function<void()>& stop_loop) {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [this] { return m_loop_ended || m_stop_requested; });
  while (!m_loop_ended) {
    lock.unlock();
    stop_loop();
    lock.lock();
    m_changed.wait_for(lock, kRetry, [this] { return m_loop_ended; });
  }
  return m_stop_requested;
}

}  // namespace ketra::vesktools::cli
