// VeskSender observed on the wire: a plain UDP socket on 127.0.0.1 receives
// what the sender's network stack sends, and the tests read the header
// fields at the offsets the packet layers write them.
//
// Send failures are provoked at the system-call boundary: this executable
// defines sendmsg and sendmmsg, which the transport inside the library
// resolves to; while disarmed they forward every call to the C library
// unchanged. Every wire test runs with one sendmsg per packet, with batches
// (sendmmsg) and with batches cut by the kernel (UDP segmentation offload).

#include <vesk_test/UdpCapture.hpp>

#include <vesklib_korvel/PacketGeometry.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/udp.h>
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
using Datagram = vesk_test::CapturedDatagram;
using vesk_test::UdpCapture;

namespace {

// Number of datagrams still let through before a send fails with EPERM; -1: never.
std::atomic<int> g_sends_before_failure{-1};
// Calls seen, and messages that asked the kernel to cut them into segments.
std::atomic<int> g_sendmsg_calls{0};
std::atomic<int> g_sendmmsg_calls{0};
std::atomic<int> g_segmented_messages{0};
// Most messages one sendmmsg call sends (a partial result); 0: all.
std::atomic<unsigned> g_sendmmsg_cap{0};
// The next segmented message fails with this errno; 0: none.
std::atomic<int> g_segment_errno{0};
// A failure met after some messages of a call went out: the next call fails.
std::atomic<int> g_pending_errno{0};

using SendmsgFunction = ssize_t (*)(int, const msghdr*, int);
using SendmmsgFunction = int (*)(int, mmsghdr*, unsigned, int);

// Datagrams the kernel makes of `message`: one, or one per segment.
int DatagramsOf(const msghdr& message) {
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < message.msg_iovlen; ++i) bytes += message.msg_iov[i].iov_len;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_SEGMENT) {
      std::uint16_t size = 0;
      std::memcpy(&size, CMSG_DATA(c), sizeof size);
      if (size != 0 && bytes > size) return static_cast<int>((bytes + size - 1) / size);
    }
  }
  return 1;
}

// Takes `datagrams` from the failure budget: false when the budget runs out
// (the budget is then disarmed and the send must fail with EPERM).
bool TakeBudget(int datagrams) {
  int left = g_sends_before_failure.load();
  while (left >= 0) {
    if (left < datagrams) {
      if (g_sends_before_failure.compare_exchange_weak(left, -1)) return false;
    } else if (g_sends_before_failure.compare_exchange_weak(left, left - datagrams)) {
      break;
    }
  }
  return true;
}

}  // namespace

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  static const auto real = reinterpret_cast<SendmsgFunction>(dlsym(RTLD_NEXT, "sendmsg"));
  ++g_sendmsg_calls;
  if (!TakeBudget(DatagramsOf(*message))) {
    errno = EPERM;
    return -1;
  }
  return real(fd, message, flags);
}

// A message that would cross the failure budget ends the call: the messages
// before it are sent and counted; if it is the first, the call fails. A
// segmented message is never split, as with the kernel.
extern "C" int sendmmsg(int fd, mmsghdr* messages, unsigned count, int flags) {
  static const auto real = reinterpret_cast<SendmmsgFunction>(dlsym(RTLD_NEXT, "sendmmsg"));
  ++g_sendmmsg_calls;
  if (const int pending = g_pending_errno.exchange(0); pending != 0) {
    errno = pending;
    return -1;
  }
  const unsigned cap = g_sendmmsg_cap.load();
  if (cap != 0 && count > cap) count = cap;
  unsigned allowed = 0;
  int error = 0;
  for (; allowed < count; ++allowed) {
    const int datagrams = DatagramsOf(messages[allowed].msg_hdr);
    if (datagrams > 1) {
      const int injected = g_segment_errno.exchange(0);
      if (injected != 0) {
        error = injected;
        break;
      }
    }
    if (!TakeBudget(datagrams)) {
      error = EPERM;
      break;
    }
  }
  for (unsigned i = 0; i < allowed; ++i) {
    if (DatagramsOf(messages[i].msg_hdr) > 1) ++g_segmented_messages;
  }
  if (allowed == 0 && error != 0) {
    errno = error;
    return -1;
  }
  if (error != 0) g_pending_errno = error;
  return allowed == 0 ? 0 : real(fd, messages, allowed, flags);
}

namespace {

constexpr auto kWait = std::chrono::milliseconds(3000);

enum class Mode { Single, Batch, Segmented };

std::string ModeName(const testing::TestParamInfo<Mode>& info) {
  switch (info.param) {
    case Mode::Single:
      return "OnePacketPerCall";
    case Mode::Batch:
      return "Batches";
    case Mode::Segmented:
      return "SegmentedBatches";
  }
  return "Unknown";
}

vk::SenderConfig Config(std::uint16_t mtu, std::uint16_t ext_info_size = 8, Mode mode = Mode::Batch) {
  vk::SenderConfig config;
  config.batch_send = mode != Mode::Single;
  config.segmentation_offload = mode == Mode::Segmented;
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
  std::vector<wire::PacketType> types(payloads + 2, wire::PacketType::Payload);
  types.front() = wire::PacketType::Leader;
  types.back() = wire::PacketType::Trailer;
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

// Disarms the injected failures whatever a test left behind.
struct SendFailureReset {
  ~SendFailureReset() {
    g_sends_before_failure = -1;
    g_sendmmsg_cap = 0;
    g_segment_errno = 0;
    g_pending_errno = 0;
  }
};

class VeskSenderWire : public testing::TestWithParam<Mode> {
 protected:
  vk::SenderConfig Config(std::uint16_t mtu, std::uint16_t ext_info_size = 8) const {
    return ::Config(mtu, ext_info_size, GetParam());
  }
};
using VeskSenderFailure = VeskSenderWire;

}  // namespace

INSTANTIATE_TEST_SUITE_P(Modes, VeskSenderWire, testing::Values(Mode::Single, Mode::Batch, Mode::Segmented), ModeName);
INSTANTIATE_TEST_SUITE_P(Modes, VeskSenderFailure, testing::Values(Mode::Single, Mode::Batch, Mode::Segmented),
                         ModeName);

// 1000 pixels of 4 bytes at MTU 1500: leader with the ext info block, three
// payloads of 351 pixels (the last one short), trailer.
TEST_P(VeskSenderWire, ThousandInt32PixelsAt1500) {
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

// The leader states the stream's pixel type (its DataType value) at byte 52
// so that a receiver configured for another type can say so; payloads, also
// those cut by the kernel from one template, and the trailer carry zero
// there, and the reserved bytes stay zero everywhere.
TEST_P(VeskSenderWire, LeaderStatesThePixelTypeAndOnlyTheLeader) {
  for (const auto& [type, value] : std::vector<std::pair<dt::DataType, std::uint32_t>>{
           {dt::UInt16, 512u}, {dt::Int16, 256u}, {dt::Float, 65536u}}) {
    UdpCapture capture;
    vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), type, 3000, Config(1500));
    sender.SendSample(vk::SampleExtInfo(), Pattern(3000u * static_cast<unsigned>(dt::GetBytesPerPixel(type))));
    const std::size_t payloads = type == dt::Float ? 9 : 5;
    const auto datagrams = capture.WaitFor(payloads + 2, kWait);
    ASSERT_EQ(Types(datagrams), SampleTypes(payloads)) << value;
    EXPECT_EQ(datagrams[0].Be32(wire::kPixelTypeOffset), value);
    for (std::size_t i = 1; i < datagrams.size(); ++i) {
      EXPECT_EQ(datagrams[i].Be32(wire::kPixelTypeOffset), 0u) << "packet " << i << " of type " << value;
    }
    for (const auto& datagram : datagrams) {
      for (std::size_t at = wire::kVeskReservedOffset; at < wire::kPixelTypeOffset; ++at) EXPECT_EQ(datagram.U8(at), 0);
    }
  }
}

TEST_P(VeskSenderWire, WithoutExtInfoTheLeaderCarriesNothing) {
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
TEST_P(VeskSenderWire, ShortAndLongSamplesKeepThePacketCount) {
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
TEST_P(VeskSenderWire, EveryPixelTypeAtBothMtusSendsWholeSamples) {
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
TEST_P(VeskSenderFailure, FailingSendsRaiseTheStepsTextAndStopTheSample) {
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

  // A later payload fails: no trailer either. The three payloads are one
  // segmented message, sent whole or not at all.
  const bool whole_runs = GetParam() == Mode::Segmented;
  g_sends_before_failure = 2;
  EXPECT_EQ(SendFailureText(sender, sample), "Error sending VESK Payload Packet: Operation not permitted");
  const std::size_t partial = whole_runs ? 2u : 3u;
  datagrams = capture.WaitFor(partial, kWait, std::chrono::milliseconds(200));
  ASSERT_EQ(datagrams.size(), partial);
  EXPECT_EQ(datagrams[1].Type(), wire::PacketType::Leader);
  if (!whole_runs) {
    EXPECT_EQ(datagrams[2].Type(), wire::PacketType::Payload);
  }

  g_sends_before_failure = 0;
  EXPECT_THAT(SendFailureText(sender, sample), StartsWith("Error sending VESK Leader Packet: "));
  g_sends_before_failure = 4;
  EXPECT_THAT(SendFailureText(sender, sample), StartsWith("Error sending VESK Trailer Packet: "));

  ASSERT_EQ(SendFailureText(sender, sample), "<sent>");
  datagrams = capture.WaitFor(partial + 4 + 5, kWait);
  ASSERT_EQ(datagrams.size(), partial + 9);
  const std::vector<Datagram> last(datagrams.end() - 5, datagrams.end());
  EXPECT_EQ(Types(last), SampleTypes(3));
  EXPECT_EQ(PayloadBytes(last), sample);
  EXPECT_GT(last[0].SampleId(), failed_id);
}

// Each mode uses its system calls: a 2 MiB sample at MTU 9000 (236 payloads)
// as 238 sendmsg calls, as leader + 4 sendmmsg batches + trailer, or with
// segmented messages when the kernel offers them; the bytes arrive whole.
TEST(VeskSenderModes, EachModeUsesItsSystemCalls) {
  const int pixels = 1024 * 1024;
  const auto sample = Pattern(2u * pixels);
  const auto geometry = vk::ComputePacketGeometry(pixels, 2, 9000);
  ASSERT_EQ(geometry.packets_per_sample, 238);
  for (Mode mode : {Mode::Single, Mode::Batch, Mode::Segmented}) {
    SCOPED_TRACE(static_cast<int>(mode));
    UdpCapture capture;
    vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), dt::UInt16, pixels, Config(9000, 8, mode));
    sender.Initialise(vk::SampleExtInfo());
    g_sendmsg_calls = 0;
    g_sendmmsg_calls = 0;
    g_segmented_messages = 0;
    sender.SendSample(vk::SampleExtInfo(2.0), sample);
    const int sendmsg_calls = g_sendmsg_calls;
    const int sendmmsg_calls = g_sendmmsg_calls;
    const int segmented = g_segmented_messages;
    const auto datagrams = capture.WaitFor(238, kWait);
    ASSERT_EQ(datagrams.size(), 238u);
    EXPECT_EQ(PayloadBytes(datagrams), sample);
    switch (mode) {
      case Mode::Single:
        EXPECT_EQ(sendmsg_calls, 238);
        EXPECT_EQ(sendmmsg_calls, 0);
        break;
      case Mode::Batch:
        EXPECT_EQ(sendmsg_calls, 2);
        EXPECT_EQ(sendmmsg_calls, 4);  // 64 + 64 + 64 + 44
        EXPECT_EQ(segmented, 0);
        break;
      case Mode::Segmented:
        EXPECT_EQ(sendmsg_calls, 2);
        EXPECT_EQ(sendmmsg_calls, 4);
        // 7 segments of 8960 bytes fit a message: 9 + 9 + 9 + 7 messages
        // with more than one segment, where the kernel can segment UDP.
        EXPECT_GE(segmented, 30);
        break;
    }
  }
}

// sendmmsg sending fewer messages than asked (3 a call): the sender goes on
// with the rest and every packet arrives once, in order.
TEST(VeskSenderModes, PartialBatchResultsContinueWithTheRest) {
  SendFailureReset reset;
  UdpCapture capture;
  vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), dt::Int16, 20000, Config(1500, 8, Mode::Batch));
  const auto sample = Pattern(40000);
  sender.Initialise(vk::SampleExtInfo());
  g_sendmmsg_calls = 0;
  g_sendmmsg_cap = 3;
  sender.SendSample(vk::SampleExtInfo(), sample);
  EXPECT_EQ(g_sendmmsg_calls.load(), 10);  // 29 payloads, 3 at a time
  const auto datagrams = capture.WaitFor(31, kWait);
  ASSERT_EQ(Types(datagrams), SampleTypes(29));
  EXPECT_EQ(PayloadBytes(datagrams), sample);
  for (std::size_t i = 0; i < datagrams.size(); ++i) EXPECT_EQ(datagrams[i].Be16(wire::kPacketIndexOffset), i);
}

// The first segmented message fails with EIO (a device that cannot segment):
// the sample still arrives whole, and later samples go unsegmented.
TEST(VeskSenderModes, SegmentationRefusedAtFirstUseFallsBack) {
  SendFailureReset reset;
  UdpCapture capture;
  vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), dt::Int16, 20000, Config(1500, 8, Mode::Segmented));
  const auto sample = Pattern(40000);
  sender.Initialise(vk::SampleExtInfo());
  g_segmented_messages = 0;
  g_segment_errno = EIO;
  sender.SendSample(vk::SampleExtInfo(), sample);
  sender.SendSample(vk::SampleExtInfo(), sample);
  EXPECT_EQ(g_segmented_messages.load(), 0);
  const auto datagrams = capture.WaitFor(62, kWait);
  ASSERT_EQ(datagrams.size(), 62u);
  for (std::size_t first : {0u, 31u}) {
    const std::vector<Datagram> one(datagrams.begin() + static_cast<std::ptrdiff_t>(first),
                                    datagrams.begin() + static_cast<std::ptrdiff_t>(first + 31));
    EXPECT_EQ(Types(one), SampleTypes(29));
    EXPECT_EQ(PayloadBytes(one), sample);
  }
}

// A rate limit spreads a sample over about its bytes / rate: 1 MiB at
// 25 MB/s takes about 42 ms (unlimited: a few ms), in both batch and single
// mode; the datagrams arrive spread over that time, not in one burst.
TEST(VeskSenderModes, RateLimitSpreadsTheSampleOverTime) {
  const int pixels = 512 * 1024;
  const auto sample = Pattern(2u * pixels);
  constexpr std::uint64_t kRate = 25'000'000;
  for (Mode mode : {Mode::Single, Mode::Batch}) {
    SCOPED_TRACE(static_cast<int>(mode));
    UdpCapture capture;
    vk::SenderConfig config = Config(9000, 8, mode);
    config.rate_limit = kRate;
    vk::VeskSender sender("127.0.0.1", "127.0.0.1", capture.Port(), dt::UInt16, pixels, config);
    sender.Initialise(vk::SampleExtInfo());
    const auto geometry = vk::ComputePacketGeometry(pixels, 2, 9000);
    const double bytes = static_cast<double>(sample.size() + geometry.packets_per_sample * wire::kHeadersSize);
    const double expected = bytes / static_cast<double>(kRate);
    const auto start = std::chrono::steady_clock::now();
    sender.SendSample(vk::SampleExtInfo(), sample);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 0.9 * expected);
    EXPECT_LE(took, 2.0 * expected + 0.2);
    const auto datagrams = capture.WaitFor(static_cast<std::size_t>(geometry.packets_per_sample), kWait);
    ASSERT_EQ(static_cast<std::int64_t>(datagrams.size()), geometry.packets_per_sample);
    EXPECT_EQ(PayloadBytes(datagrams), sample);
    const double spread = std::chrono::duration<double>(datagrams.back().arrival - datagrams.front().arrival).count();
    EXPECT_GE(spread, 0.7 * expected);
  }
}
