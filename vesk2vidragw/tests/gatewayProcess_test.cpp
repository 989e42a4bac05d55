// vesk2vidragw as a process: end to end from a FITS cube through veskfeed, the gateway and Redis to vidra2fits,
// publishing rates, a broker that dies or is stopped and comes back while
// megapixel frames flow, and log lines in a redirected standard output.
// Every process is started by the test, talks only on loopback and is
// stopped by its PID. (Its command line is tested with the other programs'
// in vesktools_cli/tests.)

#include "gatewayTestSupport.hpp"

#include <csignal>

using namespace std::chrono_literals;
using namespace gateway_test;
using vesk_test::ChildProcess;
using vesk_test::RunProgram;

namespace {

class GatewayProcess : public GatewayTest {};

}  // namespace

TEST_F(GatewayProcess, FitsCubeThroughFeedGatewayRedisAndBackIsByteIdentical) {
  RequireFeed();
  if (Reader().empty()) {
    GTEST_SKIP() << "vidra2fits is not built";
  }
  vesk_test::RedisServer server;
  // 41 x 31 pixels take two payload packets at MTU 1500 (1271 pixels, not a
  // multiple of 2, so both ends agree on 702 pixels per packet).
  const Cube cube = MakeCube(41, 31, 5);
  const vesk_test::TempDir dir;
  const std::string cube_path = dir.File("cube.fits");
  WriteCube(cube_path, cube);
  const int udp_port = vesk_test::FreeUdpPort();
  auto gateway = StartGateway(udp_port, cube.width, cube.height, server.Uri(), "roundtrip", "0");
  ASSERT_TRUE(gateway->Running()) << gateway->Stdout() << gateway->Stderr();

  const auto feed = RunProgram({Feed(), "-i", cube_path, "-p", std::to_string(udp_port), "-q", "10", "-n", "5"}, 60s);
  ASSERT_EQ(feed.status, 0) << feed.err;
  ASSERT_TRUE(WaitFor([&] { return StreamLength(server, "roundtrip") >= 5; }, 10s))
      << "entries: " << StreamLength(server, "roundtrip") << "\n"
      << gateway->Stdout();

  const std::string out_path = dir.File("back.fits");
  const auto reader = RunProgram({Reader(), "-k", server.Uri(), "-s", "roundtrip", "-n", "5", "-o", out_path}, 30s);
  ASSERT_EQ(reader.status, 0) << reader.err;
  const Cube back = ReadCube(out_path);
  EXPECT_EQ(back.width, cube.width);
  EXPECT_EQ(back.height, cube.height);
  ASSERT_EQ(back.depth, cube.depth);
  EXPECT_TRUE(back.pixels == cube.pixels) << "the planes must come back byte for byte";

  EXPECT_TRUE(gateway->Running()) << "the gateway keeps running after the source ended";
  gateway->Stop(SIGTERM, 5s);
}

TEST_F(GatewayProcess, IntervalZeroPublishesEveryFrameAndOneSecondOnlyOncePerSecond) {
  RequireFeed();
  vesk_test::RedisServer server;
  const Cube cube = MakeCube(16, 8, 4);
  const vesk_test::TempDir dir;
  const std::string cube_path = dir.File("rate.fits");
  WriteCube(cube_path, cube);
  const int fast_port = vesk_test::FreeUdpPort();
  const int slow_port = vesk_test::FreeUdpPort();
  auto fast = StartGateway(fast_port, cube.width, cube.height, server.Uri(), "fast", "0");
  auto slow = StartGateway(slow_port, cube.width, cube.height, server.Uri(), "slow", "1");
  // 20 samples per second for 4 s into each gateway.
  ChildProcess feed_fast({Feed(), "-i", cube_path, "-p", std::to_string(fast_port), "-q", "20", "-n", "80"});
  ChildProcess feed_slow({Feed(), "-i", cube_path, "-p", std::to_string(slow_port), "-q", "20", "-n", "80"});
  ASSERT_TRUE(feed_fast.Wait(30s).has_value());
  ASSERT_TRUE(feed_slow.Wait(30s).has_value());
  std::this_thread::sleep_for(1200ms);
  const auto fast_count = StreamLength(server, "fast");
  const auto slow_count = StreamLength(server, "slow");
  EXPECT_GE(fast_count, 70) << "interval 0 publishes each new frame";
  EXPECT_GE(slow_count, 3) << "interval 1 publishes once per second";
  EXPECT_LE(slow_count, 7) << "interval 1 publishes once per second";
  EXPECT_TRUE(fast->Running());
  EXPECT_TRUE(slow->Running());
}

TEST_F(GatewayProcess, BrokerKilledAndRestartedWhileTheGatewayRuns) {
  RequireFeed();
  vesk_test::RedisServer server;
  const Cube cube = MakeCube(16, 8, 4);
  const vesk_test::TempDir dir;
  const std::string cube_path = dir.File("restart.fits");
  WriteCube(cube_path, cube);
  const int udp_port = vesk_test::FreeUdpPort();
  auto gateway = StartGateway(udp_port, cube.width, cube.height, server.Uri(), "restart", "0");
  // About 12 s of samples at 20 per second.
  ChildProcess feed({Feed(), "-i", cube_path, "-p", std::to_string(udp_port), "-q", "20", "-n", "240"});
  ASSERT_TRUE(WaitFor([&] { return StreamLength(server, "restart") >= 5; }, 10s)) << gateway->Stdout();

  server.Kill();
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(gateway->Running()) << "the gateway must not exit when the broker goes away";
  server.Restart();  // same port, empty data set
  EXPECT_TRUE(WaitFor([&] { return StreamLength(server, "restart") >= 5; }, 15s))
      << "publishing must resume; gateway output:\n"
      << gateway->Stdout();
  EXPECT_TRUE(gateway->Running());
  // Stopped while frames still come, its receive loop ends at once.
  gateway->Stop(SIGTERM, 5s);
  feed.Stop(SIGTERM, 5s);
  const std::string log = gateway->Stdout();
  EXPECT_EQ(Occurrences(log, "retries the broker"), 1u) << "the loss of the broker is logged once:\n" << log;
}

TEST_F(GatewayProcess, BrokerStoppedWhileMegapixelFramesFlowIsLoggedOnceAndPublishingResumes) {
  RequireFeed();
  vesk_test::RedisServer server;
  // 1024 x 1024 16-bit pixels: 2 MiB per frame, published one by one. Such a
  // command takes many writes, so a broker that goes away leaves the gateway
  // writing into a closed connection.
  const CubeFile cube("megapixel.fits", 1024, 1024, 4);
  const int udp_port = vesk_test::FreeUdpPort();
  auto gateway = StartGateway(udp_port, 1024, 1024, server.Uri(), "megapixel", "0", {"-l", "INFO"});
  // 10 frames per second, at most 60 s.
  ChildProcess feed({Feed(), "-i", cube.Path(), "-p", std::to_string(udp_port), "-q", "10", "-n", "600"});
  ASSERT_TRUE(WaitFor([&] { return StreamLength(server, "megapixel") >= 3; }, 15s)) << gateway->Stdout();

  for (int outage = 1; outage <= 2; ++outage) {
    server.Stop();
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(gateway->Running()) << "outage " << outage << ": the gateway ended with status "
                                    << gateway->Wait(0ms).value_or(-1) << " (141: SIGPIPE)\n"
                                    << gateway->Stdout();
    server.Restart();  // same port, empty data set
    ASSERT_TRUE(WaitFor([&] { return StreamLength(server, "megapixel") >= 3; }, 15s))
        << "outage " << outage << ": publishing must resume\n"
        << gateway->Stdout();
  }
  EXPECT_TRUE(gateway->Running());
  // Stopped while frames still come, its receive loop ends at once.
  gateway->Stop(SIGTERM, 5s);
  feed.Stop(SIGTERM, 5s);
  const std::string log = gateway->Stdout();
  EXPECT_EQ(Occurrences(log, "retries the broker"), 2u) << "one ERROR line per outage:\n" << log;
  EXPECT_EQ(Occurrences(log, "Reconnected to VIDRA broker"), 2u) << log;
}

TEST_F(GatewayProcess, LogLinesReachARedirectedStandardOutputAsTheyAreWritten) {
  RequireFeed();
  vesk_test::RedisServer server;
  const CubeFile cube("logged.fits", 16, 8, 4);
  const int udp_port = vesk_test::FreeUdpPort();
  // Standard output is a file, as with "vesk2vidragw ... > gateway.log".
  auto gateway = StartGateway(udp_port, 16, 8, server.Uri(), "logged", "0", {"-l", "INFO"});
  const auto logged = [&](const std::string& text) { return gateway->Stdout().find(text) != std::string::npos; };
  EXPECT_TRUE(WaitFor([&] { return logged("Starting application...") && logged("VIDRA sender connected"); }, 5s))
      << "start-up lines must be in the file while the gateway runs: '" << gateway->Stdout() << "'";

  ChildProcess feed({Feed(), "-i", cube.Path(), "-p", std::to_string(udp_port), "-q", "20", "-n", "400"});
  ASSERT_TRUE(WaitFor([&] { return StreamLength(server, "logged") >= 3; }, 10s));
  server.Kill();
  EXPECT_TRUE(WaitFor([&] { return logged("retries the broker"); }, 10s))
      << "the ERROR line of the lost broker must be in the file at once: '" << gateway->Stdout() << "'";
  ASSERT_TRUE(gateway->Running());

  // What was in the file before the stop stays, and no line is cut.
  const std::string before = gateway->Stdout();
  gateway->Stop(SIGTERM, 5s);
  feed.Stop(SIGTERM, 5s);
  const std::string after = gateway->Stdout();
  EXPECT_EQ(after.rfind(before, 0), 0u);
  EXPECT_NE(after.find("retries the broker"), std::string::npos) << after;
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), '\n');
}
