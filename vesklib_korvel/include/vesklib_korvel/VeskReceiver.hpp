#pragma once
// Receiving end of a VESK stream. Programs derive from it and implement
// HandleSampleUser; ReceiveLoop runs on a thread of the program's.

#include <ketra/fnd/datatype/DataType.hpp>
#include <vesklib_korvel/ReceiveStatistics.hpp>
#include <vesklib_korvel/SampleExtInfo.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The transport stays private to the library: only the library's sources see
// these types whole.
namespace korvel {
class UdpRxSocket;
namespace dunmo {
class Receiver;
}
namespace vesk {
class Receiver;
}
}  // namespace korvel

namespace ketra::vesktools::vesklib_korvel {

using ketra::fnd::datatype::DataType;

namespace detail {
class LeaderHints;
}

struct ReceiverConfig {
  std::uint64_t socket_buffer_size = 16777216;
  std::int32_t topic_id = 10;
  std::uint16_t mtu_size = 9000;
  std::int32_t image_width = 0;
  std::int32_t image_height = 0;
  std::uint16_t ext_info_size = 0;
  // Handed to the packet layer. Bit 0 set: receive one datagram per system
  // call; clear (default): runs of payloads are received in batches.
  // Bit 1 set: do not ask the kernel to join datagrams of the stream into one
  // buffer (UDP GRO); clear (default): it joins them where it can, which
  // spares the sending host most of its per-datagram work on loopback and
  // costs the receiver one copy of each payload into its place.
  std::uint8_t packet_layer_option = 0;
  // Largest sample memory is reserved for; a leader announcing more is given
  // up. 0: what this receiver's packets can carry (65533 payloads of
  // mtu_size - 96 bytes), at most 1 GiB.
  std::uint64_t max_sample_bytes = 0;
};

class VeskReceiver {
 public:
  // Throws std::invalid_argument for a pixel type without a fixed size or an
  // mtu_size that leaves no pixel room.
  VeskReceiver(const std::string& address, const std::string& netif, int port, DataType data_type,
               const ReceiverConfig& config);
  virtual ~VeskReceiver();
  VeskReceiver(const VeskReceiver&) = delete;
  VeskReceiver& operator=(const VeskReceiver&) = delete;

  // Builds (or rebuilds) the network stack and sets s_execute. A failure is
  // logged and ends the process with status 1.
  void Initialise();

  // Receives one sample into `sample` within `timeout`: true when complete,
  // false when given up or when no sample began (GetLastSampleEnd() tells
  // which); throws for transport errors and inconsistent samples.
  bool ReceiveSample(SampleExtInfo& ext_info, std::vector<unsigned char>& sample, std::chrono::nanoseconds timeout);

  // How the latest ReceiveSample call (or the hook of ReceiveLoop) ended.
  enum class SampleEnd : std::uint8_t {
    kDelivered,  // a complete sample
    kGivenUp,    // a sample was lost: counted in samples_given_up and, by ReceiveLoop, as a lost frame
    kIdle,       // the timeout passed and no sample began: no datagram came, or only datagrams that
                 // cannot start a sample of this stream (another protocol or topic, the rest of an
                 // earlier sample). Counted in idle_timeouts; not a loss. In ReceiveLoop a
                 // stop also ends such a wait early (then counted nowhere).
  };
  SampleEnd GetLastSampleEnd() const { return m_last_end; }
  // In HandleSampleLost: the id of the lost sample when its leader had been
  // accepted; empty when it was lost before (leaders refused, or a refused
  // leader whose id is not trusted).
  std::optional<std::uint32_t> GetLostSampleId() const;

  // Receives and hands samples to HandleSampleUser until s_execute is false.
  void ReceiveLoop();
  // Clears s_execute and waits until this receiver's loop (if running) ended:
  // at once when it waits for a leader, after the sample it is receiving
  // otherwise.
  virtual void StopReceiver();

  // Time ReceiveLoop allows for each sample (10 s unless changed). Set it
  // before the loop starts.
  static constexpr std::chrono::nanoseconds kDefaultSampleTimeout = std::chrono::seconds(10);
  void SetSampleTimeout(std::chrono::nanoseconds timeout) { m_sample_timeout = timeout; }
  std::chrono::nanoseconds GetSampleTimeout() const { return m_sample_timeout; }

  // UDP port the built stack listens on (useful when the configured port is
  // 0); 0 while no stack is built. For the thread that runs the receiver.
  std::uint16_t GetLocalPort() const;

  // Samples ReceiveLoop gave up (waits in which no sample began are not
  // among them).
  std::int64_t GetLostFramesCount() const { return m_lost_frames; }

  // Counters of this receiver, readable from any thread at any time.
  const ReceiveStatistics& Statistics() const noexcept { return m_statistics; }
  ReceiveStatistics::Snapshot StatisticsSnapshot() const { return m_statistics.Take(); }
  // ReceiveLoop logs the non-zero counters at INFO once per `interval`
  // (checked after every sample; 0, the default, never). Set it before the
  // loop starts.
  void SetStatisticsLogInterval(std::chrono::nanoseconds interval) { m_statistics_log_interval = interval; }
  std::int64_t GetSampleId() const { return m_sample_id; }
  DataType GetDataType() const { return m_data_type; }
  ReceiverConfig GetConfig() const { return m_rcvr_cfg; }

  // Receive loops of the process run while this is true.
  static std::atomic<bool> s_execute;

  // Called by ReceiveLoop, on its thread, once per complete sample.
  virtual void HandleSampleUser(SampleExtInfo& ext_info, std::vector<unsigned char>& sample) = 0;

  // Called by ReceiveLoop, on its thread, right after a sample was given up
  // and counted in GetLostFramesCount() (never for a wait in which no sample
  // began). Does nothing unless overridden; like HandleSampleUser it must not
  // call StopReceiver.
  virtual void HandleSampleLost() {}

 private:
  std::string m_address;
  std::string m_netif;
  int m_port;
  DataType m_data_type;
  std::int8_t m_bpp;
  ReceiverConfig m_rcvr_cfg;
  // Tells once about a sender set up differently (pixel type, MTU).
  std::unique_ptr<detail::LeaderHints> m_leader_hints;
  std::unique_ptr<::korvel::vesk::Receiver> m_vesk_receiver;
  std::int64_t m_lost_frames = 0;
  std::uint32_t m_sample_id = 0;
  SampleEnd m_last_end = SampleEnd::kIdle;
  bool m_last_leader_accepted = false;  // the latest sample's leader was accepted: m_sample_id names it
  std::unique_ptr<::korvel::UdpRxSocket> m_udp_socket;
  std::unique_ptr<::korvel::dunmo::Receiver> m_dunmo_receiver;
  std::atomic<bool> m_loop_running{false};
  std::mutex m_loop_mutex;
  std::condition_variable m_loop_cv;
  std::chrono::nanoseconds m_sample_timeout = kDefaultSampleTimeout;
  ReceiveStatistics m_statistics;
  std::chrono::nanoseconds m_statistics_log_interval{0};

  void SyncTransportStatistics() noexcept;
  void LogStatistics() const;
  void LogIdle(std::uint64_t datagrams_skipped) const;

  void TearDown() noexcept;
};

}  // namespace ketra::vesktools::vesklib_korvel
