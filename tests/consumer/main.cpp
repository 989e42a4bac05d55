// Uses the installed library through its public headers only: the data type
// lookup, the extended information record, the library logger, and one sample
// streamed over loopback from a VeskSender to a VeskReceiver subclass. Every
// installed header is included, so a header that needs one not installed
// fails this build. Exits 0 when everything behaves.

#include <ketra/fnd/datatype/DataType.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/FitsImageCube.hpp>
#include <vesklib_korvel/PacketGeometry.hpp>
#include <vesklib_korvel/ReceiveStatistics.hpp>
#include <vesklib_korvel/SampleExtInfo.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace dt = ketra::fnd::datatype;
namespace vl = ketra::vesktools::vesklib_korvel;
using namespace std::chrono_literals;

// Several payload packets at this MTU, so the sample is reassembled.
constexpr int kPixels = 4096;
constexpr std::uint16_t kMtu = 1500;
constexpr double kTimestamp = 1234.5;
// Sends at most this many times, waiting this long for each to arrive.
constexpr int kSendAttempts = 50;
constexpr auto kWaitPerAttempt = 100ms;

// A UDP port on 127.0.0.1 that nothing was bound to a moment ago.
std::uint16_t FreeLoopbackPort() {
  struct Fd {
    int fd;
    ~Fd() {
      if (fd >= 0) ::close(fd);
    }
  } probe{::socket(AF_INET, SOCK_DGRAM, 0)};
  if (probe.fd < 0) throw std::runtime_error("socket() failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(probe.fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::getsockname(probe.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free loopback port");
  }
  return ntohs(address.sin_port);
}

// Pixel p is p * 7 + 1 (UInt16, host byte order): a wrong or shifted packet shows.
std::vector<unsigned char> PatternSample() {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(kPixels) * 2);
  for (int p = 0; p < kPixels; ++p) {
    const auto value = static_cast<std::uint16_t>(p * 7 + 1);
    std::memcpy(bytes.data() + static_cast<std::size_t>(p) * 2, &value, 2);
  }
  return bytes;
}

class OneSampleReceiver final : public vl::VeskReceiver {
 public:
  explicit OneSampleReceiver(int port) : VeskReceiver("127.0.0.1", "", port, dt::UInt16, MakeConfig()) {
    // The loop looks at its stop flag at least this often.
    SetSampleTimeout(200ms);
  }

  void HandleSampleUser(vl::SampleExtInfo& ext_info, std::vector<unsigned char>& sample) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_received) return;
      m_sample = sample;
      m_timestamp = ext_info.GetTimestamp();
      m_received = true;
    }
    m_cv.notify_all();
  }

  // True when a sample was delivered within `limit`; it is then in `sample`.
  bool WaitForSample(std::chrono::milliseconds limit, std::vector<unsigned char>& sample, double& timestamp) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, limit, [this] { return m_received; })) return false;
    sample = m_sample;
    timestamp = m_timestamp;
    return true;
  }

 private:
  static vl::ReceiverConfig MakeConfig() {
    vl::ReceiverConfig config;
    config.mtu_size = kMtu;
    config.image_width = kPixels;
    config.image_height = 1;
    config.ext_info_size = vl::SampleExtInfo::kPackedSize;
    config.socket_buffer_size = 1 << 20;
    return config;
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_received = false;
  std::vector<unsigned char> m_sample;
  double m_timestamp = 0.0;
};

// Runs the receiver's loop on a thread and stops it when going out of scope.
// The loop sets the stop flag back when it starts, so a stop that came first
// is repeated until the thread has left the loop.
class LoopThread {
 public:
  explicit LoopThread(vl::VeskReceiver& receiver)
      : m_receiver(receiver), m_thread([this] {
          m_receiver.ReceiveLoop();
          m_done = true;
        }) {}
  ~LoopThread() {
    for (int attempt = 0; attempt < 100 && !m_done; ++attempt) {
      m_receiver.StopReceiver();
      std::this_thread::sleep_for(20ms);
    }
    if (!m_done) {
      std::puts("the receive loop did not stop");
      std::_Exit(1);
    }
    m_thread.join();
  }
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

 private:
  vl::VeskReceiver& m_receiver;
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

// Streams one sample over loopback; returns the failures it saw.
int StreamOneSample() {
  const std::uint16_t port = FreeLoopbackPort();
  const std::vector<unsigned char> sent = PatternSample();
  std::vector<unsigned char> received;
  double timestamp = 0.0;
  bool arrived = false;

  OneSampleReceiver receiver(port);
  {
    LoopThread loop(receiver);
    vl::SenderConfig config;
    config.mtu_size = kMtu;
    vl::VeskSender sender("127.0.0.1", "127.0.0.1", port, dt::UInt16, kPixels, config);
    // The loop binds its socket on its own thread: samples sent before that
    // are lost, so the sample is sent again until one arrives.
    for (int attempt = 0; attempt < kSendAttempts && !arrived; ++attempt) {
      sender.SendSample(vl::SampleExtInfo(kTimestamp), sent);
      arrived = receiver.WaitForSample(kWaitPerAttempt, received, timestamp);
    }
  }
  const std::uint64_t delivered = receiver.Statistics().Get(vl::RxCount::kSamplesDelivered);

  int failures = 0;
  if (!arrived) {
    std::printf("no sample arrived on 127.0.0.1:%u\n", static_cast<unsigned>(port));
    ++failures;
  } else {
    if (received != sent) {
      std::printf("received sample differs from the one sent (%zu of %zu bytes)\n", received.size(), sent.size());
      ++failures;
    }
    if (timestamp != kTimestamp) {
      std::printf("received timestamp %f, sent %f\n", timestamp, kTimestamp);
      ++failures;
    }
    if (delivered == 0) {
      std::puts("receive statistics count no delivered sample");
      ++failures;
    }
  }
  if (failures != 0) {
    for (const std::string& line : vl::NonZeroCounterLines(receiver.StatisticsSnapshot())) {
      std::printf("  %s\n", line.c_str());
    }
  }
  return failures;
}

}  // namespace

int main() {
  int failures = 0;
  if (dt::GetDataType("uint16", true) != dt::UInt16 || dt::GetBytesPerPixel(dt::GetDataType("Double", true)) != 8) {
    std::puts("data type lookup failed");
    ++failures;
  }
  std::vector<unsigned char> packed;
  vl::SampleExtInfo(kTimestamp).Pack(packed);
  if (packed.size() != 8 || vl::SampleExtInfo(packed).GetTimestamp() != kTimestamp) {
    std::puts("SampleExtInfo round trip failed");
    ++failures;
  }
  if (vl::Logger().getName() != "vesklib") {
    std::puts("library logger has the wrong name");
    ++failures;
  }
  // Quiet library: stopping the loop gives up the sample it was waiting for,
  // which it logs as an error. A failure prints the counters instead.
  vl::Logger().setLogLevel(log4cplus::OFF_LOG_LEVEL);
  try {
    failures += StreamOneSample();
  } catch (const std::exception& error) {
    std::printf("streaming failed: %s\n", error.what());
    ++failures;
  }
  if (failures == 0) {
    std::puts("consumer: installed vesktools streams a sample");
  }
  return failures == 0 ? 0 : 1;
}
