// vesk2vidragw's host names for the source and the broker, its socket buffer
// and its rate line, run as a process with a real redis-server.

#include "gatewayTestSupport.hpp"

#include <vesk_test/UdpReceiveBuffer.hpp>

#include <csignal>
#include <regex>

using namespace std::chrono_literals;
using namespace gateway_test;
using vesk_test::ChildProcess;
using vesk_test::RunProgram;

namespace {

class GatewayOptions : public GatewayTest {};

TEST_F(GatewayOptions, SourceAndBrokerMayBeGivenByHostName) {
  RequireFeed();
  vesk_test::RedisServer server;
  const CubeFile cube("named.fits", 16, 8, 4);
  const int udp_port = vesk_test::FreeUdpPort();
  const std::string uri = "redis://localhost:" + std::to_string(server.Port());
  auto gateway = StartGateway(udp_port, 16, 8, uri, "named", "0", {"-r", "localhost"});
  ASSERT_TRUE(gateway->Running()) << gateway->Stdout() << gateway->Stderr();
  ChildProcess feed({Feed(), "-i", cube.Path(), "-p", std::to_string(udp_port), "-q", "20", "-n", "4"});
  ASSERT_EQ(feed.Wait(20s), 0) << feed.Stderr();
  EXPECT_TRUE(WaitFor([&] { return StreamLength(server, "named") == 4; }, 10s)) << StreamLength(server, "named") << "\n"
                                                                                << gateway->Stdout();
}

TEST_F(GatewayOptions, HostsThatDoNotResolveAreStartUpErrorsNamingThem) {
  vesk_test::RedisServer server;
  const std::string port = std::to_string(vesk_test::FreeUdpPort());
  auto result =
      RunProgram({Gateway(), "-r", "no-such-host.invalid", "-p", port, "-w", "8", "-e", "8", "-k", server.Uri()}, 20s);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.rfind("ERROR: Cannot resolve host 'no-such-host.invalid' given for receiver ip: ", 0), 0u)
      << result.err;

  result = RunProgram(
      {Gateway(), "-p", port, "-w", "8", "-e", "8", "-k", "redis://:secret@no-such-host.invalid:6379/1"}, 20s);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.rfind("ERROR: Cannot resolve host 'no-such-host.invalid' given for broker-uri "
                             "redis://:***@no-such-host.invalid:6379/1: ",
                             0),
            0u)
      << result.err;
  EXPECT_EQ((result.out + result.err).find("secret"), std::string::npos);
  // Refused at start: no gateway was built, nothing was tried on the broker.
  EXPECT_EQ(result.out, "") << result.out;
}

TEST_F(GatewayOptions, SocketBufferOptionSizesTheKernelReceiveBuffer) {
  if (!vesk_test::HaveSs()) GTEST_SKIP() << "ss (iproute2) is not installed";
  vesk_test::RedisServer server;
  // A size below the usual net.core.rmem_max, granted to any user.
  const int udp_port = vesk_test::FreeUdpPort();
  auto gateway = StartGateway(udp_port, 16, 8, server.Uri(), "buffer", "1", {"--socket-buffer", "100000"});
  ASSERT_TRUE(gateway->Running()) << gateway->Stdout() << gateway->Stderr();
  EXPECT_EQ(vesk_test::UdpReceiveBuffer(static_cast<std::uint16_t>(udp_port)), 200000u)
      << "the kernel shows twice the size asked for";

  const auto refused = RunProgram({Gateway(), "-p", std::to_string(vesk_test::FreeUdpPort()), "-w", "8", "-e", "8",
                                   "-k", server.Uri(), "--socket-buffer", "1073741824"},
                                  20s);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err.rfind("ERROR: Invalid socket-buffer: 1073741824", 0), 0u) << refused.err;
}

TEST_F(GatewayOptions, ProgressLinesWithThePublishedRateGoToStandardError) {
  RequireFeed();
  vesk_test::RedisServer server;
  const CubeFile cube("progress.fits", 1024, 1024, 4);
  const int udp_port = vesk_test::FreeUdpPort();
  auto gateway = StartGateway(udp_port, 1024, 1024, server.Uri(), "progress", "0", {"--progress", "0.5"});
  ChildProcess feed({Feed(), "-i", cube.Path(), "-p", std::to_string(udp_port), "-q", "10", "-n", "600"});
  const std::regex line_re(
      "progress: ([0-9.]+) frames/s, ([0-9.]+) MB/s, lost \\d+, given up \\d+.*, published ([0-9.]+)/s \\(total");
  const auto rate_lines = [&] {
    const std::string err = gateway->Stderr();
    std::size_t lines = 0;
    for (auto it = std::sregex_iterator(err.begin(), err.end(), line_re); it != std::sregex_iterator(); ++it) {
      if (std::stod((*it)[1]) > 0 && std::stod((*it)[3]) > 0) ++lines;
    }
    return lines;
  };
  ASSERT_TRUE(WaitFor([&] { return rate_lines() >= 2; }, 15s)) << gateway->Stderr();
  EXPECT_EQ(gateway->Stop(SIGINT, 5s), 0) << gateway->Stderr();
  feed.Stop(SIGTERM, 5s);

  const std::string err = gateway->Stderr();
  EXPECT_EQ(Occurrences(err, "progress: whole run of "), 1u) << err;
  EXPECT_EQ(gateway->Stdout().find("frames/s"), std::string::npos) << gateway->Stdout();
  // Each frame is 2 MiB.
  for (auto it = std::sregex_iterator(err.begin(), err.end(), line_re); it != std::sregex_iterator(); ++it) {
    if (std::stod((*it)[1]) >= 5) {
      EXPECT_NEAR(std::stod((*it)[2]) / std::stod((*it)[1]), 2.097152, 0.03) << (*it)[0];
    }
  }
}

}  // namespace
