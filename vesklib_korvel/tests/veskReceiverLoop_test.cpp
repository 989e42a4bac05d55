// The receive loop: lost frames, a throwing hook, the shared stop flag, a
// second run after a stop, and a stack that cannot be built.

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>

#include <vesk_test/CaptureAppender.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/logger.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ketra::fnd::datatype::DataType;
using ketra::vesktools::vesklib_korvel::Logger;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using ketra::vesktools::vesklib_korvel::RxCount;
using ketra::vesktools::vesklib_korvel::SampleExtInfo;
using ketra::vesktools::vesklib_korvel::VeskReceiver;
using vesk_test::BuildSample;
using vesk_test::Datagram;
using vesk_test::SampleSpec;

// Records what the loop hands over; can be told to throw from the hook.
class LoopReceiver : public VeskReceiver {
 public:
  // `option`: the packet layer option (bit 0 set: no batched receive).
  LoopReceiver(std::uint16_t port, std::chrono::nanoseconds timeout, const std::string& address = "127.0.0.1",
               std::uint8_t option = 0)
      : VeskReceiver(address, "", port, DataType::Int16, MakeConfig(option)) {
    SetSampleTimeout(timeout);
  }

  void HandleSampleUser(SampleExtInfo&, std::vector<unsigned char>& sample) override {
    bool fail = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_ids.push_back(GetSampleId());
      m_sizes.push_back(sample.size());
      fail = m_throws_left > 0;
      if (fail) --m_throws_left;
    }
    m_cv.notify_all();
    if (fail) throw std::runtime_error("hook failed");
  }
  void HandleSampleLost() override {
    m_lost_events.fetch_add(1);
    m_cv.notify_all();
  }

  void ThrowFromHook(int times) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_throws_left = times;
  }
  bool WaitForSamples(std::size_t count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, limit, [&] { return m_ids.size() >= count; });
  }
  bool WaitForLostEvents(int count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, limit, [&] { return m_lost_events.load() >= count; });
  }
  std::vector<std::int64_t> Ids() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ids;
  }
  std::vector<std::size_t> Sizes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sizes;
  }
  int LostEvents() const { return m_lost_events.load(); }

 private:
  static ReceiverConfig MakeConfig(std::uint8_t option) {
    ReceiverConfig config;
    config.packet_layer_option = option;
    config.socket_buffer_size = 1024 * 1024;
    config.image_width = 10;
    config.image_height = 10;
    return config;
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<std::int64_t> m_ids;
  std::vector<std::size_t> m_sizes;
  int m_throws_left = 0;
  std::atomic<int> m_lost_events{0};
};

// True once something is bound to 127.0.0.1:port (the loop built its stack).
bool WaitUntilBound(std::uint16_t port, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool in_use = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno == EADDRINUSE;
    ::close(fd);
    if (in_use) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// Runs the loop of `receiver` on a thread; the destructor stops and joins it
// if the test did not.
class LoopThread {
 public:
  explicit LoopThread(VeskReceiver& receiver) : m_receiver(receiver), m_thread([&] { receiver.ReceiveLoop(); }) {}
  ~LoopThread() {
    if (m_thread.joinable()) {
      m_receiver.StopReceiver();
      m_thread.join();
    }
  }
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  // StopReceiver bounded in time, then join. False when it did not return.
  bool Stop(std::chrono::milliseconds limit = 5s) {
    auto stopping = std::async(std::launch::async, [&] { m_receiver.StopReceiver(); });
    if (stopping.wait_for(limit) != std::future_status::ready) return false;
    m_thread.join();
    return true;
  }
  // Waits for the loop to end by itself.
  bool Join(std::chrono::milliseconds limit = 5s) {
    auto joining = std::async(std::launch::async, [&] { m_thread.join(); });
    return joining.wait_for(limit) == std::future_status::ready;
  }

 private:
  VeskReceiver& m_receiver;
  std::thread m_thread;
};

// The parameter is the packet layer option: batched receive on (0) or off (1).
class ReceiveLoopTest : public ::testing::TestWithParam<std::uint8_t> {
 protected:
  std::vector<std::string> Errors() const { return m_log.MessagesAt(log4cplus::ERROR_LOG_LEVEL); }

  const vesk_test::LogCapture m_log{Logger(), log4cplus::INFO_LOG_LEVEL};
};

SampleSpec Sample(std::uint32_t id) {
  SampleSpec layout;
  layout.sample_id = id;
  layout.packets = 6;  // four payloads: a run that can be received in a batch
  layout.pixels = 100;
  layout.bytes_per_pixel = 2;
  layout.chunk_bytes = 50;
  layout.data = vesk_test::Pattern(200, id);
  return layout;
}

// Lines that begin with `start`.
std::size_t CountOf(const std::vector<std::string>& lines, const std::string& start) {
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; }));
}

// True once `receiver` has counted `count` idle timeouts (bounded in time).
bool WaitForIdleTimeouts(const VeskReceiver& receiver, std::uint64_t count, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (receiver.Statistics().Get(RxCount::kIdleTimeouts) < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A sender that is simply idle loses nothing: waits in which no datagram
// arrives are no lost frames, reach no lost-sample hook and log no ERROR.
// One INFO line marks each idle period; a sample ends the period.
TEST_P(ReceiveLoopTest, IdleWaitsAreNoLossAndLoggedOncePerIdlePeriod) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  LoopReceiver receiver(port, 100ms, "127.0.0.1", GetParam());
  LoopThread loop(receiver);
  ASSERT_TRUE(WaitUntilBound(port));
  ASSERT_TRUE(WaitForIdleTimeouts(receiver, 3));
  vesk_test::UdpPeer(port).SendAll(BuildSample(Sample(1)));
  ASSERT_TRUE(receiver.WaitForSamples(1));
  // A second idle period of three waits or more.
  ASSERT_TRUE(WaitForIdleTimeouts(receiver, receiver.Statistics().Get(RxCount::kIdleTimeouts) + 3));
  ASSERT_TRUE(loop.Stop());

  EXPECT_EQ(receiver.GetLostFramesCount(), 0);
  EXPECT_EQ(receiver.LostEvents(), 0);
  EXPECT_EQ(Errors().size(), 0u);
  EXPECT_EQ(CountOf(m_log.MessagesAt(log4cplus::INFO_LOG_LEVEL), "No VESK datagram for 0.1 s, waiting"), 2u);
  const auto& stats = receiver.Statistics();
  EXPECT_EQ(stats.Get(RxCount::kSamplesGivenUp), 0u);
  EXPECT_EQ(stats.Get(RxCount::kSamplesDelivered), 1u);
  EXPECT_FALSE(VeskReceiver::s_execute.load());
}

// Datagrams that cannot start a sample of this stream (another protocol,
// another topic, the rest of an earlier sample) leave a wait idle. Leaders of
// this stream that are refused (here: another ext info size) make a wait
// that ends without a sample one lost frame with its ERROR line.
TEST_P(ReceiveLoopTest, OnlyRefusedLeadersMakeAWaitWithoutASampleALoss) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  LoopReceiver receiver(port, 150ms, "127.0.0.1", GetParam());
  LoopThread loop(receiver);
  ASSERT_TRUE(WaitUntilBound(port));
  vesk_test::UdpPeer peer(port);
  SampleSpec other_topic = Sample(2);
  other_topic.topic_id = 11;
  peer.Send(Datagram(60, std::byte{0x5A}));
  peer.Send(BuildSample(other_topic)[0]);
  peer.Send(BuildSample(Sample(3))[1]);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(receiver.GetLostFramesCount(), 0);
  EXPECT_TRUE(Errors().empty());

  SampleSpec other_ext_info = Sample(4);
  other_ext_info.ext_info_size = 8;
  other_ext_info.ext_block.assign(8, 0);
  peer.Send(BuildSample(other_ext_info)[0]);
  ASSERT_TRUE(receiver.WaitForLostEvents(1));
  std::this_thread::sleep_for(400ms);  // idle again
  ASSERT_TRUE(loop.Stop());
  EXPECT_EQ(receiver.GetLostFramesCount(), 1);
  EXPECT_EQ(receiver.LostEvents(), 1);
  EXPECT_EQ(Errors(), (std::vector<std::string>{"Problem when receiving sample, one frame lost"}));
  EXPECT_EQ(receiver.Statistics().Get(RxCount::kLeaderTimeout), 1u);
  EXPECT_EQ(receiver.Statistics().Get(RxCount::kSamplesGivenUp), 1u);
  // One INFO line for the idle period before the loss, one for the one after.
  EXPECT_EQ(CountOf(m_log.MessagesAt(log4cplus::INFO_LOG_LEVEL), "No VESK "), 2u);
}

TEST_P(ReceiveLoopTest, ThrowingHookAndIncompleteSampleEachCostOneFrameAndTheLoopGoesOn) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  LoopReceiver receiver(port, 2s, "127.0.0.1", GetParam());
  receiver.ThrowFromHook(1);
  LoopThread loop(receiver);
  ASSERT_TRUE(WaitUntilBound(port));
  vesk_test::UdpPeer peer(port);

  peer.SendAll(BuildSample(Sample(5)));  // the hook throws on this one
  peer.SendAll(BuildSample(Sample(6)));
  ASSERT_TRUE(receiver.WaitForSamples(2));

  // A leader announcing more pixels than its one payload packet can carry.
  Datagram forged = BuildSample(Sample(7))[0];
  vesk_test::SetU32(forged, korvel::wire::kPixelCountOffset, 20000u);
  vesk_test::SetU32(forged, korvel::wire::kPayloadRoomOffset, 40000u);
  peer.Send(forged);
  peer.SendAll(BuildSample(Sample(8)));
  ASSERT_TRUE(receiver.WaitForSamples(3));
  EXPECT_EQ(receiver.LostEvents(), 2);
  const auto errors = Errors();
  ASSERT_TRUE(loop.Stop());
  // A sample awaited when the stop comes is given up as well; every lost
  // frame was reported to the lost-sample hook.
  EXPECT_EQ(receiver.GetLostFramesCount(), receiver.LostEvents());
  EXPECT_LE(receiver.GetLostFramesCount(), 3);

  EXPECT_EQ(receiver.Ids(), (std::vector<std::int64_t>{5, 6, 8}));
  EXPECT_EQ(receiver.Sizes(), (std::vector<std::size_t>{200, 200, 200}));
  EXPECT_EQ(errors,
            (std::vector<std::string>{"Error during VESK reception: Dynamic exception type: std::runtime_error\n"
                                      "std::exception::what: hook failed, one frame will be lost",
                                      "Error during VESK reception: Dynamic exception type: std::runtime_error\n"
                                      "std::exception::what: Incomplete payload received, one frame will be lost"}));
}

TEST_P(ReceiveLoopTest, StopOnOneReceiverEndsEveryLoop) {
  const std::uint16_t first_port = vesk_test::FreeUdpPort();
  const std::uint16_t second_port = vesk_test::FreeUdpPort();
  LoopReceiver first(first_port, 100ms, "127.0.0.1", GetParam());
  LoopReceiver second(second_port, 100ms, "127.0.0.1", GetParam());
  LoopThread first_loop(first);
  LoopThread second_loop(second);
  ASSERT_TRUE(WaitUntilBound(first_port));
  ASSERT_TRUE(WaitUntilBound(second_port));

  ASSERT_TRUE(first_loop.Stop());
  EXPECT_TRUE(second_loop.Join(2s)) << "the second loop did not see the shared flag";
  EXPECT_FALSE(VeskReceiver::s_execute.load());
}

TEST_P(ReceiveLoopTest, LoopRunsAgainAfterAStop) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  LoopReceiver receiver(port, 2s, "127.0.0.1", GetParam());
  {
    LoopThread loop(receiver);
    ASSERT_TRUE(WaitUntilBound(port));
    vesk_test::UdpPeer(port).SendAll(BuildSample(Sample(1)));
    ASSERT_TRUE(receiver.WaitForSamples(1));
    ASSERT_TRUE(loop.Stop());
  }
  EXPECT_FALSE(VeskReceiver::s_execute.load());
  EXPECT_EQ(receiver.GetLocalPort(), 0) << "the stack outlived the loop";

  LoopThread again(receiver);
  ASSERT_TRUE(WaitUntilBound(port));
  EXPECT_TRUE(VeskReceiver::s_execute.load());
  vesk_test::UdpPeer(port).SendAll(BuildSample(Sample(2)));
  ASSERT_TRUE(receiver.WaitForSamples(2));
  ASSERT_TRUE(again.Stop());
  EXPECT_EQ(receiver.Ids(), (std::vector<std::int64_t>{1, 2}));
  // Only samples awaited when a stop came were given up; the count is never
  // reset between runs.
  EXPECT_EQ(receiver.GetLostFramesCount(), receiver.LostEvents());
  EXPECT_LE(receiver.GetLostFramesCount(), 2);
}

TEST_P(ReceiveLoopTest, StopWithoutARunningLoopReturnsAtOnce) {
  LoopReceiver receiver(vesk_test::FreeUdpPort(), 100ms, "127.0.0.1", GetParam());
  VeskReceiver::s_execute.store(true);
  auto stopping = std::async(std::launch::async, [&] { receiver.StopReceiver(); });
  ASSERT_EQ(stopping.wait_for(1s), std::future_status::ready);
  EXPECT_FALSE(VeskReceiver::s_execute.load());
}

INSTANTIATE_TEST_SUITE_P(BatchedAndSingle, ReceiveLoopTest, ::testing::Values(std::uint8_t{0}, std::uint8_t{1}),
                         [](const ::testing::TestParamInfo<std::uint8_t>& param) {
                           return param.param == 0 ? std::string("Batched") : std::string("OneAtATime");
                         });

TEST(ReceiveLoopDeathTest, StackThatCannotBeBuiltEndsTheProcessWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  LoopReceiver receiver(0, 100ms, "not-an-address");
  EXPECT_EXIT(
      {
        Logger().addAppender(log4cplus::SharedAppenderPtr(new log4cplus::ConsoleAppender(true, true)));
        Logger().setLogLevel(log4cplus::ERROR_LOG_LEVEL);
        receiver.ReceiveLoop();
      },
      ::testing::ExitedWithCode(1), "Failed to initialize VESK receiver: .*not-an-address");
}

}  // namespace
