// A sender and a receiver that disagree on the MTU or the pixel type, with
// real 1024 x 1024 frames from VeskSender over 127.0.0.1: the receiver names
// the mismatch in one WARN line (not one per sample) together with the
// option that fixes it, and what can be received still is.

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <vesk_test/CaptureAppender.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <gtest/gtest.h>
#include <log4cplus/logger.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace vk = ketra::vesktools::vesklib_korvel;
namespace dt = ketra::fnd::datatype;

constexpr int kSide = 1024;
constexpr int kPixels = kSide * kSide;

class NullReceiver : public vk::VeskReceiver {
 public:
  using VeskReceiver::VeskReceiver;
  void HandleSampleUser(vk::SampleExtInfo&, std::vector<unsigned char>&) override {}
};

std::unique_ptr<NullReceiver> BuildReceiver(dt::DataType type, std::uint16_t mtu) {
  vk::ReceiverConfig config;
  config.mtu_size = mtu;
  config.image_width = kSide;
  config.image_height = kSide;
  config.ext_info_size = 0;
  auto receiver = std::make_unique<NullReceiver>("127.0.0.1", "", 0, type, config);
  receiver->Initialise();
  return receiver;
}

std::unique_ptr<vk::VeskSender> BuildSender(std::uint16_t port, dt::DataType type, std::uint16_t mtu) {
  vk::SenderConfig config;
  config.mtu_size = mtu;
  config.ext_info_size = 0;
  return std::make_unique<vk::VeskSender>("127.0.0.1", "127.0.0.1", port, type, kPixels, config);
}

// A frame of 16-bit pixels in native order: 65535 first, then a ramp.
std::vector<unsigned char> Frame16(unsigned seed) {
  std::vector<std::uint16_t> pixels(kPixels);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint16_t>(i * 37 + seed);
  pixels[0] = 65535;
  std::vector<unsigned char> bytes(pixels.size() * 2);
  std::memcpy(bytes.data(), pixels.data(), bytes.size());
  return bytes;
}

struct Received {
  int delivered = 0;
  int unchanged = 0;  // delivered samples equal to the frame sent
  std::vector<std::string> errors;
  std::int16_t first_pixel = 0;
};

// Calls ReceiveSample `count` times on a thread (each bounded by 3 s) while
// `send` sends on this one.
Received ReceiveWhile(vk::VeskReceiver& receiver, int count, const std::vector<unsigned char>& frame,
                      const std::function<void()>& send) {
  Received received;
  std::thread receiving([&] {
    vk::SampleExtInfo ext_info;
    std::vector<unsigned char> sample;
    for (int i = 0; i < count; ++i) {
      try {
        if (!receiver.ReceiveSample(ext_info, sample, 3s)) continue;
        ++received.delivered;
        if (sample == frame) ++received.unchanged;
        std::memcpy(&received.first_pixel, sample.data(), sizeof received.first_pixel);
      } catch (const std::exception& e) {
        received.errors.push_back(e.what());
      }
    }
  });
  send();
  receiving.join();
  return received;
}

// Sends `frame` `count` times with a pause between samples.
std::function<void()> SendFrames(vk::VeskSender& sender, const std::vector<unsigned char>& frame, int count) {
  return [&sender, &frame, count] {
    for (int i = 0; i < count; ++i) {
      sender.SendSample(vk::SampleExtInfo(), frame);
      std::this_thread::sleep_for(30ms);
    }
  };
}

class StreamMismatch : public ::testing::Test {
 protected:
  std::vector<std::string> Warnings() const { return m_log.MessagesAt(log4cplus::WARN_LOG_LEVEL); }

  const vesk_test::LogCapture m_log{vk::Logger(), log4cplus::INFO_LOG_LEVEL};
};

bool Has(const std::string& text, const std::vector<std::string>& parts) {
  for (const auto& part : parts) {
    if (text.find(part) == std::string::npos) return false;
  }
  return true;
}

// A receiver at MTU 1500 cannot take payloads cut for 9000: every sample is
// given up, and one WARN names both MTUs, both payload rooms and the option.
// A sender that states another room is a new mismatch and is named again; a
// sender at the receiver's MTU is received.
TEST_F(StreamMismatch, SenderMtuAboveTheReceiversIsNamedOnceUntilTheStatedRoomChanges) {
  auto receiver = BuildReceiver(dt::Int16, 1500);
  const auto frame = Frame16(1);

  auto jumbo = BuildSender(receiver->GetLocalPort(), dt::Int16, 9000);
  const Received at_9000 = ReceiveWhile(*receiver, 4, frame, SendFrames(*jumbo, frame, 4));
  EXPECT_EQ(at_9000.delivered, 0);
  EXPECT_EQ(at_9000.errors, std::vector<std::string>(4, "Incomplete payload received"));
  ASSERT_EQ(Warnings().size(), 1u);
  const std::string warning = Warnings()[0];
  EXPECT_TRUE(Has(warning, {"8904 bytes", "MTU size at least 9000", "1404 bytes", "MTU size 1500", "--mtu-size"}))
      << warning;

  auto middle = BuildSender(receiver->GetLocalPort(), dt::Int16, 4000);
  const Received at_4000 = ReceiveWhile(*receiver, 2, frame, SendFrames(*middle, frame, 2));
  EXPECT_EQ(at_4000.errors.size(), 2u);
  ASSERT_EQ(Warnings().size(), 2u);
  EXPECT_TRUE(Has(Warnings()[1], {"3904 bytes", "MTU size at least 4000", "MTU size 1500"})) << Warnings()[1];

  auto matching = BuildSender(receiver->GetLocalPort(), dt::Int16, 1500);
  const Received at_1500 = ReceiveWhile(*receiver, 2, frame, SendFrames(*matching, frame, 2));
  EXPECT_EQ(at_1500.unchanged, 2) << (at_1500.errors.empty() ? "" : at_1500.errors[0]);
  EXPECT_EQ(Warnings().size(), 2u);
}

// A UInt16 stream into a receiver configured for Int16 (a smaller MTU into a
// larger one, which is received): every frame arrives unchanged and is read
// as Int16 (65535 as -1), and one WARN names both types and the fix. Senders
// that state no type (older ones) and senders of the receiver's own type are
// received silently.
TEST_F(StreamMismatch, SendersPixelTypeIsNamedOnceAndTheReceiverKeepsItsOwn) {
  auto receiver = BuildReceiver(dt::Int16, 9000);
  const std::uint16_t port = receiver->GetLocalPort();
  const auto frame = Frame16(2);

  vesk_test::SampleSpec unstated;
  unstated.packets = 2 + (kPixels * 2 + 8903) / 8904;
  unstated.pixels = kPixels;
  unstated.bytes_per_pixel = 2;
  unstated.chunk_bytes = 8904;
  unstated.payload_room = 8904;
  unstated.data = frame;
  const vesk_test::UdpPeer peer(port);
  const Received old_sender = ReceiveWhile(*receiver, 2, frame, [&] {
    for (std::uint32_t id : {1u, 2u}) {
      unstated.sample_id = id;
      peer.SendAll(vesk_test::BuildSample(unstated));
    }
  });
  EXPECT_EQ(old_sender.unchanged, 2);
  EXPECT_TRUE(Warnings().empty()) << Warnings()[0];

  auto camera = BuildSender(port, dt::UInt16, 1500);
  const Received unsigned_frames = ReceiveWhile(*receiver, 5, frame, SendFrames(*camera, frame, 5));
  EXPECT_EQ(unsigned_frames.unchanged, 5) << (unsigned_frames.errors.empty() ? "" : unsigned_frames.errors[0]);
  EXPECT_EQ(unsigned_frames.first_pixel, -1);
  EXPECT_EQ(receiver->GetDataType(), dt::Int16);
  ASSERT_EQ(Warnings().size(), 1u);
  EXPECT_TRUE(Has(Warnings()[0], {"UInt16 (512)", "Int16 (256)", "set the receiver's data type to UInt16",
                                  "--data-type", "--data_type"}))
      << Warnings()[0];

  auto same_type = BuildSender(port, dt::Int16, 9000);
  const Received signed_frames = ReceiveWhile(*receiver, 2, frame, SendFrames(*same_type, frame, 2));
  EXPECT_EQ(signed_frames.unchanged, 2);
  EXPECT_EQ(Warnings().size(), 1u);
}

}  // namespace
