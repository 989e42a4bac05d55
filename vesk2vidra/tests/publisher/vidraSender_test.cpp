// VidraSender against a private redis-server: entry layout, publishing
// rates, stream cap, broker loss and recovery, stop.

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/VidraSender.hpp>
#include <vesk2vidra/VidraStreamFields.hpp>
#include <vesk2vidra/VidraStreamReader.hpp>

#include <vesk_test/RedisServer.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace v = ketra::vesktools::vesk2vidra;
using ketra::fnd::datatype::DataType;
using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 6;
constexpr int kHeight = 4;

std::vector<unsigned char> Plane(int seed, int planes = 1) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(kWidth * kHeight * 2 * planes));
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<unsigned char>((seed * 17 + static_cast<int>(i)) & 0xff);
  }
  return pixels;
}

// Runs a sender's Run on a thread; stops and joins it at the end of the test.
class RunningSender {
 public:
  explicit RunningSender(v::VidraSender& sender)
      : m_sender(sender), m_thread([this] {
          m_sender.Run();
          m_returned = true;
        }) {}
  ~RunningSender() {
    m_sender.Stop();
    m_thread.join();
  }
  bool Returned() const { return m_returned; }

 private:
  v::VidraSender& m_sender;
  std::atomic<bool> m_returned{false};
  std::thread m_thread;
};

class VidraSenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vesk_test::FindRedisServer().empty()) {
      GTEST_SKIP() << "redis-server is not installed";
    }
    server = std::make_unique<vesk_test::RedisServer>();
    stream = std::string("test_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  std::shared_ptr<v::FrameExchange> Exchange() const {
    return v::AcquireFrameExchange(v::ParseBrokerUri(server->Uri()).Key(), stream);
  }
  std::unique_ptr<vesk_test::RedisServer> server;
  std::string stream;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

}  // namespace

TEST_F(VidraSenderTest, IntervalZeroPublishesEveryFrameWithItsMetadata) {
  v::VidraSender sender(kWidth, kHeight, DataType::Int16, server->Uri(), stream, 0);
  auto exchange = Exchange();
  RunningSender running(sender);
  v::VidraStreamReader reader(server->Uri(), stream);

  for (int i = 1; i <= 4; ++i) {
    auto sample = Plane(i, i == 4 ? 3 : 1);  // the last sample carries three planes
    exchange->Put(sample, 100 + i, 1000.25 + i, 2000.5 + i);
    ASSERT_TRUE(WaitFor([&] { return sender.PublishedCount() == static_cast<std::uint64_t>(i); }, 5s)) << i;
  }
  const auto entries = reader.Newest(10);
  ASSERT_EQ(entries.size(), 4u);
  for (int i = 1; i <= 4; ++i) {
    const auto& entry = entries[static_cast<std::size_t>(i - 1)];
    EXPECT_EQ(entry.fields.at(v::fields::kSampleId), std::to_string(100 + i));
    EXPECT_DOUBLE_EQ(std::stod(entry.fields.at(v::fields::kSenderTimestamp)), 1000.25 + i);
    EXPECT_DOUBLE_EQ(std::stod(entry.fields.at(v::fields::kReceiveTime)), 2000.5 + i);
    EXPECT_GT(std::stod(entry.fields.at(v::fields::kPublishTime)), 1.6e9);
    EXPECT_EQ(entry.fields.at(v::fields::kWidth), "6");
    EXPECT_EQ(entry.fields.at(v::fields::kHeight), "4");
    EXPECT_EQ(entry.fields.at(v::fields::kDepth), i == 4 ? "3" : "1");
    EXPECT_EQ(entry.fields.at(v::fields::kDataType), "256");
    EXPECT_EQ(entry.fields.at(v::fields::kDataTypeName), "Int16");
    EXPECT_EQ(entry.fields.at(v::fields::kDtype), "<i2");
    EXPECT_EQ(entry.image.shape.depth, i == 4 ? 3u : 1u);
    EXPECT_EQ(entry.image.pixels, Plane(i, i == 4 ? 3 : 1));
  }
}

TEST_F(VidraSenderTest, IntervalOnePublishesOnlyTheNewestFrameOncePerSecond) {
  v::VidraSender sender(kWidth, kHeight, DataType::Int16, server->Uri(), stream, 1);
  auto exchange = Exchange();
  const auto start = std::chrono::steady_clock::now();
  int put = 0;
  {
    RunningSender running(sender);
    // 50 frames per second for 3.5 s.
    while (std::chrono::steady_clock::now() - start < 3500ms) {
      auto sample = Plane(++put);
      exchange->Put(sample, put, -1.0, 0.0);
      std::this_thread::sleep_for(20ms);
    }
  }
  EXPECT_GT(put, 100);
  EXPECT_GE(sender.PublishedCount(), 3u);
  EXPECT_LE(sender.PublishedCount(), 4u);
  v::VidraStreamReader reader(server->Uri(), stream);
  const auto entries = reader.Newest(10);
  ASSERT_EQ(entries.size(), sender.PublishedCount());
  long long last = 0;
  for (const auto& entry : entries) {
    const long long id = std::stoll(entry.fields.at(v::fields::kSampleId));
    // About 50 frames pass between two publications: only the newest goes out.
    EXPECT_GT(id, last + 30);
    last = id;
  }
}

TEST_F(VidraSenderTest, StreamIsCappedApproximately) {
  v::VidraSender sender(kWidth, kHeight, DataType::Int16, server->Uri(), stream, 0);
  sender.SetStreamMaxLen(10);
  auto exchange = Exchange();
  RunningSender running(sender);
  for (int i = 1; i <= 400; ++i) {
    auto sample = Plane(i);
    exchange->Put(sample, i, -1.0, 0.0);
    ASSERT_TRUE(WaitFor([&] { return sender.PublishedCount() == static_cast<std::uint64_t>(i); }, 5s)) << i;
  }
  v::VidraStreamReader reader(server->Uri(), stream);
  const auto length = reader.Length();
  EXPECT_GE(length, 10);
  EXPECT_LT(length, 250) << "MAXLEN ~ must trim the stream";
  ASSERT_EQ(reader.Newest(1).size(), 1u);
  EXPECT_EQ(reader.Newest(1).front().fields.at(v::fields::kSampleId), "400");
}

TEST_F(VidraSenderTest, KeepsRunningWhileTheBrokerIsAwayAndResumesWhenItIsBack) {
  v::VidraSender sender(kWidth, kHeight, DataType::Int16, server->Uri(), stream, 0);
  auto exchange = Exchange();
  RunningSender running(sender);
  std::atomic<bool> producing{true};
  std::thread producer([&] {
    for (int i = 1; producing && i < 100000; ++i) {
      auto sample = Plane(i);
      exchange->Put(sample, i, -1.0, 0.0);
      std::this_thread::sleep_for(20ms);
    }
  });
  EXPECT_TRUE(WaitFor([&] { return sender.PublishedCount() >= 3; }, 5s));
  server->Kill();
  std::this_thread::sleep_for(1500ms);
  const auto published_while_away = sender.PublishedCount();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(sender.PublishedCount(), published_while_away) << "nothing can be published without a broker";
  EXPECT_FALSE(running.Returned()) << "losing the broker must not end Run";
  server->Restart();
  EXPECT_TRUE(WaitFor([&] { return sender.PublishedCount() >= published_while_away + 3; }, 10s))
      << "publishing must resume once the broker is back";
  v::VidraStreamReader reader(server->Uri(), stream);
  EXPECT_GE(reader.Length(), 3) << "the restarted (empty) broker receives new entries";
  producing = false;
  producer.join();
}

TEST_F(VidraSenderTest, StopEndsRunPromptlyAndBadArgumentsAreRefused) {
  v::VidraSender sender(kWidth, kHeight, DataType::Int16, server->Uri(), stream, 5);
  std::atomic<bool> returned{false};
  std::thread runner([&] {
    sender.Run();
    returned = true;
  });
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  sender.Stop();
  runner.join();
  EXPECT_TRUE(returned);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  EXPECT_THROW(v::VidraSender(0, kHeight, DataType::Int16, server->Uri(), stream, 0), std::invalid_argument);
  EXPECT_THROW(v::VidraSender(kWidth, kHeight, DataType::Bool, server->Uri(), stream, 0), std::invalid_argument);
  EXPECT_THROW(v::VidraSender(kWidth, kHeight, DataType::Int16, server->Uri(), "", 0), std::invalid_argument);
  const int closed = vesk_test::FreeTcpPort();
  try {
    v::VidraSender unreachable(kWidth, kHeight, DataType::Int16, "redis://:pw@127.0.0.1:" + std::to_string(closed),
                               stream, 0);
    FAIL() << "constructed against a closed port";
  } catch (const v::BrokerConnectionError& e) {
    EXPECT_NE(std::string(e.what()).find("redis://:***@127.0.0.1:" + std::to_string(closed)), std::string::npos)
        << e.what();
  }
}
