// veskrecv stopped as a user stops it, by SIGINT (Ctrl-C) or SIGTERM sent to
// its PID, with real 1024 x 1024 frames from veskfeed: it prints its report
// (and the counters asked for) and ends with status 0; a second signal ends
// it at once.

#include "support/realFrames.hpp"
#include "support/recvProcess.hpp"

#include <vesk_test/BackgroundProgram.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using vesk_test::BackgroundProgram;
using veskrecv_test::Count;
using veskrecv_test::WaitUntil;

class VeskrecvSignalStop : public veskrecv_test::RecvProcessTest {
 protected:
  // veskrecv on a free port for `samples` frames, listening once this returns.
  std::unique_ptr<BackgroundProgram> StartReceiver(const std::string& samples, std::vector<std::string> extra = {}) {
    m_port = vesk_test::FreeUdpPort();
    std::vector<std::string> argv{m_recv, "-p", std::to_string(m_port), "-w", "1024", "-e", "1024", "-s", samples};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto receiver = std::make_unique<BackgroundProgram>(argv, m_dir.File("recv.out"), m_dir.File("recv.err"));
    EXPECT_TRUE(vesk_test::WaitForBoundUdpPort(m_port, 5s));
    return receiver;
  }
  // veskfeed sending `frames` frames at 20 per second as veskrecv takes them.
  std::unique_ptr<BackgroundProgram> StartFeed(const std::string& frames) {
    return std::make_unique<BackgroundProgram>(
        std::vector<std::string>{m_feed, "-i", m_cube, "-p", std::to_string(m_port), "-m", "9000", "-x", "0", "-n",
                                 frames, "-q", "20"},
        m_dir.File("feed.out"));
  }

  std::uint16_t m_port = 0;
};

const std::string kReportHead = "\nVESK Receiver execution report:\n";

TEST_F(VeskrecvSignalStop, SigintWhileFramesFlowPrintsTheReportAndTheCountersAndEndsWithZero) {
  auto receiver = StartReceiver("1000", {"--stats"});
  auto feed = StartFeed("400");
  ASSERT_TRUE(WaitUntil([&] { return Count(receiver->Output(), "Sample ID") >= 3; }, 15s)) << receiver->Output();

  receiver->Signal(SIGINT);
  // Frames keep coming, so the loop ends with the frame it receives.
  EXPECT_EQ(receiver->Wait(5s), 0) << receiver->Output() << receiver->ErrorOutput();
  feed->Stop(5s);

  const std::string out = receiver->Output();
  const std::size_t received = Count(out, "Sample ID");
  const std::string report = kReportHead + "Received " + std::to_string(received) + " sample(s), lost 0 sample(s)\n\n";
  const std::size_t at = out.find(report);
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_NE(out.find("samples_delivered: " + std::to_string(received) + "\n", at), std::string::npos) << out;
  EXPECT_NE(receiver->ErrorOutput().find("SIGINT received"), std::string::npos) << receiver->ErrorOutput();
}

TEST_F(VeskrecvSignalStop, SigtermWhileTheSenderIsQuietEndsAtOnce) {
  auto receiver = StartReceiver("10", {"--stats"});
  auto feed = StartFeed("2");
  EXPECT_EQ(feed->Wait(20s), 0) << feed->Output();
  ASSERT_TRUE(WaitUntil([&] { return Count(receiver->Output(), "Sample ID") == 2; }, 10s)) << receiver->Output();

  const auto signalled = std::chrono::steady_clock::now();
  receiver->Signal(SIGTERM);
  // The wait for the next sample (10 s) does not hold the stop up.
  EXPECT_EQ(receiver->Wait(15s), 0) << receiver->Output() << receiver->ErrorOutput();
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 3s);
  const std::string out = receiver->Output();
  EXPECT_NE(out.find(kReportHead + "Received 2 sample(s), lost 0 sample(s)\n"), std::string::npos) << out;
  // A wait cut short by the stop is neither a loss nor an idle timeout.
  EXPECT_EQ(out.find("samples_given_up"), std::string::npos) << out;
  EXPECT_EQ(out.find("idle_timeouts"), std::string::npos) << out;
  EXPECT_NE(receiver->ErrorOutput().find("SIGTERM received"), std::string::npos) << receiver->ErrorOutput();
}

TEST_F(VeskrecvSignalStop, SecondSignalEndsAtOnceWithoutTheReport) {
  auto receiver = StartReceiver("10");
  // A sender that stopped in the middle of a frame: the receiver waits up to
  // the sample timeout (10 s) for the rest, and the first stop with it.
  veskrecv_test::SendFrameStart(m_port, 1, 40);
  std::this_thread::sleep_for(300ms);
  receiver->Signal(SIGINT);
  ASSERT_TRUE(WaitUntil([&] { return receiver->ErrorOutput().find("SIGINT received") != std::string::npos; }, 5s))
      << receiver->ErrorOutput();
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(receiver->Output().find("execution report"), std::string::npos) << "the first stop waits for the frame";
  receiver->Signal(SIGINT);
  EXPECT_EQ(receiver->Wait(3s), 128 + SIGINT) << receiver->Output();
  EXPECT_EQ(receiver->Output().find("execution report"), std::string::npos) << receiver->Output();
}

}  // namespace
