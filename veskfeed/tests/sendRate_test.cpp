// The shortfall warning against the rate the summary prints.

#include "../src/SendRate.hpp"

#include <gtest/gtest.h>

namespace {

using ketra::vesktools::veskfeed::RateShortfall;
using ketra::vesktools::veskfeed::SummaryLine;

// 50 requested: 97 % is 48.5. A rate that prints as 48.5 kept up, one that
// prints as 48.4 did not, and the warning names the printed figure.
TEST(RateShortfall, JudgesTheRateAsTheSummaryPrintsIt) {
  const double seconds_for_48_49 = 20 / 48.49;  // prints as 48.5
  EXPECT_NE(SummaryLine(20, 0, seconds_for_48_49).find("48.5 samples/s"), std::string::npos);
  EXPECT_FALSE(RateShortfall(50, 20, seconds_for_48_49).has_value());

  const auto short_of_it = RateShortfall(50, 20, 20 / 48.44);
  ASSERT_TRUE(short_of_it.has_value());
  EXPECT_EQ(*short_of_it,
            "achieved 48.4 samples/s, below 97% of the requested 50 samples/s: the sender could not keep up");

  EXPECT_FALSE(RateShortfall(0, 20, 1.0).has_value());  // nothing requested
  EXPECT_FALSE(RateShortfall(50, 0, 1.0).has_value());  // nothing sent
  EXPECT_TRUE(RateShortfall(50, 20, 0.0).has_value());  // no time measured cannot prove the rate
}

}  // namespace
