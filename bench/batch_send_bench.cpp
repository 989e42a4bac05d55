// VeskSender::SendSample of a 2 MiB sample (1024 x 1024 UInt16) over UDP
// loopback to a plain drain socket, at MTU 9000 and 1500: one sendmsg per
// packet, batches through sendmmsg, and batches with UDP segmentation
// offload. Prints each mode's throughput as a ratio to one packet per call.

#include <vesklib_korvel/VeskSender.hpp>

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace vk = ketra::vesktools::vesklib_korvel;
constexpr int kPixels = 1024 * 1024;
constexpr std::size_t kSampleBytes = 2u * kPixels;
const char* const kModeNames[] = {"one sendmsg per packet", "sendmmsg batches", "sendmmsg + UDP GSO"};

// Receives and discards everything sent to its port on 127.0.0.1, on a
// thread of its own, until destroyed.
class DrainSocket {
 public:
  DrainSocket() : m_fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (m_fd < 0) throw std::runtime_error("drain socket");
    int size = 32 << 20;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
      ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(m_fd);
      throw std::runtime_error("drain bind");
    }
    socklen_t length = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~DrainSocket() {
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
  }
  DrainSocket(const DrainSocket&) = delete;
  DrainSocket& operator=(const DrainSocket&) = delete;
  int Port() const { return m_port; }
  std::uint64_t Datagrams() const { return m_datagrams.load(); }

 private:
  void Run() {
    constexpr std::size_t kBatch = 64;
    std::vector<std::byte> buffer(kBatch * 9000);
    std::vector<iovec> iovs(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (std::size_t i = 0; i < kBatch; ++i) {
      iovs[i] = {buffer.data() + i * 9000, 9000};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_iov = &iovs[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    while (!m_stop) {
      pollfd descriptor{m_fd, POLLIN, 0};
      if (::poll(&descriptor, 1, 20) <= 0) continue;
      const int got = ::recvmmsg(m_fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
      if (got > 0) m_datagrams += static_cast<std::uint64_t>(got);
    }
  }

  int m_fd;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<std::uint64_t> m_datagrams{0};
  std::thread m_thread;
};

struct Result {
  double seconds = 0;      // wall time per sample
  double cpu_seconds = 0;  // sending thread's CPU time per sample (loopback delivery included)
};

// Per-sample figures by (MTU, mode), for the ratio table.
std::map<std::pair<int, int>, Result>& Results() {
  static std::map<std::pair<int, int>, Result> results;
  return results;
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void BM_SendSample(benchmark::State& state) {
  const auto mtu = static_cast<std::uint16_t>(state.range(0));
  const auto mode = static_cast<int>(state.range(1));
  DrainSocket drain;
  vk::SenderConfig config;
  config.mtu_size = mtu;
  config.batch_send = mode >= 1;
  config.segmentation_offload = mode == 2;
  vk::VeskSender sender("127.0.0.1", "127.0.0.1", drain.Port(), ketra::fnd::datatype::UInt16, kPixels, config);
  std::vector<unsigned char> sample(kSampleBytes);
  for (std::size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * 13);
  const vk::SampleExtInfo ext_info(1.0);
  sender.SendSample(ext_info, sample);  // builds the stack outside the timing

  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = ThreadCpuSeconds();
  for (auto _ : state) sender.SendSample(ext_info, sample);
  const double cpu = ThreadCpuSeconds() - cpu_start;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double per_sample = seconds / static_cast<double>(state.iterations());
  Results()[{mtu, mode}] = Result{per_sample, cpu / static_cast<double>(state.iterations())};
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kSampleBytes));
  state.counters["Gbit/s"] = static_cast<double>(kSampleBytes) * 8 / per_sample / 1e9;
  state.counters["samples/s"] = 1 / per_sample;
  state.SetLabel(kModeNames[mode]);
}

BENCHMARK(BM_SendSample)
    ->ArgsProduct({{9000, 1500}, {0, 1, 2}})
    ->ArgNames({"mtu", "mode"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fmt::print("\nSendSample of a {} byte sample; ratios to one sendmsg per packet (higher is better):\n", kSampleBytes);
  fmt::print("  {:>4}  {:<24} {:>10} {:>8} {:>12} {:>8}\n", "MTU", "mode", "Gbit/s", "ratio", "CPU us/smp", "ratio");
  for (int mtu : {9000, 1500}) {
    const auto base = Results().find({mtu, 0});
    for (int mode = 0; mode < 3; ++mode) {
      const auto found = Results().find({mtu, mode});
      if (found == Results().end()) continue;
      const Result& r = found->second;
      const double gbit = static_cast<double>(kSampleBytes) * 8 / r.seconds / 1e9;
      const double speed = base == Results().end() ? 0 : base->second.seconds / r.seconds;
      const double cpu_gain = base == Results().end() ? 0 : base->second.cpu_seconds / r.cpu_seconds;
      fmt::print("  {:>4}  {:<24} {:10.2f} {:8.2f} {:12.0f} {:8.2f}\n", mtu, kModeNames[mode], gbit, speed,
                 r.cpu_seconds * 1e6, cpu_gain);
    }
  }
  return 0;
}
