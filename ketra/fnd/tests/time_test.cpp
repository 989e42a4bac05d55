// ISO-8601 time text, wall-clock seconds, thread names and the trace of the
// time helpers.

#include <gtest/gtest.h>
#include <pthread.h>
#include <vesk_test/CaptureAppender.hpp>

#include <log4cplus/appender.h>
#include <log4cplus/spi/loggingevent.h>
#include <chrono>
#include <cmath>
#include <ketra/fnd/defs/base.hpp>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace fnd = ketra::fnd;

namespace {

using vesk_test::LogCapture;

}  // namespace

TEST(IsoTime, WholeSecondsHaveNoFraction) {
  EXPECT_EQ(fnd::IsoTime(0.0, 6), "1970-01-01T00:00:00");
  EXPECT_EQ(fnd::IsoTime(86399.0, 6), "1970-01-01T23:59:59");
  EXPECT_EQ(fnd::IsoTime(1700000000.0, 6), "2023-11-14T22:13:20");
}

TEST(IsoTime, FractionsKeepTheirSignificantDigits) {
  EXPECT_EQ(fnd::IsoTime(1.5, 6), "1970-01-01T00:00:01.5");
  EXPECT_EQ(fnd::IsoTime(61.25, 6), "1970-01-01T00:01:01.25");
  EXPECT_EQ(fnd::IsoTime(0.125, 2), "1970-01-01T00:00:00.12");
  EXPECT_EQ(fnd::IsoTime(0.123456789, 6), "1970-01-01T00:00:00.123457");
  EXPECT_EQ(fnd::IsoTime(0.0001, 6), "1970-01-01T00:00:00.0001");
  EXPECT_EQ(fnd::IsoTime(10.5, 0), "1970-01-01T00:00:10.5");  // precision 0 counts as 1
}

TEST(IsoTime, TinyFractionsArePlainDecimals) {
  EXPECT_EQ(fnd::IsoTime(0.000012, 6), "1970-01-01T00:00:00.000012");
  EXPECT_EQ(fnd::IsoTime(0.00001234567, 3), "1970-01-01T00:00:00.0000123");
  EXPECT_EQ(fnd::IsoTime(5e-10, 6), "1970-01-01T00:00:00.0000000005");
}

TEST(IsoTime, FractionRoundingUpCarriesIntoTheSeconds) {
  EXPECT_EQ(fnd::IsoTime(59.9999999, 6), "1970-01-01T00:01:00");
  EXPECT_EQ(fnd::IsoTime(86399.99999999, 6), "1970-01-02T00:00:00");
  EXPECT_EQ(fnd::IsoTime(0.96, 1), "1970-01-01T00:00:01");
  EXPECT_EQ(fnd::IsoTime(0.94, 1), "1970-01-01T00:00:00.9");
}

TEST(IsoTime, TimesBeforeTheEpochCountForwardFromTheSecondBelow) {
  EXPECT_EQ(fnd::IsoTime(-1.5, 6), "1969-12-31T23:59:58.5");
}

TEST(IsoTime, RefusesTimesThatHaveNoDate) {
  EXPECT_THROW(fnd::IsoTime(std::numeric_limits<double>::quiet_NaN(), 6), std::invalid_argument);
  EXPECT_THROW(fnd::IsoTime(std::numeric_limits<double>::infinity(), 6), std::invalid_argument);
  EXPECT_THROW(fnd::IsoTime(1e300, 6), std::invalid_argument);
}

TEST(TimeSecs, FollowsTheSystemClock) {
  const auto before = std::chrono::system_clock::now().time_since_epoch();
  const double secs = fnd::TimeSecs();
  const auto after = std::chrono::system_clock::now().time_since_epoch();
  EXPECT_GE(secs, std::chrono::duration<double>(before).count() - 1e-6);
  EXPECT_LE(secs, std::chrono::duration<double>(after).count() + 1e-6);
  // IsoTimeNow gives today's date in the form of IsoTime.
  const std::string now = fnd::IsoTimeNow(6);
  EXPECT_EQ(now.substr(0, 10), fnd::IsoTime(secs, 6).substr(0, 10));
  EXPECT_EQ(now[10], 'T');
}

TEST(ThreadName, ReportsTheNameOfTheCallingThread) {
  std::string named;
  std::string inherited;
  const std::string own = fnd::ThreadName();
  std::thread worker([&] {
    inherited = fnd::ThreadName();
    pthread_setname_np(pthread_self(), "vesk-worker");
    named = fnd::ThreadName();
  });
  worker.join();
  EXPECT_FALSE(own.empty());
  EXPECT_EQ(inherited, own);  // an unnamed thread has its creator's name
  EXPECT_EQ(named, "vesk-worker");
  EXPECT_EQ(fnd::ThreadName(), own);
}

TEST(TimeHelpersTrace, EnterAndExitAlsoWhenThrowing) {
  auto& logger = fnd::Logger();
  EXPECT_EQ(logger.getName(), "ketra.fnd");
  std::vector<std::string> thrown;
  std::vector<std::string> all;
  {
    const LogCapture capture(logger, log4cplus::TRACE_LOG_LEVEL);
    EXPECT_THROW(fnd::IsoTime(std::numeric_limits<double>::quiet_NaN(), 6), std::invalid_argument);
    thrown = capture.Messages();
    fnd::IsoTimeNow(6);
    all = capture.Messages();
  }

  ASSERT_EQ(thrown.size(), 2u);
  EXPECT_EQ(thrown[0].rfind("ENTER: ", 0), 0u) << thrown[0];
  EXPECT_NE(thrown[0].find("ketra::fnd::IsoTime(double"), std::string::npos) << thrown[0];
  EXPECT_EQ(thrown[1], "EXIT:  " + thrown[0].substr(7));

  // IsoTimeNow nests TimeSecs and IsoTime inside its own scope.
  ASSERT_EQ(all.size(), 8u);
  EXPECT_NE(all[2].find("ENTER: "), std::string::npos);
  EXPECT_NE(all[2].find("ketra::fnd::IsoTimeNow("), std::string::npos);
  EXPECT_NE(all[3].find("ketra::fnd::TimeSecs()"), std::string::npos);
  EXPECT_EQ(all[4].rfind("EXIT:  ", 0), 0u);
  EXPECT_NE(all[5].find("ketra::fnd::IsoTime(double"), std::string::npos);
  EXPECT_EQ(all[7], "EXIT:  " + all[2].substr(7));
}
