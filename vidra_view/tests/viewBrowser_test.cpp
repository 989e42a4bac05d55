// The page in a real browser: Debian's chromium, headless, against vidra-view
// on a private redis-server. Skipped where chromium is not installed.

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/RedisConnection.hpp>
#include <vesk2vidra/VidraEncDecImage3D.hpp>
#include <vesk_test/BackgroundProgram.hpp>
#include <vesk_test/Ports.hpp>
#include <vesk_test/RedisServer.hpp>
#include <vesk_test/RunProgram.hpp>
#include <vesk_test/TempDir.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace v2v = ketra::vesktools::vesk2vidra;
using namespace std::chrono_literals;

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr std::uint32_t kSize = 256;

// True once `condition` holds, checked every 50 ms up to `limit`.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

// A sky: background with a gentle gradient, a few stars, one saturated pixel.
std::vector<std::uint16_t> SkyPixels() {
  std::vector<std::uint16_t> pixels(std::size_t{kSize} * kSize);
  const double stars[][3] = {{60, 70, 9000}, {180, 40, 4000}, {128, 160, 20000}, {200, 210, 2500}, {40, 220, 6000}};
  for (std::uint32_t y = 0; y < kSize; ++y) {
    for (std::uint32_t x = 0; x < kSize; ++x) {
      double value = 1000 + 0.5 * x + ((x * 7919 + y * 104729) % 97) * 0.4;
      for (const auto& star : stars) {
        const double r2 = (x - star[0]) * (x - star[0]) + (y - star[1]) * (y - star[1]);
        value += star[2] * std::exp(-r2 / 18.0);
      }
      pixels[std::size_t{y} * kSize + x] = static_cast<std::uint16_t>(std::min(value, 65535.0));
    }
  }
  pixels[10 * kSize + 10] = 65535;
  return pixels;
}

std::string SkyImage() {
  const std::vector<std::uint16_t> pixels = SkyPixels();
  const auto bytes = v2v::VidraEncDecImage3D().Encode(
      kSize, kSize, 1, ketra::fnd::datatype::UInt16,
      std::span(reinterpret_cast<const unsigned char*>(pixels.data()), pixels.size() * 2));
  return std::string(bytes.begin(), bytes.end());
}

class ViewBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kChromium)) {
      GTEST_SKIP() << kChromium << " is not installed: the browser test is skipped (apt-get install chromium)";
    }
    if (vesk_test::FindRedisServer().empty()) {
      GTEST_SKIP() << "redis-server is not installed";
    }
    redis = std::make_unique<vesk_test::RedisServer>();
  }

  // The page's DOM after it had `budget` of (virtual) time to run, or a screenshot.
  vesk_test::ProgramResult Browse(const std::vector<std::string>& what, const std::string& query = "") {
    std::vector<std::string> argv{kChromium,
                                  "--headless",
                                  "--no-sandbox",
                                  "--disable-gpu",
                                  "--disable-background-networking",
                                  "--disable-component-update",
                                  "--disable-sync",
                                  "--no-first-run",
                                  "--user-data-dir=" + dir.File("profile-" + std::to_string(++runs)),
                                  "--window-size=1100,620",
                                  "--virtual-time-budget=4000"};
    argv.insert(argv.end(), what.begin(), what.end());
    argv.push_back("http://127.0.0.1:" + std::to_string(port) + "/" + query);
    return vesk_test::RunProgram(argv, 60000ms);
  }

  vesk_test::TempDir dir;
  std::unique_ptr<vesk_test::RedisServer> redis;
  std::uint16_t port = 0;
  int runs = 0;
};

TEST_F(ViewBrowser, ShowsTheNewestImageAndTheBrokerState) {
  {
    v2v::RedisConnection connection(v2v::ParseBrokerUri(redis->Uri()), 2000ms, 5000ms);
    const std::string image = SkyImage();
    const auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string received = std::to_string(now - 0.002);
    const std::string published = std::to_string(now);
    for (const char* sample : {"41", "42"}) {
      connection.Command({"XADD", "vesk_stream", "*", "sample_id", sample, "sender_timestamp", "-1", "receive_time",
                          received, "publish_time", published, "image", image});
    }
  }
  port = vesk_test::FreeTcpPort();
  vesk_test::BackgroundProgram view({vesk_test::ProgramPath("vidra-view", "vidra_view"), "-k", redis->Uri(), "--listen",
                                     "127.0.0.1:" + std::to_string(port)},
                                    dir.File("view.log"));
  ASSERT_TRUE(WaitFor([&] { return view.Output().find("live:") != std::string::npos; }, 5000ms)) << view.Output();

  // The readout pinned to a background pixel: its raw value, and the grey the canvas shows there.
  const auto page = Browse({"--dump-dom"}, "?at=100,120");
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_NE(page.out.find(R"(<span id="state" class="live">live</span>)"), std::string::npos) << page.out;
  EXPECT_NE(page.out.find(R"(<td id="sample_id">42</td>)"), std::string::npos) << page.out;
  EXPECT_NE(page.out.find(R"(width="256" height="256" data-sample-id="42")"), std::string::npos) << page.out;
  EXPECT_NE(page.out.find("256 × 256 UInt16"), std::string::npos) << page.out;
  // The 99.5 % limits leave out the saturated pixel and the star peaks.
  const auto hi_at = page.out.find("data-hi=\"");
  ASSERT_NE(hi_at, std::string::npos);
  const double hi = std::strtod(page.out.c_str() + hi_at + 9, nullptr);
  EXPECT_GT(hi, 1100);
  EXPECT_LT(hi, 20000);
  const auto lo_at = page.out.find("data-lo=\"");
  ASSERT_NE(lo_at, std::string::npos);
  const double lo = std::strtod(page.out.c_str() + lo_at + 9, nullptr);
  const std::uint16_t raw = SkyPixels()[120 * kSize + 100];
  EXPECT_NE(page.out.find(R"(<td id="cursor">100, 120</td>)"), std::string::npos) << page.out;
  const auto value_at = page.out.find(R"(<td id="value" data-rgb=")");
  ASSERT_NE(value_at, std::string::npos) << page.out;
  int red = -1, green = -1, blue = -1;
  unsigned shown_value = 0;
  ASSERT_EQ(std::sscanf(page.out.c_str() + value_at, R"(<td id="value" data-rgb="%d,%d,%d">%u<)", &red, &green, &blue,
                        &shown_value),
            4)
      << page.out.substr(value_at, 80);
  EXPECT_EQ(shown_value, raw);
  const double expected_grey = 255.0 * (raw - lo) / (hi - lo);
  EXPECT_NEAR(red, expected_grey, 1.5) << "lo " << lo << " hi " << hi << " raw " << raw;
  EXPECT_EQ(red, green);
  EXPECT_EQ(red, blue);

  const std::string picture = dir.File("vidra-view.png");
  const auto shot = Browse({"--screenshot=" + picture});
  ASSERT_EQ(shot.status, 0) << shot.err;
  ASSERT_TRUE(std::filesystem::exists(picture));
  EXPECT_GT(std::filesystem::file_size(picture), 10000u);
  if (const char* keep = std::getenv("VIDRA_VIEW_PICTURE")) {
    std::filesystem::copy_file(picture, keep, std::filesystem::copy_options::overwrite_existing);
  }

  redis->Kill();
  ASSERT_TRUE(WaitFor([&] { return view.Output().find("unreachable:") != std::string::npos; }, 10000ms));
  const auto away = Browse({"--dump-dom"});
  EXPECT_NE(away.out.find(R"(<span id="state" class="bad">unreachable</span>)"), std::string::npos) << away.out;
  redis->Restart();
  ASSERT_TRUE(WaitFor([&] { return view.Output().find("no-stream:") != std::string::npos; }, 10000ms));
  const auto back = Browse({"--dump-dom"});
  EXPECT_NE(back.out.find(R"(<span id="state" class="wait">no-stream</span>)"), std::string::npos) << back.out;
  EXPECT_EQ(view.Stop(5000ms), 0) << view.Output();
}

}  // namespace
