// VeskReceiver on a fixed unicast port: the port is its own. A second
// receiver on it cannot be built (the process ends with status 1 naming the
// port), while the receiver itself may rebuild its stack on it.

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>

#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/logger.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace vk = ketra::vesktools::vesklib_korvel;

class NullReceiver : public vk::VeskReceiver {
 public:
  using VeskReceiver::VeskReceiver;
  void HandleSampleUser(vk::SampleExtInfo&, std::vector<unsigned char>&) override {}
};

vk::ReceiverConfig Config() {
  vk::ReceiverConfig config;
  config.socket_buffer_size = 1 << 20;
  config.image_width = 10;
  config.image_height = 10;
  return config;
}

std::vector<vesk_test::Datagram> Sample(std::uint32_t id) {
  vesk_test::SampleSpec layout;
  layout.sample_id = id;
  layout.packets = 3;
  layout.pixels = 100;
  layout.bytes_per_pixel = 2;
  layout.chunk_bytes = 200;
  layout.data = vesk_test::Pattern(200, id);
  return vesk_test::BuildSample(layout);
}

TEST(ReceiverPortDeathTest, SecondReceiverOnAUnicastPortEndsTheProcessNamingThePort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::uint16_t port = vesk_test::FreeUdpPort();
  NullReceiver first("127.0.0.1", "", port, ketra::fnd::datatype::Int16, Config());
  first.Initialise();
  NullReceiver second("127.0.0.1", "", port, ketra::fnd::datatype::Int16, Config());
  EXPECT_EXIT(
      {
        vk::Logger().addAppender(log4cplus::SharedAppenderPtr(new log4cplus::ConsoleAppender(true, true)));
        vk::Logger().setLogLevel(log4cplus::ERROR_LOG_LEVEL);
        second.Initialise();
      },
      ::testing::ExitedWithCode(1), "bind UDP receive socket on 127\\.0\\.0\\.1:[0-9]+ \\(port in use");
}

TEST(ReceiverPortDeathTest, RebuildingTheStackOnItsOwnPortKeepsReceiving) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::uint16_t port = vesk_test::FreeUdpPort();
  EXPECT_EXIT(
      {
        NullReceiver receiver("127.0.0.1", "", port, ketra::fnd::datatype::Int16, Config());
        receiver.Initialise();
        receiver.Initialise();  // as ReceiveLoop does after a program built the stack itself
        vesk_test::UdpPeer(port).SendAll(Sample(7));
        vk::SampleExtInfo ext_info;
        std::vector<unsigned char> sample;
        const bool complete = receiver.ReceiveSample(ext_info, sample, 2s);
        std::exit(complete && receiver.GetSampleId() == 7 && receiver.GetLocalPort() == port ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
