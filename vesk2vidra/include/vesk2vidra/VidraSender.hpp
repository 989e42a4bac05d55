#pragma once
// The publishing half of the gateway: takes the newest frame from the frame
// exchange of its broker and stream and appends it, encoded, to the VIDRA
// stream (a Redis Stream) on the broker.

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/FrameExchange.hpp>
#include <vesk2vidra/RedisConnection.hpp>
#include <vesk2vidra/VidraEncDecImage3D.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ketra::vesktools::vesk2vidra {

class VidraSender {
 public:
  static constexpr std::chrono::milliseconds kConnectTimeout{2000};
  static constexpr std::chrono::milliseconds kIoTimeout{5000};
  static constexpr std::chrono::milliseconds kFirstRetryDelay{100};
  static constexpr std::chrono::milliseconds kMaxRetryDelay{2000};

  // Connects to the broker. Throws std::invalid_argument for a bad URI and
  // BrokerConnectionError (URI in the text, password masked) when the broker
  // cannot be reached. `interval` is in seconds; 0 publishes every new frame.
  VidraSender(int width, int height, DataType data_type, std::string broker_uri, std::string stream, int interval);
  ~VidraSender();
  VidraSender(const VidraSender&) = delete;
  VidraSender& operator=(const VidraSender&) = delete;

  // Publishes until Stop() (or the paired gateway's StopReceiver). Broker
  // failures are logged once and retried with a bounded back-off.
  void Run();
  // Makes Run return soon; callable from any thread.
  void Stop();

  // Maximum stream length (trimmed approximately); default kDefaultStreamMaxLen.
  void SetStreamMaxLen(std::size_t max_len);

  std::uint64_t PublishedCount() const { return m_published; }

 private:
  bool Publish(const VidraFrame& frame);
  bool Reconnect();

  int m_width;
  int m_height;
  DataType m_data_type;
  BrokerAddress m_address;
  std::string m_stream;
  int m_interval;
  std::size_t m_max_len;
  std::string m_type_name;
  std::string m_dtype;
  std::unique_ptr<VidraEncDecImage3D> m_encoder;
  std::unique_ptr<RedisConnection> m_connection;
  std::shared_ptr<FrameExchange> m_exchange;
  VidraFrame m_frame;
  std::vector<unsigned char> m_encoded;
  std::array<std::string, 9> m_numbers;
  std::vector<std::string_view> m_args;
  std::atomic<std::uint64_t> m_published{0};
  bool m_broker_lost = false;
  bool m_reply_error_logged = false;
  std::chrono::milliseconds m_retry_delay{kFirstRetryDelay};
};

}  // namespace ketra::vesktools::vesk2vidra
