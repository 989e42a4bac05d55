// vesk2vidragw stopped as an operator stops it, by SIGINT (Ctrl-C) or SIGTERM
// sent to its PID, with a real redis-server and megapixel frames from
// veskfeed: it stops receiving and publishing, logs its final statistics
// and ends with status 0, at once when no frame is in flight; a second
// signal ends it at once.

#include "gatewayTestSupport.hpp"

#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <csignal>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using namespace gateway_test;
using vesk_test::ChildProcess;

namespace {

class GatewaySignalStop : public GatewayTest {};

// The published count of the "Final statistics" line, or -1 without one.
long long FinalPublished(const std::string& log) {
  std::smatch match;
  if (!std::regex_search(log, match, std::regex("Final statistics: published (\\d+) frame\\(s\\)"))) return -1;
  return std::stoll(match[1]);
}

TEST_F(GatewaySignalStop, SigintWhileMegapixelFramesFlowEndsWithZeroAndTheFinalCountMatchesTheStream) {
  RequireFeed();
  vesk_test::RedisServer server;
  const CubeFile cube("sigint.fits", 1024, 1024, 4);
  const int udp_port = vesk_test::FreeUdpPort();
  auto gateway = StartGateway(udp_port, 1024, 1024, server.Uri(), "sigint", "0", {"-l", "INFO"});
  ChildProcess feed({Feed(), "-i", cube.Path(), "-p", std::to_string(udp_port), "-q", "10", "-n", "600"});
  ASSERT_TRUE(WaitFor([&] { return StreamLength(server, "sigint") >= 3; }, 15s)) << gateway->Stdout();

  // Frames keep coming, so the receive loop ends with the frame it receives.
  EXPECT_EQ(gateway->Stop(SIGINT, 5s), 0) << gateway->Stdout() << gateway->Stderr();
  feed.Stop(SIGTERM, 5s);

  const std::string log = gateway->Stdout();
  EXPECT_EQ(Occurrences(log, "Final statistics: "), 1u) << log;
  // Every frame it counted is in the stream, and nothing came after the count.
  EXPECT_EQ(FinalPublished(log), StreamLength(server, "sigint")) << log;
  EXPECT_NE(log.find("samples_delivered: "), std::string::npos) << log;
  EXPECT_NE(gateway->Stderr().find("SIGINT received"), std::string::npos) << gateway->Stderr();
}

TEST_F(GatewaySignalStop, SigtermWhileTheSenderIsQuietEndsAtOnce) {
  RequireFeed();
  vesk_test::RedisServer server;
  const CubeFile cube("sigterm.fits", 1024, 1024, 4);
  const int udp_port = vesk_test::FreeUdpPort();
  // At the default log level, which leaves INFO out.
  auto gateway = StartGateway(udp_port, 1024, 1024, server.Uri(), "sigterm", "0");
  ChildProcess feed({Feed(), "-i", cube.Path(), "-p", std::to_string(udp_port), "-q", "10", "-n", "2"});
  ASSERT_EQ(feed.Wait(20s), 0) << feed.Stderr();
  ASSERT_TRUE(WaitFor([&] { return StreamLength(server, "sigterm") == 2; }, 10s)) << gateway->Stdout();

  const auto signalled = std::chrono::steady_clock::now();
  // The wait for the next sample (10 s) does not hold the stop up.
  EXPECT_EQ(gateway->Stop(SIGTERM, 15s), 0) << gateway->Stdout() << gateway->Stderr();
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 3s);
  // The final statistics reach the operator on standard error all the same.
  EXPECT_EQ(FinalPublished(gateway->Stderr()), 2) << gateway->Stderr();
  EXPECT_EQ(gateway->Stdout().find("Final statistics"), std::string::npos) << gateway->Stdout();
  EXPECT_NE(gateway->Stderr().find("SIGTERM received"), std::string::npos) << gateway->Stderr();
}

TEST_F(GatewaySignalStop, SecondSignalEndsAtOnceWithoutTheFinalStatistics) {
  vesk_test::RedisServer server;
  const int udp_port = vesk_test::FreeUdpPort();
  auto gateway = StartGateway(udp_port, 16, 8, server.Uri(), "twice", "0", {"-l", "INFO"});
  ASSERT_TRUE(gateway->Running()) << gateway->Stdout() << gateway->Stderr();
  // The leader of a 16 x 8 frame (MTU 1500, 8 bytes of ext info) and nothing
  // more: the gateway waits up to the sample timeout (10 s) for the rest,
  // and the first stop with it.
  vesk_test::SampleSpec frame;
  frame.pixels = 16 * 8;
  frame.packets = 3;
  frame.chunk_bytes = 256;
  frame.data = vesk_test::Pattern(256, 1);
  frame.ext_info_size = 8;
  frame.ext_block.assign(8, 0);
  vesk_test::UdpPeer(static_cast<std::uint16_t>(udp_port)).SendAll({vesk_test::BuildSample(frame).front()});
  std::this_thread::sleep_for(300ms);
  kill(gateway->Pid(), SIGINT);
  ASSERT_TRUE(WaitFor([&] { return gateway->Stderr().find("SIGINT received") != std::string::npos; }, 5s))
      << gateway->Stderr();
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(gateway->Running()) << "the first stop waits for the frame: " << gateway->Stdout();
  EXPECT_EQ(gateway->Stop(SIGINT, 3s), 128 + SIGINT) << gateway->Stdout();
  EXPECT_EQ(gateway->Stdout().find("Final statistics"), std::string::npos) << gateway->Stdout();
}

}  // namespace
