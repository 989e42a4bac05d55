// vesk2vidragw as a process: end to end from a FITS cube through veskfeed,
// the gateway and Redis to vidra2fits, publishing rates, and a broker that
// dies and comes back. Every process is started by the test, talks only on
// loopback and is stopped by its PID. (Its command line is tested with the
// other programs' in vesktools_cli/tests.)

#include <vesk2vidra/VidraStreamReader.hpp>

#include <vesk_test/RedisServer.hpp>
#include <vesk_test/RunProgram.hpp>

#include <fitsio.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <thread>

namespace v = ketra::vesktools::vesk2vidra;
using namespace std::chrono_literals;
using vesk_test::ChildProcess;
using vesk_test::RunProgram;

namespace {

std::string Binary(const std::string& relative) {
  const char* dir = std::getenv("VESK_BINARY_DIR");
  const std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : VESK_BINARY_DIR_DEFAULT) + "/" + relative;
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

std::string Gateway() {
  return Binary("vesk2vidragw/vesk2vidragw");
}
std::string Feed() {
  return Binary("veskfeed/veskfeed");
}
std::string Reader() {
  return Binary("vidra2fits/vidra2fits");
}

struct Cube {
  long width = 0;
  long height = 0;
  long depth = 0;
  std::vector<short> pixels;
};

void WriteCube(const std::string& path, const Cube& cube) {
  int status = 0;
  fitsfile* file = nullptr;
  const std::string clobber = "!" + path;
  fits_create_file(&file, clobber.c_str(), &status);
  long axes[3] = {cube.width, cube.height, cube.depth};
  fits_create_img(file, SHORT_IMG, 3, axes, &status);
  fits_write_img(file, TSHORT, 1, static_cast<LONGLONG>(cube.pixels.size()), const_cast<short*>(cube.pixels.data()),
                 &status);
  fits_close_file(file, &status);
  ASSERT_EQ(status, 0) << "writing " << path;
}

Cube ReadCube(const std::string& path) {
  Cube cube;
  int status = 0;
  fitsfile* file = nullptr;
  fits_open_file(&file, path.c_str(), READONLY, &status);
  int bitpix = 0;
  int naxis = 0;
  long axes[3] = {0, 0, 0};
  fits_get_img_param(file, 3, &bitpix, &naxis, axes, &status);
  if (status == 0 && naxis == 3 && bitpix == SHORT_IMG) {
    cube.width = axes[0];
    cube.height = axes[1];
    cube.depth = axes[2];
    cube.pixels.resize(static_cast<std::size_t>(axes[0] * axes[1] * axes[2]));
    fits_read_img(file, TSHORT, 1, static_cast<LONGLONG>(cube.pixels.size()), nullptr, cube.pixels.data(), nullptr,
                  &status);
  }
  fits_close_file(file, &status);
  return cube;
}

Cube MakeCube(long width, long height, long depth) {
  Cube cube{width, height, depth, {}};
  cube.pixels.resize(static_cast<std::size_t>(width * height * depth));
  for (std::size_t i = 0; i < cube.pixels.size(); ++i) {
    cube.pixels[i] = static_cast<short>((i * 7919) % 65536 - 32768);
  }
  return cube;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

long long StreamLength(const vesk_test::RedisServer& server, const std::string& stream) {
  try {
    return v::VidraStreamReader(server.Uri(), stream).Length();
  } catch (const std::exception&) {
    return -1;
  }
}

std::unique_ptr<ChildProcess> StartGateway(int udp_port, long width, long height, const std::string& uri,
                                           const std::string& stream, const std::string& interval) {
  // Line-buffered standard output (through stdbuf) keeps the log lines of a
  // gateway that is stopped by a signal at the end of a test.
  std::vector<std::string> argv;
  if (access("/usr/bin/stdbuf", X_OK) == 0) {
    argv = {"/usr/bin/stdbuf", "-oL"};
  }
  for (const auto& arg : {Gateway(), std::string("-p"), std::to_string(udp_port), std::string("-w"),
                          std::to_string(width), std::string("-e"), std::to_string(height), std::string("-k"), uri,
                          std::string("-s"), stream, std::string("-i"), interval}) {
    argv.push_back(arg);
  }
  auto gateway = std::make_unique<ChildProcess>(argv);
  std::this_thread::sleep_for(700ms);  // time to open its socket
  return gateway;
}

class GatewayProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vesk_test::FindRedisServer().empty()) {
      GTEST_SKIP() << "redis-server is not installed";
    }
    if (Gateway().empty()) {
      GTEST_SKIP() << "vesk2vidragw is not built";
    }
  }
  void RequireFeed() {
    if (Feed().empty()) {
      GTEST_SKIP() << "veskfeed is not built";
    }
  }
};

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
  feed.Stop(SIGTERM, 5s);
  gateway->Stop(SIGTERM, 5s);
  const std::string log = gateway->Stdout();
  std::size_t lost_lines = 0;
  for (auto at = log.find("retries the broker"); at != std::string::npos; at = log.find("retries the broker", at + 1)) {
    ++lost_lines;
  }
  EXPECT_EQ(lost_lines, 1u) << "the loss of the broker is logged once:\n" << log;
}
