// End-to-end run through the library: a VeskSender on one thread, a
// VeskReceiver subclass running ReceiveLoop on another, over loopback.

#include "CpuClock.hpp"
#include "Run.hpp"
#include "RunCommon.hpp"

#include <log4cplus/logger.h>
#include <ketra/fnd/datatype/DataType.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/SampleExtInfo.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>

namespace vesk_bench {
namespace {

using ketra::fnd::datatype::DataType;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using ketra::vesktools::vesklib_korvel::SampleExtInfo;
using ketra::vesktools::vesklib_korvel::SenderConfig;
using ketra::vesktools::vesklib_korvel::VeskReceiver;
using ketra::vesktools::vesklib_korvel::VeskSender;
using Clock = std::chrono::steady_clock;

// Keeps the calling thread busy for `us` microseconds.
void SpinFor(double us) {
  const auto until = Clock::now() + std::chrono::duration<double, std::micro>(us);
  while (Clock::now() < until) {
  }
}

// Counts, verifies and times every complete sample handed over by ReceiveLoop.
class BenchReceiver final : public VeskReceiver {
 public:
  BenchReceiver(int port, const ReceiverConfig& config, const RunParams& params)
      : VeskReceiver("127.0.0.1", "", port, DataType::UInt16, config), m_params(params) {
    m_latencies_us.reserve(kMaxLatencies);
  }

  void HandleSampleUser(SampleExtInfo& ext_info, std::vector<unsigned char>& sample) override {
    const double now = TaiSeconds();
    if (sample.size() >= 8 && (ReadSequence(sample) & kWarmUpBit) != 0) {
      warm_up.fetch_add(1);
      return;
    }
    const bool ok = VerifyPattern(sample, m_params.frame_bytes, m_params.verify);
    if (m_params.rx_work_us > 0) SpinFor(m_params.rx_work_us);
    if (ok) {
      received.fetch_add(1);
      if (m_latencies_us.size() < kMaxLatencies) m_latencies_us.push_back((now - ext_info.GetTimestamp()) * 1e6);
    } else {
      bad.fetch_add(1);
    }
    handled.fetch_add(1);
  }

  std::atomic<std::uint64_t> warm_up{0};
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> bad{0};
  std::atomic<std::uint64_t> handled{0};
  // Read only after the receive thread ended.
  std::vector<double>& Latencies() { return m_latencies_us; }

 private:
  const RunParams& m_params;
  std::vector<double> m_latencies_us;
};

// The library logs every given-up sample at ERROR; a loss search provokes
// many on purpose, so the library logger is silenced while runs go on.
void SilenceLibraryLogger() {
  static std::once_flag once;
  std::call_once(once, [] { ketra::vesktools::vesklib_korvel::Logger().setLogLevel(log4cplus::OFF_LOG_LEVEL); });
}

}  // namespace

LibraryVariant LibraryVariantNamed(const std::string& name) {
  LibraryVariant v;
  v.name = name;
  if (name == "library") return v;
  if (name == "library-nogro") {
    v.coalesce = false;
  } else if (name == "library-nogso") {
    v.segmentation_offload = false;
  } else if (name == "library-single") {
    // One datagram per system call both ways.
    v.batch_send = false;
    v.segmentation_offload = false;
    v.batch_receive = false;
    v.coalesce = false;
  } else if (name == "library-spread") {
    v.spread = 1.25;
  } else {
    v.name.clear();
  }
  return v;
}

RunResult RunLibrary(const RunParams& params, const LibraryVariant& variant) {
  SilenceLibraryLogger();
  const int pixels = static_cast<int>(params.frame_bytes / 2);
  const std::uint16_t port = FreeLoopbackPort();

  ReceiverConfig rc;
  rc.mtu_size = static_cast<std::uint16_t>(params.mtu);
  rc.ext_info_size = 8;
  rc.socket_buffer_size = params.socket_buffer;
  rc.image_width = pixels;
  rc.image_height = 1;
  rc.packet_layer_option =
      static_cast<std::uint8_t>((variant.batch_receive ? 0 : 0x01) | (variant.coalesce ? 0 : 0x02));
  BenchReceiver receiver(port, rc, params);
  receiver.SetSampleTimeout(std::chrono::milliseconds(200));

  std::atomic<pid_t> rx_tid{0};
  std::thread rx_thread([&] {
    rx_tid.store(CurrentThreadId());
    receiver.ReceiveLoop();
  });

  SenderConfig sc;
  sc.mtu_size = static_cast<std::uint16_t>(params.mtu);
  sc.ext_info_size = 8;
  sc.batch_send = variant.batch_send;
  sc.segmentation_offload = variant.segmentation_offload;
  if (variant.spread > 0 && params.rate > 0) {
    // Datagram bytes of a frame: payload bytes plus 56 header bytes for each
    // of its datagrams and the leader's 8-byte block.
    const std::size_t room = static_cast<std::size_t>(params.mtu) - 96;
    const std::size_t datagrams = (params.frame_bytes + room - 1) / room + 2;
    const double frame_wire_bytes = static_cast<double>(params.frame_bytes + datagrams * 56 + 8);
    sc.rate_limit = static_cast<std::uint64_t>(variant.spread * params.rate * frame_wire_bytes);
  }
  VeskSender sender("127.0.0.1", "127.0.0.1", port, DataType::UInt16, pixels, sc);
  FrameRing ring(params.frame_bytes);
  SampleExtInfo ext_info;

  RunResult result;
  result.transport = variant.name;
  SendPhase phase;
  std::exception_ptr send_error;
  std::thread tx_thread([&] {
    try {
      phase = RunSendPhase(params, receiver.warm_up, rx_tid, [&](std::uint64_t tag) {
        sender.SendSample(ext_info.SetTimestamp(TaiSeconds()), ring.Next(tag));
        return true;
      });
    } catch (...) {
      send_error = std::current_exception();
    }
  });
  tx_thread.join();

  WaitUntilQuiet(receiver.handled, params.quiet_ms, 5000);
  const double rx_cpu_s = ThreadCpuSeconds(rx_tid.load()) - phase.rx_cpu_before;
  result.machine_busy_pct = BusyPercent(phase.machine_before, ReadMachineTicks());
  receiver.StopReceiver();
  rx_thread.join();
  if (send_error) std::rethrow_exception(send_error);
  result.frames_sent = phase.frames_sent;
  result.send_seconds = phase.send_seconds;
  result.sender_cpu_pct = phase.sender_cpu_pct;

  result.frames_received = receiver.received.load();
  result.frames_bad = receiver.bad.load();
  // Receiver CPU is taken over the sending time: the receiver keeps up or
  // drops, so the little work after the last frame left is part of that time.
  FinishResult(result, params, receiver.Latencies(), rx_cpu_s, result.send_seconds);
  return result;
}

}  // namespace vesk_bench
