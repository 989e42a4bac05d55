#pragma once
// A stream sent in-process through an impairing relay: a VeskSender whose
// samples carry a pattern naming sample id and pixel position, and a
// VeskReceiver that checks every delivered sample against that pattern and
// records what it delivered and gave up, in order.

#include <vesk_impair/ImpairRelay.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <log4cplus/logger.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace vesk_impair_test {

using ketra::fnd::datatype::DataType;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using ketra::vesktools::vesklib_korvel::SampleExtInfo;
using ketra::vesktools::vesklib_korvel::SenderConfig;
using ketra::vesktools::vesklib_korvel::VeskReceiver;
using ketra::vesktools::vesklib_korvel::VeskSender;

constexpr int kPixels = 1000;  // Int32: five datagrams per sample at MTU 1500
constexpr std::uint16_t kMtu = 1500;

// Pixel p of sample `id`: the id in the high half, the position in the low.
inline std::vector<unsigned char> Pattern(std::uint32_t id, int pixels = kPixels) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(pixels) * 4);
  for (int p = 0; p < pixels; ++p) {
    const std::uint32_t value = (id << 16U) | static_cast<std::uint32_t>(p);
    std::memcpy(bytes.data() + static_cast<std::size_t>(p) * 4, &value, 4);
  }
  return bytes;
}

struct Event {
  std::int64_t id = 0;
  bool delivered = false;  // false: given up
  bool pattern_ok = false;
  double ext_info = 0.0;
};

class CollectingReceiver : public VeskReceiver {
 public:
  // `packet_layer_option` bit 0 set: one datagram per receive call; clear:
  // payloads received in batches.
  CollectingReceiver(int port, std::chrono::milliseconds sample_timeout, std::uint8_t packet_layer_option = 0)
      : VeskReceiver("127.0.0.1", "", port, DataType::Int32, MakeConfig(packet_layer_option)) {
    SetSampleTimeout(sample_timeout);
  }
  static ReceiverConfig MakeConfig(std::uint8_t packet_layer_option) {
    ReceiverConfig config;
    config.packet_layer_option = packet_layer_option;
    config.mtu_size = kMtu;
    config.image_width = kPixels;
    config.image_height = 1;
    config.ext_info_size = 8;
    config.socket_buffer_size = 8 * 1024 * 1024;
    return config;
  }

  void HandleSampleUser(SampleExtInfo& ext_info, std::vector<unsigned char>& sample) override {
    const auto id = GetSampleId();
    Event event{id, true, sample == Pattern(static_cast<std::uint32_t>(id)), ext_info.GetTimestamp()};
    Push(event);
  }
  void HandleSampleLost() override { Push(Event{GetSampleId(), false, false, 0.0}); }

  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  // Waits until a delivered sample satisfies `accept`; false after `limit`.
  template <typename Pred>
  bool WaitForDelivered(Pred accept, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, limit, [&] {
      for (const Event& e : m_events) {
        if (e.delivered && accept(e)) return true;
      }
      return false;
    });
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Event> m_events;

  void Push(const Event& event) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_events.push_back(event);
    }
    m_cv.notify_all();
  }
};

// Runs the receiver's loop on a thread for the life of the object.
class ReceiverThread {
 public:
  explicit ReceiverThread(CollectingReceiver& receiver) : m_receiver(receiver) {
    m_thread = std::thread([this] { m_receiver.ReceiveLoop(); });
    // The loop builds its socket first; datagrams sent before that are lost.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ~ReceiverThread() { Stop(); }
  ReceiverThread(const ReceiverThread&) = delete;
  ReceiverThread& operator=(const ReceiverThread&) = delete;
  void Stop() {
    if (m_thread.joinable()) {
      m_receiver.StopReceiver();
      m_thread.join();
    }
  }

 private:
  CollectingReceiver& m_receiver;
  std::thread m_thread;
};

inline SenderConfig MakeSenderConfig() {
  SenderConfig config;
  config.mtu_size = kMtu;
  config.ext_info_size = 8;
  return config;
}

// Sends samples `first` … `last` of the pattern (the sender numbers them
// from 1 on its own, so a fresh sender's sample k carries Pattern(k)), with
// `gap` between samples. The ext info carries `generation` * 1e6 + k.
inline void SendPatternSamples(VeskSender& sender, std::uint32_t first, std::uint32_t last,
                               std::chrono::microseconds gap, double generation = 0.0) {
  for (std::uint32_t k = first; k <= last; ++k) {
    sender.SendSample(SampleExtInfo(generation * 1e6 + k), Pattern(k));
    std::this_thread::sleep_for(gap);
  }
}

// Keeps the library's per-sample log lines out of the test output.
inline void QuietLibraryLog() {
  ketra::vesktools::vesklib_korvel::Logger().setLogLevel(log4cplus::OFF_LOG_LEVEL);
}

}  // namespace vesk_impair_test
