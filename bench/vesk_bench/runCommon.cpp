#include "RunCommon.hpp"

#include "Pattern.hpp"
#include "Run.hpp"
#include "Stats.hpp"

#include <chronel/Chronel.hpp>
#include <ketra/fnd/time/Pacer.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace vesk_bench {

double TaiSeconds() noexcept {
  return static_cast<double>(chronel::Chronel::now().time_since_epoch().count()) / 1e9;
}

std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  ::close(fd);
  if (!ok) throw std::runtime_error("no free loopback port");
  return ntohs(addr.sin_port);
}

FrameRing::FrameRing(std::size_t frame_bytes) : m_frames(kTagCount, std::vector<unsigned char>(frame_bytes)) {
  for (std::size_t t = 0; t < m_frames.size(); ++t) FillPattern(m_frames[t], t);
}

const std::vector<unsigned char>& FrameRing::Next(std::uint64_t sequence) {
  auto& frame = m_frames[(sequence & ~kWarmUpBit) % kTagCount];
  StampSequence(frame, sequence);
  return frame;
}

void WaitUntilQuiet(const std::atomic<std::uint64_t>& count, int quiet_ms, int max_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
  std::uint64_t last = count.load();
  auto last_change = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::uint64_t now_count = count.load();
    if (now_count != last) {
      last = now_count;
      last_change = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - last_change >= std::chrono::milliseconds(quiet_ms)) {
      return;
    }
  }
}

void FinishResult(RunResult& result, const RunParams& params, std::vector<double>& latencies_us, double receiver_cpu_s,
                  double run_wall_s) {
  result.mtu = params.mtu;
  result.requested_rate = params.rate > 0 ? params.rate : 0;
  const std::uint64_t arrived = result.frames_received + result.frames_bad;
  result.frames_lost = result.frames_sent > arrived ? result.frames_sent - arrived : 0;
  if (result.send_seconds > 0) {
    result.offered_fps = static_cast<double>(result.frames_sent) / result.send_seconds;
    result.received_fps = static_cast<double>(result.frames_received) / result.send_seconds;
    result.received_gbps = result.received_fps * static_cast<double>(params.frame_bytes) * 8 / 1e9;
  }
  if (run_wall_s > 0) result.receiver_cpu_pct = 100.0 * receiver_cpu_s / run_wall_s;
  const double gb = static_cast<double>(result.frames_received) * static_cast<double>(params.frame_bytes) / 1e9;
  if (gb > 0) result.receiver_cpu_s_per_gb = receiver_cpu_s / gb;
  result.latency_p50_us = Quantile(latencies_us, 0.5);
  result.latency_p99_us = Quantile(latencies_us, 0.99);
  result.latency_max_us = Quantile(latencies_us, 1.0);
}

SendPhase RunSendPhase(const RunParams& params, const std::atomic<std::uint64_t>& warm_up,
                       const std::atomic<pid_t>& rx_tid, const std::function<bool(std::uint64_t tag)>& send) {
  using Clock = std::chrono::steady_clock;
  const auto warm_end = Clock::now() + std::chrono::seconds(5);
  for (std::uint64_t n = 0; warm_up.load() == 0 && Clock::now() < warm_end; ++n) {
    send(kWarmUpBit | n);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  SendPhase phase;
  const pid_t tid = CurrentThreadId();
  phase.machine_before = ReadMachineTicks();
  phase.rx_cpu_before = ThreadCpuSeconds(rx_tid.load());
  const double tx_cpu_before = ThreadCpuSeconds(tid);
  const auto start = Clock::now();
  // Frame n at n / rate seconds from the start: a late frame does not push
  // every later one back; a rate <= 0 never waits.
  const ketra::fnd::Pacer pacer;
  const auto end = start + std::chrono::duration<double>(params.seconds);
  const auto frames = params.rate > 0 ? static_cast<std::uint64_t>(params.rate * params.seconds) : UINT64_MAX;
  std::uint64_t n = 0;
  for (; n < frames; ++n) {
    if (params.rate <= 0 && Clock::now() >= end) break;
    if (params.rate > 0) pacer.PauseUntil(ketra::fnd::Pacer::Seconds(static_cast<double>(n) / params.rate));
    if (!send(n)) {
      phase.send_failed = true;
      break;
    }
  }
  phase.send_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  phase.frames_sent = n;
  if (phase.send_seconds > 0) {
    phase.sender_cpu_pct = 100.0 * (ThreadCpuSeconds(tid) - tx_cpu_before) / phase.send_seconds;
  }
  return phase;
}

}  // namespace vesk_bench
