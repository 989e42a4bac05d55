// Receive cost of one 2 MiB sample (1024 x 1024 16-bit pixels) through
// VeskReceiver::ReceiveSample over UDP loopback, payloads received one
// datagram per call against in batches, at MTU 9000 and 1500. Each iteration
// first queues the sample's datagrams in the receive buffer (not timed), then
// times the receive alone; the ratio table at the end compares the two.

#include <vesklib_korvel/VeskReceiver.hpp>

#include <korvel/wire/Header.hpp>

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ketra::vesktools::vesklib_korvel::DataType;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using ketra::vesktools::vesklib_korvel::SampleExtInfo;
using ketra::vesktools::vesklib_korvel::VeskReceiver;
namespace wire = korvel::wire;

constexpr std::uint32_t kPixels = 1024 * 1024;
constexpr std::uint32_t kBpp = 2;

class Sink final : public VeskReceiver {
 public:
  using VeskReceiver::VeskReceiver;
  void HandleSampleUser(SampleExtInfo&, std::vector<unsigned char>&) override {}
};

using Datagram = std::vector<std::byte>;

Datagram Header(std::uint32_t id, std::uint16_t index, std::uint16_t count, wire::PacketType type, std::uint32_t word36,
                std::uint32_t word40, std::size_t body) {
  Datagram d(wire::kHeadersSize + body, std::byte{0x3C});
  wire::StoreBe32(&d[wire::kMagicOffset], wire::kDunmoMagic);
  d[wire::kVersionOffset] = std::byte{wire::kDunmoVersion};
  d[wire::kHeaderSizeOffset] = std::byte{wire::kHeadersSize};
  wire::StoreBe32(&d[wire::kTopicIdOffset], 10);
  wire::StoreBe32(&d[wire::kSampleIdOffset], id);
  wire::StoreBe16(&d[wire::kPacketIndexOffset], index);
  wire::StoreBe16(&d[wire::kPacketCountOffset], count);
  wire::StoreBe64(&d[wire::kTimestampOffset], static_cast<std::uint64_t>(wire::kNoTimestamp));
  d[wire::kPacketTypeOffset] = std::byte{static_cast<std::uint8_t>(type)};
  d[wire::kExtInfoSizeOffset] = std::byte{0};
  d[wire::kBytesPerPixelOffset] = std::byte{kBpp};
  wire::StoreBe32(&d[wire::kPixelCountOffset], word36);
  wire::StoreBe32(&d[wire::kPayloadRoomOffset], word40);
  for (std::size_t i = wire::kDunmoReservedOffset; i < wire::kDunmoReservedOffset + 4; ++i) d[i] = std::byte{0};
  for (std::size_t i = wire::kUserValueOffset; i < wire::kHeadersSize; ++i) d[i] = std::byte{0};
  return d;
}

// The datagrams of sample `id` cut as the stream library's sender cuts it.
std::vector<Datagram> BuildSample(std::uint32_t id, int mtu) {
  const std::uint32_t room = (static_cast<std::uint32_t>(mtu) - 96) / kBpp * kBpp;
  const std::uint32_t bytes = kPixels * kBpp;
  const std::uint32_t payloads = (bytes + room - 1) / room;
  const auto count = static_cast<std::uint16_t>(payloads + 2);
  std::vector<Datagram> d{Header(id, 0, count, wire::PacketType::Leader, kPixels, room, 0)};
  for (std::uint32_t k = 1; k <= payloads; ++k) {
    const std::uint32_t size = k < payloads ? room : bytes - (payloads - 1) * room;
    d.push_back(Header(id, static_cast<std::uint16_t>(k), count, wire::PacketType::Payload, 1 + (k - 1) * room / kBpp,
                       size, size));
  }
  d.push_back(Header(id, static_cast<std::uint16_t>(count - 1), count, wire::PacketType::Trailer, kPixels, bytes, 0));
  return d;
}

void SendAll(int fd, const sockaddr_in& to, std::vector<Datagram>& sample, std::uint32_t id) {
  for (Datagram& d : sample) {
    wire::StoreBe32(&d[wire::kSampleIdOffset], id);
    if (::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(d.size())) {
      throw std::runtime_error("sendto failed");
    }
  }
}

// range(0): MTU; range(1): 1 batching on, 0 off.
void BM_ReceiveSample(benchmark::State& state) {
  const int mtu = static_cast<int>(state.range(0));
  const bool batched = state.range(1) != 0;
  ReceiverConfig config;
  config.socket_buffer_size = 32u << 20;
  config.mtu_size = static_cast<std::uint16_t>(mtu);
  config.image_width = 1024;
  config.image_height = 1024;
  config.packet_layer_option = batched ? 0 : 1;
  Sink receiver("127.0.0.1", "", 0, DataType::UInt16, config);
  receiver.Initialise();

  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(receiver.GetLocalPort());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int sndbuf = 8 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  std::vector<Datagram> sample = BuildSample(1, mtu);
  SampleExtInfo info;
  std::vector<unsigned char> bytes;
  std::uint32_t id = 1;
  std::int64_t lost = 0;
  for (auto _ : state) {
    state.PauseTiming();
    SendAll(fd, to, sample, id++);
    state.ResumeTiming();
    if (!receiver.ReceiveSample(info, bytes, 2s)) ++lost;
  }
  ::close(fd);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kPixels * kBpp));
  state.counters["lost"] = static_cast<double>(lost);
  state.SetLabel(batched ? "batched" : "one-at-a-time");
}
BENCHMARK(BM_ReceiveSample)
    ->ArgsProduct({{9000, 1500}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(0.5)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// Keeps the median CPU time of each run to print the ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> median_cpu;
  std::map<std::string, double> median_real;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median") {
        // Keyed by the arguments alone: "9000/0", "1500/1", ...
        const std::string& args = run.run_name.args;
        median_cpu[args] = run.GetAdjustedCPUTime();
        median_real[args] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nreceive of one 2 MiB sample, median (one-at-a-time / batched: above 1 means batching is faster):\n");
  std::printf("%-6s %14s %14s %8s %14s %14s %8s\n", "mtu", "single real", "batched real", "ratio", "single cpu",
              "batched cpu", "ratio");
  for (const char* mtu : {"9000", "1500"}) {
    const std::string single = std::string(mtu) + "/0";
    const std::string batch = std::string(mtu) + "/1";
    if (reporter.median_real.count(single) == 0 || reporter.median_real.count(batch) == 0) continue;
    std::printf("%-6s %12.0fus %12.0fus %8.2f %12.0fus %12.0fus %8.2f\n", mtu, reporter.median_real[single],
                reporter.median_real[batch], reporter.median_real[single] / reporter.median_real[batch],
                reporter.median_cpu[single], reporter.median_cpu[batch],
                reporter.median_cpu[single] / reporter.median_cpu[batch]);
  }
  benchmark::Shutdown();
  return 0;
}
