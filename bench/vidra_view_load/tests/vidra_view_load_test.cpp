// vidra-view-load as a user runs it, briefly: its table is printed, every
// client got frames, and a viewer that never answers is a clear failure.

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/RedisConnection.hpp>
#include <vesk_test/RedisServer.hpp>
#include <vesk_test/RunProgram.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

using namespace std::chrono_literals;

class VidraViewLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vesk_test::FindRedisServer().empty()) GTEST_SKIP() << "redis-server is not installed";
  }
  const std::string program = vesk_test::ProgramPath("vidra-view-load", "bench");
};

// A number following `label` on its line of the table, or -1.
double Value(const std::string& out, const std::string& label) {
  const std::regex row("(^|\n)" + label + " +([0-9.]+)");
  std::smatch match;
  return std::regex_search(out, match, row) ? std::stod(match[2]) : -1;
}

TEST_F(VidraViewLoad, PrintsTheTableAndEveryClientGetsFrames) {
  const auto result = vesk_test::RunProgram({program, "--clients", "2", "--seconds", "2"}, 60000ms);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_GT(Value(result.out, "publish rate, 0 clients"), 0) << result.out;
  EXPECT_GT(Value(result.out, "publish rate, 2 clients"), 0) << result.out;
  EXPECT_GT(Value(result.out, "ratio loaded / idle"), 0) << result.out;
  for (const char* when : {"start", "middle", "end"}) {
    EXPECT_GT(Value(result.out, std::string("vidra-view RSS ") + when), 1000) << result.out;
  }
  // One row per client: index, frames, frames/s; both got frames.
  for (const char* client : {"0", "1"}) {
    const std::regex row(std::string("\n") + client + " +([0-9]+) +([0-9.]+)\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(result.out, match, row)) << "client " << client << "\n" << result.out;
    EXPECT_GT(std::stoul(match[1]), 0u) << result.out;
    EXPECT_GT(std::stod(match[2]), 0.0) << result.out;
  }
  EXPECT_FALSE(std::regex_search(result.out, std::regex("\n2 +[0-9]"))) << "a third client row\n" << result.out;
}

TEST_F(VidraViewLoad, UsesAGivenBrokerAndLeavesItRunning) {
  vesk_test::RedisServer redis;
  const auto result = vesk_test::RunProgram(
      {program, "-k", redis.Uri(), "-s", "given_stream", "--clients", "1", "--seconds", "1"}, 60000ms);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_GT(Value(result.out, "publish rate, 1 clients"), 0) << result.out;
  // The entries went to the given broker and stream, and the broker is still up.
  ketra::vesktools::vesk2vidra::RedisConnection connection(ketra::vesktools::vesk2vidra::ParseBrokerUri(redis.Uri()),
                                                           2000ms, 2000ms);
  const auto length = connection.Command({"XLEN", "given_stream"});
  EXPECT_GT(ketra::vesktools::vesk2vidra::Integer(length.Get()), 0);
}

TEST_F(VidraViewLoad, AViewerThatDoesNotListenIsAFailureNotAHang) {
  const auto result =
      vesk_test::RunProgram({program, "--clients", "1", "--seconds", "1", "--view", "/bin/true"}, 30000ms);
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_FALSE(result.timed_out);
  EXPECT_NE(result.err.find("vidra-view does not listen"), std::string::npos) << result.err;
}

}  // namespace
