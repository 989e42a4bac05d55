// Packet geometry: counts for every pixel size at both offered MTUs, the
// worked examples, exactness for large samples, and refused configurations.

#include <vesklib_korvel/PacketGeometry.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vk = ketra::vesktools::vesklib_korvel;
using ::testing::HasSubstr;

namespace {

// The single-precision count the packets travel with elsewhere; exact while
// the byte count stays below 2^24.
std::int64_t FloatCount(std::int64_t pixels, int bpp, int mtu) {
  const float bytes = static_cast<float>(static_cast<int>(pixels * bpp));
  const float room = static_cast<float>(mtu - 96);
  return static_cast<std::int64_t>(std::ceil(bytes / room) + 2.0f);
}

std::string RefusalText(std::int64_t pixels, int bpp, int mtu) {
  try {
    vk::ComputePacketGeometry(pixels, bpp, mtu);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "<not refused>";
}

}  // namespace

TEST(PacketGeometry, WorkedExamples) {
  const auto at1500 = vk::ComputePacketGeometry(1024 * 1024, 2, 1500);
  EXPECT_EQ(at1500.packets_per_sample, 1496);
  EXPECT_EQ(at1500.pixels_per_payload_packet, 702);
  EXPECT_EQ(at1500.payload_bytes_per_packet, 1404);
  EXPECT_EQ(at1500.sample_bytes, 2097152);

  const auto at9000 = vk::ComputePacketGeometry(1024 * 1024, 2, 9000);
  EXPECT_EQ(at9000.packets_per_sample, 238);
  EXPECT_EQ(at9000.pixels_per_payload_packet, 4452);

  const auto small = vk::ComputePacketGeometry(1000, 4, 1500);
  EXPECT_EQ(small.packets_per_sample, 5);
  EXPECT_EQ(small.pixels_per_payload_packet, 351);
  EXPECT_EQ(small.bytes_per_pixel, 4);
}

// For 1, 2 and 4 bytes at both MTUs and 8 bytes at 9000, the pixel room is a
// multiple of the pixel size: the count matches the single-precision formula.
TEST(PacketGeometry, MatchesFloatFormulaWhereRoomIsWholePixels) {
  for (int mtu : {1500, 9000}) {
    for (int bpp : {1, 2, 4, 8}) {
      if (mtu == 1500 && bpp == 8) continue;
      for (std::int64_t pixels : {1LL, 2LL, 350LL, 351LL, 352LL, 1403LL, 1404LL, 1405LL, 4452LL, 4453LL, 12LL * 10,
                                  100LL * 100, 640LL * 480, 1024LL * 1024}) {
        if ((pixels * bpp) >= (1 << 24)) continue;
        const std::int64_t count = vk::PacketsPerSample(pixels, bpp, mtu);
        if (count > 65535) continue;
        EXPECT_EQ(count, FloatCount(pixels, bpp, mtu)) << pixels << " px x " << bpp << " B at " << mtu;
        EXPECT_EQ(vk::ComputePacketGeometry(pixels, bpp, mtu).packets_per_sample, count);
      }
    }
  }
}

// 8-byte pixels at MTU 1500: 175 pixels (1400 bytes) per packet, and enough
// packets that every byte of the sample is carried.
TEST(PacketGeometry, EightBytePixelsAt1500CarryEveryByte) {
  const auto geometry = vk::ComputePacketGeometry(1024 * 1024, 8, 1500);
  EXPECT_EQ(geometry.pixels_per_payload_packet, 175);
  EXPECT_EQ(geometry.payload_bytes_per_packet, 1400);
  EXPECT_EQ(geometry.packets_per_sample, 5994);  // ceil(1048576 / 175) + 2
  EXPECT_GT(geometry.packets_per_sample, FloatCount(1024 * 1024, 8, 1500));

  // One pixel more than 175 whole packets needs a 176th payload packet.
  EXPECT_EQ(vk::PacketsPerSample(175 * 175, 8, 1500), 177);
  EXPECT_EQ(vk::PacketsPerSample(175 * 175 + 1, 8, 1500), 178);
}

// Property over large samples (where single precision is no longer exact):
// the payload packets carry every byte, and one packet fewer would not.
TEST(PacketGeometry, CountIsMinimalAndSufficientForLargeSamples) {
  for (int mtu : {1500, 9000}) {
    for (int bpp : {1, 2, 4, 8}) {
      const std::int64_t usable = ((mtu - 96) / bpp) * bpp;
      for (std::int64_t pixels = (std::int64_t{1} << 24) - 3; pixels < (std::int64_t{1} << 24) + 400; pixels += 37) {
        const std::int64_t payloads = vk::PacketsPerSample(pixels, bpp, mtu) - 2;
        const std::int64_t bytes = pixels * bpp;
        EXPECT_GE(payloads * usable, bytes) << pixels << " px x " << bpp << " at " << mtu;
        EXPECT_LT((payloads - 1) * usable, bytes) << pixels << " px x " << bpp << " at " << mtu;
      }
    }
  }
}

TEST(PacketGeometry, RefusesUnsendableConfigurationsNamingTheValue) {
  EXPECT_THAT(RefusalText(0, 2, 1500), HasSubstr("got 0"));
  EXPECT_THAT(RefusalText(-7, 2, 1500), HasSubstr("-7"));
  EXPECT_THAT(RefusalText(100, 0, 1500), HasSubstr("bytes per pixel 0"));
  EXPECT_THAT(RefusalText(100, 2, 96), HasSubstr("mtu_size 96"));
  EXPECT_THAT(RefusalText(100, 2, 40), HasSubstr("mtu_size 40"));
  EXPECT_THAT(RefusalText(100, 8, 100), HasSubstr("mtu_size 100"));  // 4 bytes of room, 8-byte pixels

  // 65535 packets (65533 payloads) is the largest sample; one pixel more is refused.
  const std::int64_t largest = 65533LL * 702;
  EXPECT_EQ(vk::ComputePacketGeometry(largest, 2, 1500).packets_per_sample, 65535);
  EXPECT_THAT(RefusalText(largest + 1, 2, 1500), HasSubstr("65536 packets"));
  EXPECT_THAT(RefusalText(largest + 1, 2, 1500), HasSubstr(std::to_string(largest + 1)));
}

TEST(PacketGeometry, PacketsPerSampleReportsNoRoomAsMinusOne) {
  EXPECT_EQ(vk::PacketsPerSample(10, 0, 1500), -1);
  EXPECT_EQ(vk::PacketsPerSample(10, 2, 96), -1);
  EXPECT_EQ(vk::PacketsPerSample(-1, 2, 1500), -1);
  EXPECT_EQ(vk::PacketsPerSample(0, 2, 1500), 2);  // leader and trailer only
}
