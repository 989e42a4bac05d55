// Reassembly arithmetic: bytes and pixels per payload packet from a leader,
// the refusal of leaders whose packets cannot carry their pixels, the payload
// end, and which transport results are retried.

#include "../src/VeskReceiverPlan.hpp"

#include <korvel/RxErrc.hpp>
#include <vesklib_korvel/PacketGeometry.hpp>

#include <gtest/gtest.h>

#include <system_error>

namespace {

using ketra::vesktools::vesklib_korvel::detail::AdvancePayloadEnd;
using ketra::vesktools::vesklib_korvel::detail::IsLeaderRetry;
using ketra::vesktools::vesklib_korvel::detail::IsRetry;
using ketra::vesktools::vesklib_korvel::detail::PlanSample;

TEST(SamplePlan, PixelsPerPacketFollowTheMultipleOfRuleThenTheMtuRule) {
  // 1000 pixels in 10 payload packets: 100 each.
  auto plan = PlanSample(12, 1000, 2, 9000);
  EXPECT_TRUE(plan.fits);
  EXPECT_EQ(plan.sample_bytes, 2000u);
  EXPECT_EQ(plan.pixels_per_packet, 100u);

  // 999 pixels of 4 bytes, 3 payload packets, MTU 1500: 333 (not 351)
  // when the leader states no room ...
  plan = PlanSample(5, 999, 4, 1500);
  EXPECT_TRUE(plan.fits);
  EXPECT_EQ(plan.pixels_per_packet, 333u);
  // ... and the stated room when it does, also for an even split.
  EXPECT_EQ(PlanSample(5, 999, 4, 1500, 1404).pixels_per_packet, 351u);
  EXPECT_EQ(PlanSample(5, 999, 4, 9000, 1404).pixels_per_packet, 351u);
  EXPECT_EQ(PlanSample(12, 1000, 2, 9000, 1404).pixels_per_packet, 702u);
  // A stated room that is not whole pixels is ignored.
  EXPECT_EQ(PlanSample(5, 999, 4, 1500, 1403).pixels_per_packet, 333u);
  // A stated room beyond this receiver's MTU cannot arrive whole.
  EXPECT_FALSE(PlanSample(5, 999, 4, 1500, 2000).fits);
  // A stated room too small for the announced pixels does not fit.
  EXPECT_FALSE(PlanSample(5, 999, 4, 1500, 400).fits);
  EXPECT_TRUE(PlanSample(5, 999, 4, 1500, 1332).fits);

  // 1048576 pixels of 2 bytes, 236 payload packets, MTU 9000: not a
  // multiple, so (9000 - 96) / 2.
  plan = PlanSample(238, 1048576, 2, 9000);
  EXPECT_TRUE(plan.fits);
  EXPECT_EQ(plan.pixels_per_packet, 4452u);
  EXPECT_EQ(plan.sample_bytes, 2097152u);

  // No payload packet: no pixels per packet.
  plan = PlanSample(2, 0, 2, 9000);
  EXPECT_TRUE(plan.fits);
  EXPECT_EQ(plan.pixels_per_packet, 0u);
  EXPECT_EQ(plan.sample_bytes, 0u);
}

TEST(SamplePlan, LeadersAnnouncingMoreThanTheirPacketsCarryDoNotFit) {
  EXPECT_FALSE(PlanSample(2, 10, 2, 9000).fits);
  EXPECT_FALSE(PlanSample(1, 0, 2, 9000).fits);
  // Exactly one packet's room fits, one pixel more does not.
  EXPECT_TRUE(PlanSample(3, 4452, 2, 9000).fits);
  EXPECT_FALSE(PlanSample(3, 4453, 2, 9000).fits);
  // A pixel count whose bytes overflow 32 bits, with every packet allowed.
  const auto huge = PlanSample(65535, 0xFFFFFFFFu, 8, 9000);
  EXPECT_FALSE(huge.fits);
  EXPECT_EQ(huge.sample_bytes, 0xFFFFFFFFull * 8u);
  // 1e9 pixels of 2 bytes would need far more than 65533 payload packets.
  EXPECT_FALSE(PlanSample(65535, 1000000000u, 2, 9000).fits);
  // More packets than needed are accepted (the later ones carry nothing).
  EXPECT_TRUE(PlanSample(20, 100, 2, 9000).fits);
  // An empty sample of leader and trailer only.
  EXPECT_TRUE(PlanSample(2, 0, 2, 9000).fits);
  // A stated room that is not whole pixels still has to carry the bytes: two
  // payloads of 99 bytes cannot carry 200, nor can one room beyond a datagram.
  EXPECT_FALSE(PlanSample(4, 100, 2, 9000, 99).fits);
  EXPECT_TRUE(PlanSample(4, 100, 2, 9000, 101).fits);
  EXPECT_FALSE(PlanSample(4, 100, 2, 65535, 65509).fits);
}

TEST(SamplePlan, PacketCountAgreesWithTheSharedRule) {
  using ketra::vesktools::vesklib_korvel::PacketsPerSample;
  // The count the sender cuts 1024 x 1024 pixels of 2 bytes into.
  EXPECT_EQ(PacketsPerSample(1024 * 1024, 2, 9000), 238);
  EXPECT_EQ(PacketsPerSample(1024 * 1024, 2, 1500), 1496);
  EXPECT_TRUE(PlanSample(238, 1024 * 1024, 2, 9000).fits);
  EXPECT_FALSE(PlanSample(237, 1024 * 1024, 2, 9000).fits);
  EXPECT_TRUE(PlanSample(1496, 1024 * 1024, 2, 1500).fits);
  EXPECT_FALSE(PlanSample(1495, 1024 * 1024, 2, 1500).fits);
}

TEST(SamplePlan, PayloadEndIsTheHighestTagPlusPixels) {
  EXPECT_EQ(AdvancePayloadEnd(1, 1, 200, 2), 101u);
  EXPECT_EQ(AdvancePayloadEnd(101, 1, 200, 2), 101u);  // an earlier tag does not lower it
  EXPECT_EQ(AdvancePayloadEnd(101, 901, 200, 2), 1001u);
  EXPECT_EQ(AdvancePayloadEnd(1, 0xFFFFFFFFu, 8, 4), 1u);  // wraps in 32 bits
}

TEST(SamplePlan, RetryResults) {
  const std::error_code retry = korvel::make_error_code(korvel::RxErrc::Retry);
  const std::error_code message_size = std::make_error_code(std::errc::message_size);
  const std::error_code system_message_size(EMSGSIZE, std::system_category());
  EXPECT_TRUE(IsRetry(retry));
  EXPECT_FALSE(IsRetry(message_size));
  EXPECT_FALSE(IsRetry(korvel::make_error_code(korvel::RxErrc::MissingPacket)));
  EXPECT_FALSE(IsRetry(std::error_code(8, std::generic_category())));  // same value, other category
  EXPECT_FALSE(IsRetry({}));
  EXPECT_TRUE(IsLeaderRetry(retry));
  EXPECT_TRUE(IsLeaderRetry(message_size));
  EXPECT_TRUE(IsLeaderRetry(system_message_size));
  EXPECT_FALSE(IsLeaderRetry(korvel::make_error_code(korvel::RxErrc::MalformedLeader)));
  EXPECT_FALSE(IsLeaderRetry({}));
}

}  // namespace
