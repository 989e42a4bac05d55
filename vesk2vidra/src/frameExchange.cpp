#include <vesk2vidra/FrameExchange.hpp>

#include <map>
#include <utility>

namespace ketra::vesktools::vesk2vidra {

void FrameExchange::Put(std::vector<unsigned char>& sample, std::int64_t sample_id, double sender_timestamp,
                        double receive_time) {
  {
    std::lock_guard lock(m_mutex);
    m_slot.pixels.swap(sample);
    m_slot.sequence = ++m_put;
    m_slot.sample_id = sample_id;
    m_slot.sender_timestamp = sender_timestamp;
    m_slot.receive_time = receive_time;
    if (m_has_new) {
      ++m_dropped;
    }
    m_has_new = true;
  }
  m_cv.notify_all();
}

bool FrameExchange::TakeNewest(VidraFrame& frame) {
  std::lock_guard lock(m_mutex);
  if (!m_has_new) {
    return false;
  }
  frame.pixels.swap(m_slot.pixels);
  frame.sequence = m_slot.sequence;
  frame.sample_id = m_slot.sample_id;
  frame.sender_timestamp = m_slot.sender_timestamp;
  frame.receive_time = m_slot.receive_time;
  m_has_new = false;
  return true;
}

FrameExchange::Wait FrameExchange::WaitForNewFrame(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(m_mutex);
  m_cv.wait_until(lock, deadline, [this] { return m_has_new || m_closed; });
  if (m_closed) {
    return Wait::Closed;
  }
  return m_has_new ? Wait::NewFrame : Wait::Timeout;
}

bool FrameExchange::WaitClosed(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_until(lock, deadline, [this] { return m_closed; });
}

void FrameExchange::Close() {
  {
    std::lock_guard lock(m_mutex);
    m_closed = true;
  }
  m_cv.notify_all();
}

bool FrameExchange::Closed() const {
  std::lock_guard lock(m_mutex);
  return m_closed;
}

std::uint64_t FrameExchange::FramesPut() const {
  std::lock_guard lock(m_mutex);
  return m_put;
}

std::uint64_t FrameExchange::FramesDropped() const {
  std::lock_guard lock(m_mutex);
  return m_dropped;
}

std::shared_ptr<FrameExchange> AcquireFrameExchange(const std::string& broker_key, const std::string& stream) {
  // Registry of live exchanges; entries whose exchange is gone are replaced.
  static std::mutex registry_mutex;
  static std::map<std::pair<std::string, std::string>, std::weak_ptr<FrameExchange>> registry;

  std::lock_guard lock(registry_mutex);
  auto& entry = registry[{broker_key, stream}];
  auto exchange = entry.lock();
  if (!exchange) {
    exchange = std::make_shared<FrameExchange>();
    entry = exchange;
  }
  return exchange;
}

}  // namespace ketra::vesktools::vesk2vidra
