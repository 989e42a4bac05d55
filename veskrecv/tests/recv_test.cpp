// veskrecv: counting of received and lost samples, the tool's own end of
// reception, and the program end to end against veskfeed on 127.0.0.1.

#include <vesk_test/RunProgram.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>
#include "../src/SampleTally.hpp"
#include "../src/VeskReceiverTool.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ketra::vesktools::korvel::VeskReceiverTool;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using ketra::vesktools::vesklib_korvel::VeskReceiver;
using ketra::vesktools::veskrecv::SampleTally;
namespace fs = std::filesystem;

// ---- counting ------------------------------------------------------------------

TEST(SampleTally, ConsecutiveIdsAreAllReceived) {
  SampleTally tally(3);
  tally.Delivered(7);
  tally.Delivered(8);
  EXPECT_FALSE(tally.Done());
  tally.Delivered(9);
  EXPECT_TRUE(tally.Done());
  EXPECT_EQ(tally.Received(), 3u);
  EXPECT_EQ(tally.Lost(), 0u);
}

TEST(SampleTally, GapsInTheIdsAreLost) {
  SampleTally tally(10);
  tally.Delivered(1);
  tally.Delivered(2);
  tally.Delivered(5);  // 3 and 4 missing
  EXPECT_EQ(tally.Lost(), 2u);
  tally.Delivered(6);
  EXPECT_EQ(tally.Received(), 4u);
  EXPECT_FALSE(tally.Done());
  tally.Delivered(10);  // 7, 8, 9 missing: 5 received + 5 lost
  EXPECT_TRUE(tally.Done());
  EXPECT_EQ(tally.Lost(), 5u);
  EXPECT_EQ(tally.Beyond(), 0u);
}

TEST(SampleTally, EveryGiveUpIsLostFromTheFirstSampleOnAndNoneIsCountedTwice) {
  SampleTally tally(7);
  tally.GivenUp(std::nullopt);  // a refused leader before any sample
  EXPECT_EQ(tally.Lost(), 1u);
  tally.Delivered(2);  // no earlier id: nothing to merge with
  EXPECT_EQ(tally.Lost(), 1u);
  tally.GivenUp(3u);  // payloads of 3 lost after its leader
  tally.Delivered(4);
  EXPECT_EQ(tally.Lost(), 2u);
  tally.GivenUp(std::nullopt);  // 5's leader refused...
  tally.Delivered(6);           // ...and the gap at 5 is that same sample
  EXPECT_EQ(tally.Lost(), 3u);
  EXPECT_EQ(tally.Received(), 3u);
  EXPECT_FALSE(tally.Done());
  tally.GivenUp(7u);
  EXPECT_TRUE(tally.Done());
  EXPECT_EQ(tally.Lost(), 4u);

  // More give-ups without an id than the gap holds: each is a loss.
  SampleTally refused(4);
  refused.Delivered(1);
  refused.GivenUp(std::nullopt);
  refused.GivenUp(std::nullopt);
  refused.Delivered(3);
  EXPECT_EQ(refused.Lost(), 2u);
  EXPECT_TRUE(refused.Done());
}

TEST(SampleTally, SamplesAllGivenUpEndTheCount) {
  SampleTally tally(3);
  for (int i = 0; i < 2; ++i) tally.GivenUp(std::nullopt);
  EXPECT_FALSE(tally.Done());
  tally.GivenUp(std::nullopt);
  EXPECT_TRUE(tally.Done());
  EXPECT_EQ(tally.Received(), 0u);
  EXPECT_EQ(tally.Lost(), 3u);
}

TEST(SampleTally, RestartedSenderIsNoGap) {
  SampleTally tally(3);
  tally.Delivered(1);
  tally.Delivered(2);
  tally.Delivered(1);  // the sender started over
  EXPECT_EQ(tally.Received(), 3u);
  EXPECT_EQ(tally.Lost(), 0u);
  EXPECT_TRUE(tally.Done());
}

TEST(SampleTally, GapPastTheWantedNumberIsClampedAndKeptApart) {
  SampleTally tally(3);
  tally.Delivered(1);
  tally.Delivered(10);  // 2 to 9 missing: one of them makes three
  EXPECT_TRUE(tally.Done());
  EXPECT_EQ(tally.Received(), 2u);
  EXPECT_EQ(tally.Lost(), 1u);
  EXPECT_EQ(tally.Beyond(), 7u);
}

// ---- the tool class ----------------------------------------------------------

ReceiverConfig ToolConfig() {
  ReceiverConfig config;
  config.socket_buffer_size = 1024 * 1024;
  config.image_width = 10;
  config.image_height = 10;
  return config;
}

vesk_test::SampleSpec Sample(std::uint32_t id) {
  vesk_test::SampleSpec layout;
  layout.sample_id = id;
  layout.packets = 3;
  layout.pixels = 100;
  layout.bytes_per_pixel = 2;
  layout.chunk_bytes = 200;
  layout.data = vesk_test::Pattern(200, id);
  return layout;
}

// Runs the tool's loop, feeds it `script` once its port is bound, and waits
// (bounded) for the loop to end by itself.
struct ToolRun {
  bool ended = false;
  std::string output;
};

ToolRun RunTool(VeskReceiverTool& tool, std::uint16_t port, const std::vector<vesk_test::Datagram>& script) {
  ToolRun run;
  testing::internal::CaptureStdout();
  auto loop = std::async(std::launch::async, [&] { tool.ReceiveLoop(); });
  if (vesk_test::WaitForUdpPort(port, 5s)) vesk_test::UdpPeer(port).SendAll(script);
  run.ended = loop.wait_for(5s) == std::future_status::ready;
  if (!run.ended) {
    tool.StopReceiver();
    loop.wait();
  }
  run.output = testing::internal::GetCapturedStdout();
  return run;
}

TEST(VeskReceiverTool, EndsReceptionByItselfAfterTheWantedSamples) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  VeskReceiverTool tool("127.0.0.1", "", port, ketra::fnd::datatype::Int16, ToolConfig(), 3);
  tool.SetSampleTimeout(2s);
  std::vector<vesk_test::Datagram> script;
  for (std::uint32_t id : {4u, 5u, 6u, 7u}) {
    const auto sample = vesk_test::BuildSample(Sample(id));
    script.insert(script.end(), sample.begin(), sample.end());
  }
  const ToolRun run = RunTool(tool, port, script);
  ASSERT_TRUE(run.ended) << "the loop did not end after the wanted samples";
  EXPECT_EQ(run.output,
            ">>>>> VeskReceiverTool::HandleSampleUser(): Sample ID: 4"
            ">>>>> VeskReceiverTool::HandleSampleUser(): Sample ID: 5"
            ">>>>> VeskReceiverTool::HandleSampleUser(): Sample ID: 6");
  EXPECT_EQ(tool.GetReceivedSamples(), 3u);
  EXPECT_EQ(tool.GetLostSamples(), 0u);
  EXPECT_EQ(tool.GetFirstSampleId(), 4u);
  EXPECT_FALSE(VeskReceiver::s_execute.load());
}

TEST(VeskReceiverTool, GapsAndGivenUpSamplesCountTowardsTheEnd) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  VeskReceiverTool tool("127.0.0.1", "", port, ketra::fnd::datatype::Int16, ToolConfig(), 5);
  tool.SetSampleTimeout(300ms);
  std::vector<vesk_test::Datagram> script;
  for (std::uint32_t id : {1u, 2u, 4u}) {  // 3 never sent
    const auto sample = vesk_test::BuildSample(Sample(id));
    script.insert(script.end(), sample.begin(), sample.end());
  }
  auto last = vesk_test::BuildSample(Sample(5));
  last.pop_back();  // sample 5 loses its trailer: given up at the timeout
  script.insert(script.end(), last.begin(), last.end());
  const ToolRun run = RunTool(tool, port, script);
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(tool.GetReceivedSamples(), 3u);
  EXPECT_EQ(tool.GetLostSamples(), 2u);
  EXPECT_GE(tool.GetLostFramesCount(), 1);
  EXPECT_NE(run.output.find("Sample ID: 4"), std::string::npos);
  EXPECT_EQ(run.output.find("Sample ID: 5"), std::string::npos);
}

// ---- the programs, end to end ----------------------------------------------------

// Standard output and error of a child process.
std::string Output(const vesk_test::ChildProcess& child) {
  return child.Stdout() + child.Stderr();
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    m_feed = vesk_test::ProgramPath("veskfeed");
    m_recv = vesk_test::ProgramPath("veskrecv");
    if (!fs::exists(m_feed)) GTEST_SKIP() << "veskfeed is not built: " << m_feed;
    ASSERT_TRUE(fs::exists(m_recv));
    m_cube = m_dir.File("cube.fits");
    const auto make =
        vesk_test::RunProgram(vesk_test::ProgramPath("vesk-make-cube", "veskrecv"), {m_cube, "64", "48", "4"});
    ASSERT_EQ(make.status, 0) << make.out << make.err;
  }

  vesk_test::TempDir m_dir;
  std::string m_feed, m_recv, m_cube;
};

TEST_F(EndToEnd, MatchingSenderDeliversEverySampleAndTheReceiverEnds) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  const std::string p = std::to_string(port);
  vesk_test::ChildProcess recv({m_recv, "-p", p, "-w", "64", "-e", "48", "-s", "6"});
  ASSERT_TRUE(vesk_test::WaitForUdpPort(port, 5s));
  vesk_test::ChildProcess feed(
      {m_feed, "-i", m_cube, "-p", p, "-d", "127.0.0.1", "-m", "9000", "-x", "0", "-n", "6", "-q", "50"});
  EXPECT_EQ(feed.Wait(20s), 0) << Output(feed);
  ASSERT_EQ(recv.Wait(10s), 0) << Output(recv);

  const std::string out = Output(recv);
  EXPECT_NE(out.find("VESK Receiver running...\n>>>>> par_address=127.0.0.1, par_port=" + p +
                     ", par_data_type_enum=256, par_samples=6\n"),
            std::string::npos)
      << out;
  std::vector<long> ids;
  const std::regex id_re(">>>>> VeskReceiverTool::HandleSampleUser\\(\\): Sample ID: (\\d+)");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), id_re); it != std::sregex_iterator(); ++it) {
    ids.push_back(std::stol((*it)[1]));
  }
  ASSERT_EQ(ids.size(), 6u) << out;
  for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(ids[i], ids[0] + static_cast<long>(i)) << out;
  EXPECT_NE(out.find("\nVESK Receiver execution report:\nReceived 6 sample(s), lost 0 sample(s)\n\n"),
            std::string::npos)
      << out;
}

TEST_F(EndToEnd, SenderWithItsDefaultsGetsAWarningThatNamesTheFix) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  const std::string p = std::to_string(port);
  vesk_test::ChildProcess recv({m_recv, "-p", p, "-w", "64", "-e", "48", "-s", "2"});
  ASSERT_TRUE(vesk_test::WaitForUdpPort(port, 5s));
  vesk_test::ChildProcess feed({m_feed, "-i", m_cube, "-p", p, "-d", "127.0.0.1", "-n", "4", "-q", "50"});
  EXPECT_EQ(feed.Wait(20s), 0) << Output(feed);
  std::this_thread::sleep_for(300ms);
  // Nothing matching arrived, so the receiver still waits: stop it.
  EXPECT_FALSE(recv.Wait(0ms).has_value());
  recv.Stop(SIGTERM, 5s);
  const std::string out = Output(recv);
  const std::regex warn("WARN.*extended info size 8 received, 0 expected.*--ext_info_size 0");
  EXPECT_TRUE(std::regex_search(out, warn)) << out;
  // One line per kind of mismatch, not one per datagram.
  EXPECT_EQ(out.find("WARN", out.find("WARN") + 1), std::string::npos) << out;
  EXPECT_EQ(out.find("Sample ID"), std::string::npos) << out;
}

TEST_F(EndToEnd, PixelTypeWithoutFixedSizeIsAStartUpError) {
  vesk_test::ChildProcess recv({m_recv, "-p", "0", "-w", "8", "-e", "8", "-s", "1", "-t", "Bool"});
  EXPECT_EQ(recv.Wait(10s), 1);
  EXPECT_NE(Output(recv).find("no fixed pixel size"), std::string::npos) << Output(recv);
}

TEST_F(EndToEnd, NoSamplesWantedReportsAtOnce) {
  vesk_test::ChildProcess recv({m_recv, "-p", "0", "-w", "8", "-e", "8", "-s", "0"});
  EXPECT_EQ(recv.Wait(10s), 0);
  EXPECT_NE(Output(recv).find("Received 0 sample(s), lost 0 sample(s)"), std::string::npos);
}

}  // namespace
