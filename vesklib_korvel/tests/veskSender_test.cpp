// VeskSender observed on the wire: a plain UDP socket on 127.0.0.1 receives
// what the sender's network stack sends, and the tests read the header
// fields at the offsets the packet layers write them.
//
// Send failures are provoked at the system-call boundary: this executable
// defines sendmsg, which the transport inside the library resolves to; while
// disarmed it forwards every call to the C library unchanged.

#include "udpCapture.hpp"

#include <vesklib_korvel/PacketGeometry.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <stdexcept>

namespace vk = ketra::vesktools::vesklib_korvel;
namespace dt = ketra::fnd::datatype;
namespace wire = korvel::wire;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using vesk_test::Datagram;
using vesk_test::UdpCapture;

namespace {

// Number of sendmsg calls still let through before one fails with EPERM; -1: never.
std::atomic<int> g_sends_before_failure{-1};

using SendmsgFunction = ssize_t (*)(int, const msghdr*, int);

}  // namespace

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  static const auto real = reinterpret_cast<SendmsgFunction>(dlsym(RTLD_NEXT, "sendmsg"));
  int left = g_sends_before_failure.load();
  while (left >= 0) {
    if (left == 0) {
      if (g_sends_before_failure.compare_exchange_weak(left, -1)) {
        errno = EPERM;
        return -1;
      }
    } else if (g_sends_before_failure.compare_exchange_weak(left, left - 1)) {
      break;
    }
  }
  return real(fd, message, flags);
}

namespace {

constexpr auto kWait = std::chrono::milliseconds(3000);

vk::SenderConfig Config(std::uint16_t mtu, std::uint16_t ext_info_size = 8) {
  vk::SenderConfig config;
  config.mtu_size = mtu;
  config.topic_id = 21;
  config.component_id = 4321;
  config.protocol_option = 0;
  config.ext_info_size = ext_info_size;
  return config;
}

std::vector<unsigned char> Pattern(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

std::vector<std::size_t> PayloadSizes(const std::vector<Datagram>& datagrams) {
  std::vector<std::size_t> sizes;
  for (const auto& datagram : datagrams) {
    if (datagram.Type() == wire::PacketType::Payload) sizes.push_back(datagram.BodySize());
  }
  return sizes;
}

std::vector<unsigned char> PayloadBytes(const std::vector<Datagram>& datagrams) {
  std::vector<unsigned char> bytes;
  for (const auto& datagram : datagrams) {
    if (datagram.Type() != wire::PacketType::Payload) continue;
    const auto* body = reinterpret_cast<const unsigned char*>(datagram.Body());
    bytes.insert(bytes.end(), body, body + datagram.BodySize());
  }
  return bytes;
}

std::vector<wire::PacketType> Types(const std::vector<Datagram>& datagrams) {
  std::vector<wire::PacketType> types;
  for (const auto& datagram : datagrams) types.push_back(datagram.Type());
  return types;
}

std::vector<wire::PacketType> SampleTypes(std::size_t payloads) {
  std::vector<wire::PacketType> types{wire::PacketType::Leader};
  types.insert(types.end(), payloads, wire::PacketType::Payload);
  types.push_back(wire::PacketType::Trailer);
  return types;
}

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

std::string InvalidArgumentText(vk::VeskSender& sender) {
  try {
    sender.Initialise(vk::SampleExtInfo());
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "<accepted>";
}

std::string SendFailureText(vk::VeskSender& sender, const std::vector<unsigned char>& sample) {
  try {
    sender.SendSample(vk::SampleExtInfo(1.0), sample);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "<sent>";
}

// Disarms the sendmsg failure whatever a test left behind.
struct SendFailureReset {
  ~SendFailureReset() { g_sends_before_failure = -1; }
};

}  // namespace

// 1000 pixels of 4 bytes at MTU 1500: leader with the ext info block, three
// payloads of 351 pixels (the last one short), trailer.
TEST(VeskSenderWire, ThousandInt32PixelsAt1500) {
  UdpCapture capture;
  vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), dt::Int32, 1000, Config(1500));
  const auto sample = Pattern(4000);
  const vk::SampleExtInfo ext_info(1234.5625);
  sender.SendSample(ext_info, sample);

  const auto datagrams = capture.WaitFor(5, kWait);
  ASSERT_EQ(Types(datagrams), SampleTypes(3));
  EXPECT_EQ(PayloadSizes(datagrams), (std::vector<std::size_t>{1404, 1404, 1192}));
  EXPECT_EQ(PayloadBytes(datagrams), sample);

  const Datagram& leader = datagrams[0];
  ASSERT_EQ(leader.BodySize(), 8u);
  double carried = 0;
  std::memcpy(&carried, leader.Body(), 8);
  EXPECT_EQ(carried, 1234.5625);
  EXPECT_EQ(leader.U8(wire::kExtInfoSizeOffset), 8);
  EXPECT_EQ(leader.U8(wire::kBytesPerPixelOffset), 4);
  EXPECT_EQ(leader.Be16(wire::kPacketCountOffset), 5);
  EXPECT_EQ(leader.Be32(wire::kPixelCountOffset), 1000u);
  EXPECT_EQ(leader.Be32(wire::kTopicIdOffset), 21u);
  EXPECT_EQ(leader.Be16(wire::kComponentIdOffset), 4321);

  // One sample id throughout; payload tags count pixels from 1.
  for (const auto& datagram : datagrams) EXPECT_EQ(datagram.SampleId(), leader.SampleId());
  EXPECT_EQ(datagrams[1].Be32(wire::kPayloadTagOffset), 1u);
  EXPECT_EQ(datagrams[2].Be32(wire::kPayloadTagOffset), 352u);
  EXPECT_EQ(datagrams[3].Be32(wire::kPayloadTagOffset), 703u);

  // The payloads share one time, read before the leader's; the trailer's is last.
  EXPECT_EQ(datagrams[1].Timestamp(), datagrams[2].Timestamp());
  EXPECT_EQ(datagrams[2].Timestamp(), datagrams[3].Timestamp());
  EXPECT_LE(datagrams[1].Timestamp(), leader.Timestamp());
  EXPECT_LE(leader.Timestamp(), datagrams[4].Timestamp());
  EXPECT_NE(leader.Timestamp(), wire::kNoTimestamp);
}

TEST(VeskSenderWire, WithoutExtInfoTheLeaderCarriesNothing) {
  UdpCapture capture;
  vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), dt::Int16, 702, Config(1500, 0));
  sender.SendSample(vk::SampleExtInfo(5.0), Pattern(1404));
  const auto datagrams = capture.WaitFor(3, kWait);
  ASSERT_EQ(Types(datagrams), SampleTypes(1));
  EXPECT_EQ(datagrams[0].BodySize(), 0u);
  EXPECT_EQ(datagrams[0].U8(wire::kExtInfoSizeOffset), 0);
  EXPECT_EQ(PayloadSizes(datagrams), (std::vector<std::size_t>{1404}));
}

// The payload count is fixed by the geometry: a short sample gives shorter,
// then empty payloads; bytes beyond the geometry are not sent.
TEST(VeskSenderWire, ShortAndLongSamplesKeepThePacketCount) {
  UdpCapture capture;
  vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), dt::Float, 1000, Config(1500));
  const auto short_sample = Pattern(2000);
  sender.SendSample(vk::SampleExtInfo(), short_sample);
  auto datagrams = capture.WaitFor(5, kWait);
  ASSERT_EQ(Types(datagrams), SampleTypes(3));
  EXPECT_EQ(PayloadSizes(datagrams), (std::vector<std::size_t>{1404, 596, 0}));
  EXPECT_EQ(PayloadBytes(datagrams), short_sample);

  const auto long_sample = Pattern(5000);
  sender.SendSample(vk::SampleExtInfo(), long_sample);
  datagrams = capture.WaitFor(10, kWait);
  ASSERT_EQ(datagrams.size(), 10u);
  const std::vector<Datagram> second(datagrams.begin() + 5, datagrams.end());
  ASSERT_EQ(Types(second), SampleTypes(3));
  EXPECT_EQ(PayloadSizes(second), (std::vector<std::size_t>{1404, 1404, 1404}));
  EXPECT_EQ(PayloadBytes(second), std::vector<unsigned char>(long_sample.begin(), long_sample.begin() + 4212));
  EXPECT_EQ(second[0].SampleId(), datagrams[0].SampleId() + 1);
}

// Every fixed-size pixel type at both offered MTUs sends the packet count of
// the geometry and every byte of the sample, in order; 8-byte pixels at 1500
// included (175 pixels per packet, the last packet carries the rest).
TEST(VeskSenderWire, EveryPixelTypeAtBothMtusSendsWholeSamples) {
  const std::vector<std::pair<dt::DataType, int>> types{
      {dt::Char, 1},   {dt::Byte, 1},  {dt::Int16, 2}, {dt::UInt16, 2}, {dt::Int32, 4},
      {dt::UInt32, 4}, {dt::Float, 4}, {dt::Int64, 8}, {dt::UInt64, 8}, {dt::Double, 8}};
  const int pixels = 30626;  // 175 x 175 + 1: one pixel beyond whole 8-byte packets at 1500
  for (std::uint16_t mtu : {std::uint16_t{1500}, std::uint16_t{9000}}) {
    for (const auto& [type, bpp] : types) {
      SCOPED_TRACE(testing::Message() << "type " << type << " mtu " << mtu);
      UdpCapture capture;
      vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), type, pixels, Config(mtu));
      EXPECT_EQ(sender.GetBytesPerPixel(), bpp);
      const auto geometry = vk::ComputePacketGeometry(pixels, bpp, mtu);
      const auto sample = Pattern(static_cast<std::size_t>(pixels) * static_cast<std::size_t>(bpp));
      sender.SendSample(vk::SampleExtInfo(), sample);
      const auto datagrams = capture.WaitFor(static_cast<std::size_t>(geometry.packets_per_sample), kWait);
      ASSERT_EQ(static_cast<std::int64_t>(datagrams.size()), geometry.packets_per_sample);
      EXPECT_EQ(datagrams.front().Be16(wire::kPacketCountOffset), geometry.packets_per_sample);
      EXPECT_EQ(PayloadSizes(datagrams).front(), static_cast<std::size_t>(geometry.payload_bytes_per_packet));
      EXPECT_EQ(PayloadBytes(datagrams), sample);
    }
  }
}

TEST(VeskSenderSetUp, RefusesUnsendableConfigurationsBeforeAnySocketExists) {
  const std::size_t descriptors = OpenDescriptors();
  {
    vk::VeskSender sender("127.0.0.1", "127.0.0.1", 9, dt::Int16, 100, Config(1500, 4));
    EXPECT_EQ(InvalidArgumentText(sender), "supported extended info size for leader packets are 0 and 8");
    // Refused again on every later call, and by SendSample before sending.
    EXPECT_EQ(InvalidArgumentText(sender), "supported extended info size for leader packets are 0 and 8");
    EXPECT_THROW(sender.SendSample(vk::SampleExtInfo(), Pattern(200)), std::invalid_argument);
  }
  {
    vk::VeskSender sender("127.0.0.1", "127.0.0.1", 9, dt::Int16, 0, Config(1500));
    EXPECT_THAT(InvalidArgumentText(sender), HasSubstr("got 0"));
    EXPECT_THROW(sender.SendSample(vk::SampleExtInfo(), {}), std::invalid_argument);
  }
  for (dt::DataType type : {dt::Bool, dt::Invalid, dt::Array, dt::String, dt::Complex, dt::ComplexFloat,
                            dt::ComplexDouble, dt::Bitmask, dt::Unspecified}) {
    vk::VeskSender sender("127.0.0.1", "127.0.0.1", 9, type, 100, Config(1500));
    EXPECT_EQ(sender.GetBytesPerPixel(), 0) << type;
    EXPECT_THAT(InvalidArgumentText(sender), HasSubstr("bytes per pixel 0")) << type;
  }
  {
    vk::VeskSender sender("127.0.0.1", "127.0.0.1", 9, dt::Int16, 100, Config(96));
    EXPECT_THAT(InvalidArgumentText(sender), HasSubstr("mtu_size 96"));
  }
  {
    vk::VeskSender sender("127.0.0.1", "127.0.0.1", 9, dt::Int16, 65533 * 702 + 1, Config(1500));
    EXPECT_THAT(InvalidArgumentText(sender), HasSubstr("65536 packets"));
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(VeskSenderSetUp, FirstInitialiseBuildsOneSocketAndLaterOnesNothing) {
  const std::size_t descriptors = OpenDescriptors();
  vk::VeskSender sender("127.0.0.1", "", 9, dt::UInt16, 100, Config(9000, 0));
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(sender.GetPixelsPerSample(), 100);
  sender.Initialise(vk::SampleExtInfo());
  EXPECT_EQ(OpenDescriptors(), descriptors + 1);
  sender.Initialise(vk::SampleExtInfo());
  EXPECT_EQ(OpenDescriptors(), descriptors + 1);
}

// A failing send raises the step's text; what was sent stays sent, nothing
// after the failure goes out, and the next sample is whole.
TEST(VeskSenderFailure, FailingSendsRaiseTheStepsTextAndStopTheSample) {
  SendFailureReset reset;
  UdpCapture capture;
  vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), dt::Int32, 1000, Config(1500));
  const auto sample = Pattern(4000);
  sender.Initialise(vk::SampleExtInfo());

  g_sends_before_failure = 1;  // the leader goes out, the first payload fails
  EXPECT_EQ(SendFailureText(sender, sample), "Error sending VESK Payload Packet: Operation not permitted");
  auto datagrams = capture.WaitFor(1, kWait, std::chrono::milliseconds(200));
  ASSERT_EQ(Types(datagrams), (std::vector<wire::PacketType>{wire::PacketType::Leader}));
  const std::uint32_t failed_id = datagrams[0].SampleId();

  g_sends_before_failure = 2;  // a later payload fails: no trailer either
  EXPECT_EQ(SendFailureText(sender, sample), "Error sending VESK Payload Packet: Operation not permitted");
  datagrams = capture.WaitFor(3, kWait, std::chrono::milliseconds(200));
  ASSERT_EQ(datagrams.size(), 3u);
  EXPECT_EQ(datagrams[1].Type(), wire::PacketType::Leader);
  EXPECT_EQ(datagrams[2].Type(), wire::PacketType::Payload);

  g_sends_before_failure = 0;
  EXPECT_THAT(SendFailureText(sender, sample), StartsWith("Error sending VESK Leader Packet: "));
  g_sends_before_failure = 4;
  EXPECT_THAT(SendFailureText(sender, sample), StartsWith("Error sending VESK Trailer Packet: "));

  ASSERT_EQ(SendFailureText(sender, sample), "<sent>");
  datagrams = capture.WaitFor(3 + 4 + 5, kWait);
  ASSERT_EQ(datagrams.size(), 12u);
  const std::vector<Datagram> last(datagrams.end() - 5, datagrams.end());
  EXPECT_EQ(Types(last), SampleTypes(3));
  EXPECT_EQ(PayloadBytes(last), sample);
  EXPECT_GT(last[0].SampleId(), failed_id);
}
