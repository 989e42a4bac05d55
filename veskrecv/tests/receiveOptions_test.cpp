// veskrecv's options for the stream's geometry, the source address, the
// socket buffer and the rate line, run as a process with real 1024 x 1024
// frames from veskfeed.

#include "support/recvProcess.hpp"

#include <vesk_test/BackgroundProgram.hpp>
#include <vesk_test/UdpReceiveBuffer.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vesk_test::BackgroundProgram;
using veskrecv_test::Count;

class VeskrecvReceiveOptions : public veskrecv_test::RecvProcessTest {
 protected:
  // veskrecv with `args`, its output in files named after `name`.
  std::unique_ptr<BackgroundProgram> Receiver(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> argv{m_recv};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<BackgroundProgram>(argv, m_dir.File(name + ".out"), m_dir.File(name + ".err"));
  }
  // veskfeed sending `frames` frames at 20 per second to `port` with the
  // options `extra` added to its defaults.
  std::unique_ptr<BackgroundProgram> Feed(std::uint16_t port, const std::string& frames,
                                          const std::vector<std::string>& extra) {
    std::vector<std::string> argv{m_feed, "-i", m_cube, "-p", std::to_string(port), "-n", frames, "-q", "20"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<BackgroundProgram>(argv, m_dir.File("feed.out"));
  }
};

TEST_F(VeskrecvReceiveOptions, SenderWithItsDefaultsArrivesWhenTheReceiverTakesItsMtuAndExtInfoSize) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  auto receiver = Receiver("recv", {"-p", std::to_string(port), "-w", "1024", "-e", "1024", "-s", "8", "--stats", "-l",
                                    "WARN", "--mtu-size", "1500", "--ext_info_size", "8"});
  ASSERT_TRUE(vesk_test::WaitForBoundUdpPort(port, 5s));
  auto feed = Feed(port, "8", {});  // MTU 1500, 8 bytes of extended information
  EXPECT_EQ(feed->Wait(30s), 0) << feed->Output();
  ASSERT_EQ(receiver->Wait(15s), 0) << receiver->Output();

  const std::string out = receiver->Output() + receiver->ErrorOutput();
  EXPECT_NE(out.find("Received 8 sample(s), lost 0 sample(s)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("samples_delivered: 8\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("WARN"), std::string::npos) << out;
  EXPECT_EQ(out.find("skipped_"), std::string::npos) << out;
  EXPECT_EQ(out.find("given_up"), std::string::npos) << out;
}

TEST_F(VeskrecvReceiveOptions, SourceAddressMayBeAHostNameResolvedAtStart) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  auto receiver =
      Receiver("named", {"-a", "localhost", "-p", std::to_string(port), "-w", "1024", "-e", "1024", "-s", "2"});
  ASSERT_TRUE(vesk_test::WaitForBoundUdpPort(port, 5s));
  auto feed = Feed(port, "2", {"-d", "127.0.0.1", "-m", "9000", "-x", "0"});
  EXPECT_EQ(feed->Wait(30s), 0) << feed->Output();
  ASSERT_EQ(receiver->Wait(15s), 0) << receiver->Output() << receiver->ErrorOutput();
  EXPECT_NE(receiver->Output().find("par_address=127.0.0.1,"), std::string::npos) << receiver->Output();
  EXPECT_NE(receiver->Output().find("Received 2 sample(s), lost 0 sample(s)"), std::string::npos) << receiver->Output();

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"no-such-host.invalid", "ERROR: Cannot resolve host 'no-such-host.invalid' given for address: "},
      {"127.1", "ERROR: Invalid address: '127.1' (give an IPv4 address such as 127.0.0.1 or a host name)\n"},
  };
  for (const auto& [address, error] : refused) {
    auto start = Receiver("refused", {"-a", address, "-p", "0", "-w", "8", "-e", "8", "-s", "1"});
    EXPECT_EQ(start->Wait(10s), 1) << address;
    EXPECT_EQ(start->ErrorOutput().rfind(error, 0), 0u) << start->ErrorOutput();
    EXPECT_EQ(start->Output(), "") << "nothing of the run: " << start->Output();
  }
}

TEST_F(VeskrecvReceiveOptions, SocketBufferOptionSizesTheKernelReceiveBuffer) {
  if (!vesk_test::HaveSs()) GTEST_SKIP() << "ss (iproute2) is not installed";
  // Sizes below the usual net.core.rmem_max, granted to any user.
  for (const std::uint64_t asked : {65536u, 100000u}) {
    const std::uint16_t port = vesk_test::FreeUdpPort();
    auto receiver = Receiver("buffer", {"-p", std::to_string(port), "-w", "8", "-e", "8", "-s", "1", "--socket-buffer",
                                        std::to_string(asked)});
    ASSERT_TRUE(vesk_test::WaitForBoundUdpPort(port, 5s));
    EXPECT_EQ(vesk_test::UdpReceiveBuffer(port), 2 * asked) << "the kernel shows twice the size asked for";
  }
  auto refused = Receiver("refused", {"-p", "0", "-w", "8", "-e", "8", "-s", "1", "--socket-buffer", "1073741824"});
  EXPECT_EQ(refused->Wait(10s), 1);
  EXPECT_EQ(refused->ErrorOutput().rfind("ERROR: Invalid socket-buffer: 1073741824", 0), 0u) << refused->ErrorOutput();
}

TEST_F(VeskrecvReceiveOptions, ProgressLinesGoToStandardErrorAndStandardOutputStaysAsItIs) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  auto receiver =
      Receiver("progress", {"-p", std::to_string(port), "-w", "1024", "-e", "1024", "-s", "40", "--progress", "0.5"});
  ASSERT_TRUE(vesk_test::WaitForBoundUdpPort(port, 5s));
  auto feed = Feed(port, "40", {"-m", "9000", "-x", "0"});  // 2 s of frames
  EXPECT_EQ(feed->Wait(30s), 0) << feed->Output();
  ASSERT_EQ(receiver->Wait(15s), 0) << receiver->Output();

  const std::string out = receiver->Output();
  const std::string err = receiver->ErrorOutput();
  EXPECT_EQ(out.find("progress"), std::string::npos) << out;
  EXPECT_EQ(out.find("frames/s"), std::string::npos) << out;
  EXPECT_NE(out.find("Received 40 sample(s), lost 0 sample(s)"), std::string::npos) << out;

  // A line every half second while the frames came, each frame 2 MiB.
  const std::regex line_re("progress: ([0-9.]+) frames/s, ([0-9.]+) MB/s, lost 0, given up 0 \\(total \\d+ frames");
  std::size_t lines = 0;
  for (auto it = std::sregex_iterator(err.begin(), err.end(), line_re); it != std::sregex_iterator(); ++it) {
    ++lines;
    const double frames = std::stod((*it)[1]);
    const double megabytes = std::stod((*it)[2]);
    if (frames >= 5) {
      EXPECT_NEAR(megabytes / frames, 2.097152, 0.03) << (*it)[0];
    }
  }
  EXPECT_GE(lines, 3u) << err;
  EXPECT_EQ(Count(err, "progress: whole run of "), 1u) << err;
  EXPECT_NE(err.find("(total 40 frames, lost 0, given up 0)\n"), std::string::npos) << err;
}

}  // namespace
