// The newest-frame exchange: keeps only the newest frame, swaps buffers,
// and holds up under a fast producer and a slow consumer.

#include <vesk2vidra/FrameExchange.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace v = ketra::vesktools::vesk2vidra;
using namespace std::chrono_literals;

TEST(FrameExchange, KeepsOnlyTheNewestFrameAndSwapsBuffers) {
  v::FrameExchange exchange;
  v::VidraFrame frame;
  EXPECT_FALSE(exchange.TakeNewest(frame));

  std::vector<unsigned char> sample(16, 1);
  const auto* first_buffer = sample.data();
  exchange.Put(sample, 10, 1.5, 2.5);
  EXPECT_TRUE(sample.empty()) << "the receive side gets the slot's previous (empty) buffer";
  sample.assign(16, 2);
  exchange.Put(sample, 11, 3.5, 4.5);
  EXPECT_EQ(sample.data(), first_buffer) << "the replaced frame's buffer goes back to the receiver";
  EXPECT_EQ(exchange.FramesPut(), 2u);
  EXPECT_EQ(exchange.FramesDropped(), 1u);

  ASSERT_TRUE(exchange.TakeNewest(frame));
  EXPECT_EQ(frame.sample_id, 11);
  EXPECT_EQ(frame.sequence, 2u);
  EXPECT_DOUBLE_EQ(frame.sender_timestamp, 3.5);
  EXPECT_DOUBLE_EQ(frame.receive_time, 4.5);
  EXPECT_EQ(frame.pixels, std::vector<unsigned char>(16, 2));
  EXPECT_FALSE(exchange.TakeNewest(frame)) << "a frame is taken once";
  EXPECT_EQ(exchange.WaitForNewFrame(std::chrono::steady_clock::now() + 20ms), v::FrameExchange::Wait::Timeout);
}

TEST(FrameExchange, CloseWakesWaitersAndPutStillWorks) {
  v::FrameExchange exchange;
  std::atomic<int> result{-1};
  std::thread waiter(
      [&] { result = static_cast<int>(exchange.WaitForNewFrame(std::chrono::steady_clock::now() + 10s)); });
  std::this_thread::sleep_for(50ms);
  const auto start = std::chrono::steady_clock::now();
  exchange.Close();
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(result.load(), static_cast<int>(v::FrameExchange::Wait::Closed));
  EXPECT_TRUE(exchange.WaitClosed(std::chrono::steady_clock::now()));
  std::vector<unsigned char> sample(4, 9);
  exchange.Put(sample, 1, 0, 0);
  EXPECT_EQ(exchange.FramesPut(), 1u);
}

TEST(FrameExchange, FastProducerSlowConsumerSeesIncreasingNewestFramesWithoutAllocation) {
  v::FrameExchange exchange;
  constexpr int kFrames = 20000;
  constexpr std::size_t kBytes = 4096;
  std::atomic<bool> producer_done{false};
  std::set<const unsigned char*> producer_buffers;
  std::atomic<std::int64_t> longest_put_us{0};

  std::thread producer([&] {
    std::vector<unsigned char> sample;
    for (int i = 1; i <= kFrames; ++i) {
      sample.resize(kBytes);  // the receive loop sizes its vector before each sample
      std::fill(sample.begin(), sample.end(), static_cast<unsigned char>(i & 0xff));
      producer_buffers.insert(sample.data());
      const auto t0 = std::chrono::steady_clock::now();
      exchange.Put(sample, i, i, i);
      const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
      if (took.count() > longest_put_us) {
        longest_put_us = took.count();
      }
    }
    producer_done = true;
  });

  v::VidraFrame frame;
  std::int64_t last_id = 0;
  int taken = 0;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    const bool done = producer_done.load();
    if (exchange.TakeNewest(frame)) {
      ++taken;
      ASSERT_GT(frame.sample_id, last_id) << "frames must come newest-first, never older";
      ASSERT_EQ(frame.pixels.size(), kBytes);
      ASSERT_EQ(frame.pixels.front(), static_cast<unsigned char>(frame.sample_id & 0xff));
      ASSERT_EQ(frame.pixels.back(), static_cast<unsigned char>(frame.sample_id & 0xff));
      last_id = frame.sample_id;
      std::this_thread::sleep_for(2ms);  // a slow publisher
    } else if (done) {
      break;
    }
  }
  producer.join();
  EXPECT_EQ(last_id, kFrames) << "the very last frame must still be delivered";
  EXPECT_LT(taken, kFrames) << "a slow consumer must skip frames, not queue them";
  EXPECT_EQ(exchange.FramesPut(), static_cast<std::uint64_t>(kFrames));
  EXPECT_EQ(exchange.FramesDropped(), static_cast<std::uint64_t>(kFrames - taken));
  // Three buffers circulate (receiver, slot, publisher): nothing else is allocated.
  EXPECT_LE(producer_buffers.size(), 3u);
  EXPECT_LT(longest_put_us.load(), 500000) << "the producer must never wait for the consumer";
}

TEST(FrameExchange, RegistryPairsByBrokerAndStream) {
  auto a = v::AcquireFrameExchange("h:1/0", "s");
  auto b = v::AcquireFrameExchange("h:1/0", "s");
  auto c = v::AcquireFrameExchange("h:1/0", "t");
  auto d = v::AcquireFrameExchange("h:1/1", "s");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a, d);
  a->Close();
  a.reset();
  b.reset();
  auto fresh = v::AcquireFrameExchange("h:1/0", "s");
  EXPECT_FALSE(fresh->Closed()) << "once released, a key gets a fresh exchange";
}
