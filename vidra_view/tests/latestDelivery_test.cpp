// Each client gets only the newest frame, only when it asked for one.

#include <vidra_view/LatestDelivery.hpp>

#include <gtest/gtest.h>

namespace {

using namespace ketra::vesktools::vidra_view;

std::shared_ptr<const Frame> MakeTestFrame(const std::string& id) {
  auto frame = std::make_shared<Frame>();
  frame->entry_id = id;
  frame->message.assign(1024, 0);
  return frame;
}

TEST(LatestDelivery, SlowClientSkipsToTheNewestFrame) {
  LatestDelivery delivery(4);
  const ClientId fast = *delivery.Add();
  const ClientId slow = *delivery.Add();
  delivery.Ready(fast);
  delivery.Ready(slow);
  EXPECT_EQ(delivery.Publish(MakeTestFrame("1")), (std::vector<ClientId>{fast, slow}));
  EXPECT_EQ(delivery.Take(fast)->entry_id, "1");
  EXPECT_EQ(delivery.Take(slow)->entry_id, "1");
  EXPECT_EQ(delivery.Take(slow), nullptr);  // served until it asks again

  std::weak_ptr<const Frame> skipped;
  for (int i = 2; i <= 50; ++i) {
    auto frame = MakeTestFrame(std::to_string(i));
    if (i == 2) skipped = frame;
    const auto waiting = delivery.Publish(std::move(frame));
    if (i % 10 == 0) {
      ASSERT_EQ(waiting, std::vector<ClientId>{fast});
      EXPECT_EQ(delivery.Take(fast)->entry_id, std::to_string(i));
    }
    delivery.Ready(fast);
  }
  // Frames the slow client missed are not kept for it.
  EXPECT_TRUE(skipped.expired());
  delivery.Ready(slow);
  EXPECT_EQ(delivery.Take(slow)->entry_id, "50");
  EXPECT_EQ(delivery.Take(slow), nullptr);
}

TEST(LatestDelivery, ReadyClientWithoutNewFrameGetsNothingUntilOneArrives) {
  LatestDelivery delivery(1);
  const ClientId client = *delivery.Add();
  EXPECT_EQ(delivery.Take(client), nullptr);  // no frame yet
  delivery.Publish(MakeTestFrame("1"));
  EXPECT_EQ(delivery.Take(client), nullptr);  // has not asked
  delivery.Ready(client);
  EXPECT_EQ(delivery.Take(client)->entry_id, "1");
  delivery.Ready(client);
  EXPECT_EQ(delivery.Take(client), nullptr);  // already has the newest
  EXPECT_EQ(delivery.Publish(MakeTestFrame("2")), std::vector<ClientId>{client});
  EXPECT_EQ(delivery.Take(client)->entry_id, "2");
}

TEST(LatestDelivery, CapsClientsAndForgetsRemovedOnes) {
  LatestDelivery delivery(2);
  const auto first = delivery.Add();
  const auto second = delivery.Add();
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(delivery.Add());
  delivery.Ready(*first);
  delivery.Remove(*first);
  EXPECT_EQ(delivery.Clients(), 1u);
  EXPECT_TRUE(delivery.Publish(MakeTestFrame("1")).empty());
  EXPECT_EQ(delivery.Take(*first), nullptr);
  const auto third = delivery.Add();
  ASSERT_TRUE(third);
  EXPECT_NE(*third, *first);
}

}  // namespace
