// vidra-view as a process: a private redis-server, entries published on it,
// and WebSocket clients that read what the page would get.

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/RedisConnection.hpp>
#include <vesk2vidra/VidraEncDecImage3D.hpp>
#include <vesk_test/BackgroundProgram.hpp>
#include <vesk_test/FitsTestFiles.hpp>
#include <vesk_test/Ports.hpp>
#include <vesk_test/RedisServer.hpp>
#include <vesk_test/RunProgram.hpp>
#include <vesk_test/TempDir.hpp>

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace v2v = ketra::vesktools::vesk2vidra;
using namespace std::chrono_literals;

constexpr std::uint32_t kWidth = 1024;
constexpr std::uint32_t kHeight = 1024;

std::uint16_t PixelValue(std::uint32_t x, std::uint32_t y, int sample) {
  return static_cast<std::uint16_t>(x * 3 + y * 7 + sample * 11);
}

std::string Image(int sample) {
  std::vector<std::uint16_t> pixels(std::size_t{kWidth} * kHeight);
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) pixels[std::size_t{y} * kWidth + x] = PixelValue(x, y, sample);
  }
  const auto bytes = v2v::VidraEncDecImage3D().Encode(
      kWidth, kHeight, 1, ketra::fnd::datatype::UInt16,
      std::span(reinterpret_cast<const unsigned char*>(pixels.data()), pixels.size() * 2));
  return std::string(bytes.begin(), bytes.end());
}

void Publish(const vesk_test::RedisServer& redis, int sample, const std::string& image) {
  v2v::RedisConnection connection(v2v::ParseBrokerUri(redis.Uri()), 2000ms, 5000ms);
  const std::string id = std::to_string(sample);
  connection.Command({"XADD", "vesk_stream", "MAXLEN", "~", "100", "*", "sample_id", id, "sender_timestamp",
                      "1700000000.000000", "receive_time", "1700000000.100000", "publish_time", "1700000000.200000",
                      "image", image});
}

struct Message {
  bool text = false;
  std::string data;
};

// A WebSocket client of the viewer; every wait is bounded.
class ViewClient {
 public:
  bool Connect(std::uint16_t port, std::chrono::milliseconds limit) {
    beast::error_code result = asio::error::timed_out;
    beast::get_lowest_layer(m_ws).async_connect(
        asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), [&](beast::error_code error) {
          if (error) {
            result = error;
            return;
          }
          m_ws.async_handshake("127.0.0.1", "/ws", [&](beast::error_code handshake) { result = handshake; });
        });
    Run(limit);
    return !result;
  }

  std::optional<Message> Read(std::chrono::milliseconds limit) {
    beast::flat_buffer buffer;
    std::optional<beast::error_code> result;
    m_ws.async_read(buffer, [&](beast::error_code error, std::size_t) { result = error; });
    Run(limit);
    if (!result || *result) {
      return std::nullopt;
    }
    return Message{m_ws.got_text(), beast::buffers_to_string(buffer.data())};
  }

  void Send(const std::string& text) {
    std::optional<beast::error_code> result;
    m_ws.text(true);
    m_ws.async_write(asio::buffer(text), [&](beast::error_code error, std::size_t) { result = error; });
    Run(2000ms);
  }

  // The next frame (asking for it first), or nothing within `limit`.
  std::optional<std::string> NextFrame(std::chrono::milliseconds limit) {
    Send("next");
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto message =
          Read(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
      if (!message) return std::nullopt;
      if (!message->text) return message->data;
      statuses.push_back(message->data);
    }
    return std::nullopt;
  }

  // True once a status with `state` arrives within `limit`.
  bool WaitForState(const std::string& state, std::chrono::milliseconds limit) {
    const std::string wanted = "\"state\":\"" + state + "\"";
    for (const auto& status : statuses) {
      if (status.find(wanted) != std::string::npos) return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto message =
          Read(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
      if (!message) return false;
      if (message->text) {
        statuses.push_back(message->data);
        if (message->data.find(wanted) != std::string::npos) return true;
      }
    }
    return false;
  }

  std::vector<std::string> statuses;

 private:
  // Runs the pending operation; cancels it when `limit` passes.
  void Run(std::chrono::milliseconds limit) {
    m_io.restart();
    m_io.run_for(limit);
    if (!m_io.stopped()) {
      beast::get_lowest_layer(m_ws).cancel();
      m_io.restart();
      m_io.run_for(1000ms);
    }
  }

  asio::io_context m_io;
  websocket::stream<beast::tcp_stream> m_ws{m_io};
};

struct ParsedFrame {
  std::string json;
  std::string pixels;
};

ParsedFrame ParseFrame(const std::string& message) {
  std::uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(message.at(i));
  const std::size_t at = (4 + length + 7) / 8 * 8;
  return {message.substr(4, length), message.substr(std::min(at, message.size()))};
}

bool Has(const std::string& json, const std::string& text) {
  return json.find(text) != std::string::npos;
}

// Checks the whole plane of `sample` and names the first wrong pixel.
void ExpectPixels(const std::string& pixels, int sample) {
  ASSERT_EQ(pixels.size(), std::size_t{kWidth} * kHeight * 2);
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      std::uint16_t value = 0;
      std::memcpy(&value, pixels.data() + (std::size_t{y} * kWidth + x) * 2, 2);
      ASSERT_EQ(value, PixelValue(x, y, sample)) << "pixel " << x << "," << y;
    }
  }
}

class ViewProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vesk_test::FindRedisServer().empty()) {
      GTEST_SKIP() << "redis-server is not installed";
    }
    redis = std::make_unique<vesk_test::RedisServer>();
  }

  void StartView(const std::vector<std::string>& extra = {}) {
    port = vesk_test::FreeTcpPort();
    std::vector<std::string> argv{vesk_test::ProgramPath("vidra-view", "vidra_view"), "-k",
                                  "redis://localhost:" + std::to_string(redis->Port()), "--listen",
                                  "127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    view = std::make_unique<vesk_test::BackgroundProgram>(argv, dir.File("view.log"));
    ASSERT_TRUE(view->Started());
    for (int i = 0; i < 100; ++i) {  // up to 5 s for the listening socket
      ViewClient probe;
      if (probe.Connect(port, 200ms)) return;
      std::this_thread::sleep_for(50ms);
    }
    FAIL() << "vidra-view does not listen: " << view->Output();
  }

  void TearDown() override {
    if (view) {
      EXPECT_EQ(view->Stop(5000ms), 0) << view->Output();
    }
  }

  vesk_test::TempDir dir;
  std::unique_ptr<vesk_test::RedisServer> redis;
  std::unique_ptr<vesk_test::BackgroundProgram> view;
  std::uint16_t port = 0;
};

TEST_F(ViewProcess, SendsTheNewestEntryThenEachNewOneWithItsPixels) {
  for (int sample = 1; sample <= 3; ++sample) Publish(*redis, sample, Image(sample));
  StartView();
  ViewClient client;
  ASSERT_TRUE(client.Connect(port, 2000ms));
  const auto first = client.NextFrame(5000ms);
  ASSERT_TRUE(first) << view->Output();
  const ParsedFrame parsed = ParseFrame(*first);
  EXPECT_TRUE(Has(parsed.json, R"("sample_id":"3")")) << parsed.json;  // the newest, not the history
  EXPECT_TRUE(Has(parsed.json, R"("width":1024,"height":1024)")) << parsed.json;
  EXPECT_TRUE(Has(parsed.json, R"("data_type":"UInt16")")) << parsed.json;
  EXPECT_TRUE(Has(parsed.json, R"("sender_timestamp":"1700000000.000000")")) << parsed.json;
  ExpectPixels(parsed.pixels, 3);
  EXPECT_TRUE(client.WaitForState("live", 100ms));

  Publish(*redis, 4, Image(4));
  const auto second = client.NextFrame(5000ms);
  ASSERT_TRUE(second);
  const ParsedFrame next = ParseFrame(*second);
  EXPECT_TRUE(Has(next.json, R"("sample_id":"4")")) << next.json;
  ExpectPixels(next.pixels, 4);
}

TEST_F(ViewProcess, SkipsAndCountsBadImagesAndReportsAMissingStream) {
  StartView();
  ViewClient client;
  ASSERT_TRUE(client.Connect(port, 2000ms));
  EXPECT_TRUE(client.WaitForState("no-stream", 5000ms)) << view->Output();
  client.Send("next");
  std::string broken = Image(5);
  broken[0] = 'X';
  // Paced: the viewer reads what is published while it waits, not what it missed in between.
  Publish(*redis, 5, broken);
  std::this_thread::sleep_for(300ms);
  Publish(*redis, 6, Image(6).substr(0, 1000));
  std::this_thread::sleep_for(300ms);
  Publish(*redis, 7, Image(7));
  const auto frame = client.NextFrame(5000ms);
  ASSERT_TRUE(frame) << view->Output();
  const ParsedFrame parsed = ParseFrame(*frame);
  EXPECT_TRUE(Has(parsed.json, R"("sample_id":"7")")) << parsed.json;
  EXPECT_TRUE(Has(parsed.json, R"("bad_entries":2)")) << parsed.json;
  EXPECT_TRUE(Has(view->Output(), "skipped entry with a bad image")) << view->Output();
  EXPECT_TRUE(Has(view->Output(), "does not exist on broker")) << view->Output();
}

TEST_F(ViewProcess, SurvivesABrokerRestart) {
  Publish(*redis, 1, Image(1));
  StartView();
  ViewClient client;
  ASSERT_TRUE(client.Connect(port, 2000ms));
  ASSERT_TRUE(client.NextFrame(5000ms));
  redis->Kill();
  EXPECT_TRUE(client.WaitForState("unreachable", 10000ms)) << view->Output();
  EXPECT_TRUE(Has(view->Output(), "does not answer")) << view->Output();
  redis->Restart();
  // The restarted broker has no stream until the publisher writes again.
  EXPECT_TRUE(client.WaitForState("no-stream", 10000ms)) << view->Output();
  std::optional<std::string> frame;
  for (int sample = 2; sample < 30 && !frame; ++sample) {  // until the viewer waits on the new broker
    Publish(*redis, sample, Image(sample));
    frame = client.NextFrame(500ms);
  }
  ASSERT_TRUE(frame) << view->Output();
  EXPECT_TRUE(Has(ParseFrame(*frame).json, R"("width":1024)"));
}

TEST_F(ViewProcess, RefusesClientsBeyondTheLimitUntilOneLeaves) {
  Publish(*redis, 1, Image(1));
  StartView({"--max-clients", "2"});
  ViewClient first;
  auto second = std::make_unique<ViewClient>();
  ASSERT_TRUE(first.Connect(port, 2000ms));
  ASSERT_TRUE(second->Connect(port, 2000ms));
  ViewClient third;
  EXPECT_FALSE(third.Connect(port, 2000ms));
  EXPECT_TRUE(Has(view->Output(), "client limit")) << view->Output();
  // The refusal leaves the others served.
  EXPECT_TRUE(first.NextFrame(5000ms));
  second.reset();
  bool admitted = false;
  for (int i = 0; i < 40 && !admitted; ++i) {  // the server notices the closed socket
    ViewClient fourth;
    admitted = fourth.Connect(port, 500ms);
    if (!admitted) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(admitted) << view->Output();
}

TEST_F(ViewProcess, ClientThatStopsReadingDoesNotHoldUpTheOthers) {
  Publish(*redis, 1, Image(1));
  StartView();
  ViewClient stalled;
  ViewClient reader;
  ASSERT_TRUE(stalled.Connect(port, 2000ms));
  ASSERT_TRUE(reader.Connect(port, 2000ms));
  stalled.Send("next");  // asks, then never reads again
  ASSERT_TRUE(reader.NextFrame(5000ms));
  for (int sample = 2; sample <= 6; ++sample) {
    Publish(*redis, sample, Image(sample));
    const auto frame = reader.NextFrame(5000ms);
    ASSERT_TRUE(frame) << "sample " << sample << ": " << view->Output();
    EXPECT_TRUE(Has(ParseFrame(*frame).json, "\"sample_id\":\"" + std::to_string(sample) + "\""));
  }
}

// The whole road: veskfeed sends a cube over UDP, the gateway publishes it,
// the viewer shows the newest plane.
TEST_F(ViewProcess, ShowsWhatTheGatewayPublishesFromVeskfeed) {
  constexpr long kCubeWidth = 64;
  constexpr long kCubeHeight = 32;
  constexpr long kPlanes = 4;
  std::vector<std::int16_t> values(kCubeWidth * kCubeHeight * kPlanes);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int16_t>(i * 13 % 30000 - 15000);
  const std::string cube = dir.File("cube.fits");
  vesk_test::WriteFits(cube, SHORT_IMG, {kCubeWidth, kCubeHeight, kPlanes}, TSHORT, values.data(),
                       static_cast<long long>(values.size()));
  const std::uint16_t udp_port = vesk_test::FreeUdpPort();
  vesk_test::BackgroundProgram gateway(
      {vesk_test::ProgramPath("vesk2vidragw"), "-p", std::to_string(udp_port), "-w", std::to_string(kCubeWidth), "-e",
       std::to_string(kCubeHeight), "-t", "Int16", "-k", redis->Uri(), "-i", "0"},
      dir.File("gateway.log"));
  ASSERT_TRUE(gateway.Started());
  ASSERT_TRUE(vesk_test::WaitForUdpPort(udp_port, 5000ms)) << gateway.Output();
  StartView();
  ViewClient client;
  ASSERT_TRUE(client.Connect(port, 2000ms));
  const auto feed = vesk_test::RunProgram(
      {vesk_test::ProgramPath("veskfeed"), "-i", cube, "-p", std::to_string(udp_port), "-q", "20", "-n", "8"}, 20000ms);
  ASSERT_EQ(feed.status, 0) << feed.out << feed.err;
  const auto frame = client.NextFrame(5000ms);
  ASSERT_TRUE(frame) << view->Output() << gateway.Output();
  const ParsedFrame parsed = ParseFrame(*frame);
  EXPECT_TRUE(Has(parsed.json, R"("width":64,"height":32,"depth":1,"data_type":"Int16")")) << parsed.json;
  ASSERT_EQ(parsed.pixels.size(), std::size_t{kCubeWidth * kCubeHeight * 2});
  // The frame is one plane of the cube; which one follows from its sample id.
  std::vector<std::int16_t> shown(kCubeWidth * kCubeHeight);
  std::memcpy(shown.data(), parsed.pixels.data(), parsed.pixels.size());
  bool matches_a_plane = false;
  for (long plane = 0; plane < kPlanes; ++plane) {
    matches_a_plane |= std::equal(shown.begin(), shown.end(), values.begin() + plane * kCubeWidth * kCubeHeight);
  }
  EXPECT_TRUE(matches_a_plane) << parsed.json;
  gateway.Stop(5000ms);
}

}  // namespace
