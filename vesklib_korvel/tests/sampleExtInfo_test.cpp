// The extended information record and its 8-byte serialised form.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vesklib_korvel/SampleExtInfo.hpp>

using ketra::vesktools::vesklib_korvel::SampleExtInfo;

namespace {
std::uint64_t Bits(double value) {
  return std::bit_cast<std::uint64_t>(value);
}
}  // namespace

TEST(SampleExtInfo, DefaultsAndSetterChaining) {
  SampleExtInfo info;
  EXPECT_EQ(info.GetTimestamp(), -1.0);
  EXPECT_EQ(SampleExtInfo(12.5).GetTimestamp(), 12.5);
  EXPECT_EQ(info.SetTimestamp(1700000000.25).GetTimestamp(), 1700000000.25);
  EXPECT_EQ(&info.SetTimestamp(3.0), &info);
}

TEST(SampleExtInfo, PackMakesExactlyEightHostOrderBytes) {
  const SampleExtInfo info(1234.5678);
  for (const std::size_t initial : {0u, 3u, 8u, 100u}) {
    std::vector<unsigned char> buffer(initial, 0xAB);
    info.Pack(buffer);
    ASSERT_EQ(buffer.size(), 8u) << initial;
    double back = 0;
    std::memcpy(&back, buffer.data(), 8);
    EXPECT_EQ(Bits(back), Bits(1234.5678)) << initial;
  }
  // -1.0 on the little-endian target: bf f0 00 .. 00 from the last byte down.
  std::vector<unsigned char> buffer;
  SampleExtInfo().Pack(buffer);
  if constexpr (std::endian::native == std::endian::little) {
    EXPECT_EQ(buffer, (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0xf0, 0xbf}));
  }
}

TEST(SampleExtInfo, RoundTripKeepsEveryBit) {
  const double values[] = {0.0,
                           -0.0,
                           -1.0,
                           1.7e9 + 0.123456789,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::denorm_min(),
                           std::bit_cast<double>(std::uint64_t{0x7ff8dead0000beefULL}),
                           std::bit_cast<double>(std::uint64_t{0xfff0000000000001ULL})};
  for (const double value : values) {
    std::vector<unsigned char> buffer;
    SampleExtInfo(value).Pack(buffer);
    SampleExtInfo unpacked;
    unpacked.Unpack(buffer);
    EXPECT_EQ(Bits(unpacked.GetTimestamp()), Bits(value));
    EXPECT_EQ(Bits(SampleExtInfo(buffer).GetTimestamp()), Bits(value));
  }
}

TEST(SampleExtInfo, UnpackReadsOnlyTheFirstEightBytes) {
  std::vector<unsigned char> buffer;
  SampleExtInfo(42.0).Pack(buffer);
  buffer.resize(20, 0xFF);
  EXPECT_EQ(SampleExtInfo(buffer).GetTimestamp(), 42.0);
}

TEST(SampleExtInfo, ShortBuffersAreRefusedAndLeaveTheObjectUnchanged) {
  SampleExtInfo info(7.0);
  for (const std::size_t size : {0u, 1u, 7u}) {
    EXPECT_THROW(info.Unpack(std::vector<unsigned char>(size, 0x11)), std::invalid_argument) << size;
    EXPECT_EQ(info.GetTimestamp(), 7.0);
  }
  EXPECT_THROW(SampleExtInfo(std::vector<unsigned char>(7, 0)), std::invalid_argument);
}
