// The connection wrapper against a private redis-server on loopback.

#include <vesk2vidra/RedisConnection.hpp>

#include <vesk_test/RedisServer.hpp>

#include <gtest/gtest.h>

#include <cstdlib>

namespace v = ketra::vesktools::vesk2vidra;
using namespace std::chrono_literals;

namespace {

class RedisConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vesk_test::FindRedisServer().empty()) {
      GTEST_SKIP() << "redis-server is not installed";
    }
    server = std::make_unique<vesk_test::RedisServer>();
  }
  std::unique_ptr<vesk_test::RedisServer> server;
};

}  // namespace

TEST_F(RedisConnectionTest, RunsBinarySafeCommandsAndReportsErrorReplies) {
  v::RedisConnection connection(v::ParseBrokerUri(server->Uri() + "/3"), 1s, 1s);
  const std::string blob("a\0b\xff", 4);
  connection.Command({"SET", "key", blob});
  auto reply = connection.Command({"GET", "key"});
  EXPECT_EQ(v::Text(reply.Get()), blob);
  connection.Command({"SET", "empty", ""});
  EXPECT_EQ(v::Text(connection.Command({"GET", "empty"}).Get()), "");
  // Larger than a socket's send buffer: sent in several parts.
  std::string image(3 * 1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<char>((i * 131) >> 3);
  }
  connection.Command({"SET", "image", image});
  EXPECT_TRUE(v::Text(connection.Command({"GET", "image"}).Get()) == image);
  // The database index was selected: db 0 does not have the key.
  connection.Command({"SELECT", "0"});
  EXPECT_TRUE(v::IsNil(connection.Command({"GET", "key"}).Get()));
  EXPECT_THROW(connection.Command({"NOSUCHCOMMAND"}), v::BrokerReplyError);
  // Still usable after an error reply.
  EXPECT_EQ(v::Integer(connection.Command({"INCR", "n"}).Get()), 1);
}

TEST_F(RedisConnectionTest, UnreachableOrRefusingBrokerThrowsWithTheMaskedUri) {
  const int closed_port = vesk_test::FreeTcpPort();
  const std::string uri = "redis://:hidden@127.0.0.1:" + std::to_string(closed_port);
  try {
    v::RedisConnection connection(v::ParseBrokerUri(uri), 500ms, 500ms);
    FAIL() << "connected to a closed port";
  } catch (const v::BrokerConnectionError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("redis://:***@127.0.0.1:" + std::to_string(closed_port)), std::string::npos) << text;
    EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
  }
  // The private server has no password: AUTH is refused, which is a connection failure.
  EXPECT_THROW(
      v::RedisConnection(v::ParseBrokerUri("redis://:wrong@127.0.0.1:" + std::to_string(server->Port())), 500ms, 500ms),
      v::BrokerConnectionError);
}

TEST_F(RedisConnectionTest, ABrokerThatDiesBreaksTheConnection) {
  v::RedisConnection connection(v::ParseBrokerUri(server->Uri()), 1s, 1s);
  connection.Command({"PING"});
  server->Kill();
  EXPECT_THROW(connection.Command({"PING"}), v::BrokerConnectionError);
  EXPECT_THROW(connection.Command({"PING"}), v::BrokerConnectionError) << "stays broken";
}

TEST_F(RedisConnectionTest, ACommandOfMegabytesToAStoppedBrokerIsAnErrorNotSigpipe) {
  // A command larger than the socket's send buffer takes several writes;
  // once the broker has closed its end, the later writes fail with EPIPE,
  // which must come back as an error instead of ending the process.
  v::RedisConnection connection(v::ParseBrokerUri(server->Uri()), 1s, 2s);
  connection.Command({"PING"});
  server->Stop();
  const std::string image(2 * 1024 * 1024, '\x5a');
  EXPECT_EXIT(
      {
        try {
          connection.Command({"SET", "image", image});
        } catch (const v::BrokerConnectionError&) {
          std::_Exit(0);
        }
        std::_Exit(2);
      },
      ::testing::ExitedWithCode(0), "")
      << "killed by signal 13 is SIGPIPE; exit code 2: the command did not fail";
}
