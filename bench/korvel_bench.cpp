// Per-packet cost of korvel's payload path (vesk::Sender::SendPayloadPacket
// and vesk::Receiver::ReceivePayloadPacket over UDP loopback) against plain
// sendmsg/recvmsg with the same iovec layout, and the ratio of the two.

#include <korvel/UdpRxSocket.hpp>
#include <korvel/UdpTxSocket.hpp>
#include <korvel/dunmo/Receiver.hpp>
#include <korvel/dunmo/Sender.hpp>
#include <korvel/vesk/Receiver.hpp>
#include <korvel/vesk/Sender.hpp>

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr std::uint16_t kPackets = 65535;  // long samples: leaders and trailers are rare
constexpr std::uint8_t kBpp = 4;

void BM_Korvel(benchmark::State& state) {
  const auto payload = static_cast<std::size_t>(state.range(0));
  korvel::UdpRxSocket::Config rc;
  rc.address = korvel::Ipv4("127.0.0.1");
  rc.buffer_size = 8u << 20;
  korvel::UdpRxSocket rx_socket(rc, nullptr);
  korvel::dunmo::Receiver::Config drc;
  drc.topic_id = 10;
  korvel::vesk::Receiver::Config vrc;
  vrc.bytes_per_pixel = kBpp;
  korvel::vesk::Receiver rx(
      vrc,
      korvel::vesk::Receiver::DunmoPtr(std::make_unique<korvel::dunmo::Receiver>(drc, rx_socket, nullptr).release(),
                                       std::default_delete<korvel::dunmo::Receiver>()),
      nullptr);

  korvel::UdpTxSocket::Config tc;
  tc.src_ip = korvel::Ipv4("127.0.0.1");
  tc.dest_ip = korvel::Ipv4("127.0.0.1");
  tc.dest_port = rx_socket.LocalPort();
  korvel::UdpTxSocket tx_socket(tc, nullptr);
  korvel::dunmo::Sender::Config dc;
  dc.topic_id = 10;
  dc.packets_per_sample = kPackets;
  korvel::dunmo::Sender packet_tx(dc, tx_socket, nullptr);
  const std::vector<std::byte> pattern(kBpp, std::byte{0x23});
  korvel::vesk::Sender::Config vc;
  vc.pixels_per_sample = static_cast<std::int32_t>(payload / kBpp * (kPackets - 2));
  vc.pixel_pattern = gsl::span<const std::byte>(pattern.data(), pattern.size());
  korvel::vesk::Sender tx(vc, packet_tx);

  std::vector<std::byte> data(payload, std::byte{7});
  std::vector<std::byte> out(payload);
  korvel::TxSlotArray tslots{};
  korvel::RxSlotArray rslots{};
  int left_in_sample = 0;
  std::int64_t failures = 0;
  for (auto _ : state) {
    if (left_in_sample == 0) {
      // Close the sample (when one is open) and open the next.
      if (tx.SendTrailerPacket(korvel::MakeTxIovsBuilder(tslots), std::nullopt, std::nullopt, std::nullopt) ||
          tx.SendLeaderPacket(korvel::MakeTxIovsBuilder(tslots), std::nullopt, std::nullopt, std::nullopt)) {
        state.SkipWithError("leader send failed");
        break;
      }
      // Skip the trailer of the previous sample (if any) until the leader.
      for (int i = 0; i < 4; ++i) {
        auto l = rx.ReceiveLeaderPacket(korvel::MakeRxIovsBuilder(rslots), 1s);
        if (l.packet && !l.error) break;
      }
      left_in_sample = kPackets - 2;
    }
    auto sb = korvel::MakeTxIovsBuilder(tslots);
    sb.Append(gsl::span<const std::byte>(data.data(), data.size()));
    if (tx.SendPayloadPacket(std::move(sb), std::nullopt, 0, std::nullopt, 0)) ++failures;
    auto rb = korvel::MakeRxIovsBuilder(rslots);
    rb.Append(gsl::span<std::byte>(out.data(), out.size()));
    auto r = rx.ReceivePayloadPacket(std::move(rb), 1s);
    if (r.error || !r.packet) ++failures;
    --left_in_sample;
  }
  state.counters["failures"] = static_cast<double>(failures);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload));
}

// The same work with plain system calls: one sendmsg of [32][24][payload]
// to a named destination, one non-blocking recvmsg into [56][payload][40].
void BM_Baseline(benchmark::State& state) {
  const auto payload = static_cast<std::size_t>(state.range(0));
  const int rfd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  const int tfd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int size = 8 << 20;
  ::setsockopt(rfd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(rfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(rfd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    state.SkipWithError("bind failed");
    return;
  }
  std::byte h1[32]{}, h2[24]{}, rh[96]{};
  std::vector<std::byte> data(payload, std::byte{7});
  std::vector<std::byte> out(payload);
  std::int64_t failures = 0;
  for (auto _ : state) {
    iovec sv[3] = {{h1, sizeof h1}, {h2, sizeof h2}, {data.data(), data.size()}};
    msghdr sm{};
    sm.msg_name = &addr;
    sm.msg_namelen = sizeof addr;
    sm.msg_iov = sv;
    sm.msg_iovlen = 3;
    if (::sendmsg(tfd, &sm, 0) < 0) ++failures;
    iovec rv[3] = {{rh, 56}, {out.data(), out.size()}, {rh + 56, 40}};
    msghdr rm{};
    rm.msg_iov = rv;
    rm.msg_iovlen = 3;
    ssize_t got = ::recvmsg(rfd, &rm, MSG_DONTWAIT | MSG_TRUNC);
    if (got < 0) {
      pollfd p{rfd, POLLIN, 0};
      ::poll(&p, 1, 1000);
      got = ::recvmsg(rfd, &rm, MSG_DONTWAIT | MSG_TRUNC);
    }
    if (got != static_cast<ssize_t>(56 + payload)) ++failures;
    benchmark::DoNotOptimize(rh);
  }
  ::close(rfd);
  ::close(tfd);
  state.counters["failures"] = static_cast<double>(failures);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload));
}

BENCHMARK(BM_Korvel)->Arg(8904)->Arg(1404)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_Baseline)->Arg(8904)->Arg(1404)->Repetitions(9)->ReportAggregatesOnly(true);

// Console output as usual; also keeps the median time per packet of each
// benchmark to print the korvel/baseline ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name != "median") continue;
      const std::string name = run.run_name.function_name + "/" + run.run_name.args;
      real[name] = run.GetAdjustedRealTime();
      cpu[name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> real;
  std::map<std::string, double> cpu;
};

}  // namespace

int main(int argc, char** argv) {
  // Interleave the runs of the two paths so that load from other processes
  // hits both alike; a flag on the command line still wins.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nper-packet cost, median of the repetitions (send + receive of one datagram over loopback):\n");
  std::printf("%-8s %12s %12s %8s %12s %12s %8s\n", "payload", "korvel real", "plain real", "ratio", "korvel cpu",
              "plain cpu", "ratio");
  for (const std::string size : {"8904", "1404"}) {
    const std::string k = "BM_Korvel/" + size;
    const std::string b = "BM_Baseline/" + size;
    if (reporter.real.count(k) == 0 || reporter.real.count(b) == 0) continue;
    std::printf("%-8s %10.0fns %10.0fns %8.3f %10.0fns %10.0fns %8.3f\n", size.c_str(), reporter.real[k],
                reporter.real[b], reporter.real[k] / reporter.real[b], reporter.cpu[k], reporter.cpu[b],
                reporter.cpu[k] / reporter.cpu[b]);
  }
  benchmark::Shutdown();
  return 0;
}
