#pragma once
// Follows a VIDRA stream on its broker in a thread of its own: the newest
// entry at start, then each entry published while it waits (XREAD BLOCK from
// "$"), so it never reads the stream's history. Broker failures and a missing
// stream are reported as states and retried until Stop().

#include <vidra_view/FrameMessage.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

struct redisReply;

namespace ketra::vesktools::vesk2vidra {
class RedisConnection;
}

namespace ketra::vesktools::vidra_view {

struct WatcherSettings {
  std::string broker_uri;
  std::string stream;
  std::size_t max_plane_bytes = 0;
  std::chrono::milliseconds block{1000};  // longest single wait for the broker
  std::chrono::milliseconds retry{1000};  // pause before reconnecting
};

class StreamWatcher {
 public:
  using FrameHandler = std::function<void(std::shared_ptr<const Frame>)>;
  // state: "connecting", "unreachable", "no-stream", "bad-stream", "live"
  using StatusHandler = std::function<void(const std::string& state, const std::string& message)>;

  StreamWatcher(WatcherSettings settings, FrameHandler on_frame, StatusHandler on_status);
  ~StreamWatcher();
  StreamWatcher(const StreamWatcher&) = delete;
  StreamWatcher& operator=(const StreamWatcher&) = delete;

  void Start();
  void Stop();

 private:
  void Run();
  void Follow(vesk2vidra::RedisConnection& connection);
  void HandleEntry(const redisReply* entry);
  void SetStatus(const std::string& state, const std::string& message);
  void Pause(std::chrono::milliseconds duration) const;

  WatcherSettings m_settings;
  FrameHandler m_on_frame;
  StatusHandler m_on_status;
  ReaderCounts m_counts;
  std::string m_state;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace ketra::vesktools::vidra_view
