// veskrecv's loss accounting with real 1024 x 1024 frames: given-up samples
// count as lost whether or not a sample was received before them, an idle
// sender is no loss and does not end reception, and id gaps never push the
// report past the wanted number without saying so. The program runs as a
// process; the idle case also runs in-process with a short sample timeout.

#include <vesk_test/RunProgram.hpp>
#include "../src/VeskReceiverTool.hpp"
#include "support/realFrames.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ketra::vesktools::korvel::VeskReceiverTool;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using vesk_test::ProgramPath;
using vesk_test::ProgramResult;
using vesk_test::RunLimits;
using vesk_test::RunProgram;
namespace fs = std::filesystem;

using veskrecv_test::SendFrame;
constexpr int kWidth = veskrecv_test::kFrameWidth;
constexpr int kHeight = veskrecv_test::kFrameHeight;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// True once a UDP socket is bound to `port` (read from /proc/net/udp).
bool PortBound(std::uint16_t port, std::chrono::milliseconds limit = 5s) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadAll("/proc/net/udp").find(hex) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// veskrecv for 1024 x 1024 frames on a free port, run on another thread;
// killed (by its pid) if it runs for more than 30 s.
class Veskrecv {
 public:
  explicit Veskrecv(unsigned samples, std::vector<std::string> extra = {})
      : m_port(static_cast<std::uint16_t>(vesk_test::FreeUdpPort())) {
    std::vector<std::string> args{"-p", std::to_string(m_port),  "-w", std::to_string(kWidth),
                                  "-e", std::to_string(kHeight), "-s", std::to_string(samples)};
    args.insert(args.end(), extra.begin(), extra.end());
    RunLimits limits;
    limits.timeout = 30s;
    m_run =
        std::async(std::launch::async, [args, limits] { return RunProgram(ProgramPath("veskrecv"), args, limits); });
  }
  std::uint16_t Port() const { return m_port; }
  ProgramResult Result() { return m_run.get(); }

 private:
  std::uint16_t m_port;
  std::future<ProgramResult> m_run;
};

std::string Report(unsigned received, unsigned lost) {
  return "\nVESK Receiver execution report:\nReceived " + std::to_string(received) + " sample(s), lost " +
         std::to_string(lost) + " sample(s)\n\n";
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// ---- the program ---------------------------------------------------------------------

// A sender whose payloads are larger than veskrecv's MTU lets arrive: every
// leader is refused, so every sample is given up from the first one on.
TEST(VeskrecvLoss, SenderWhoseSamplesAreAllGivenUpEndsTheRunWithThemAllLost) {
  const fs::path dir = fs::temp_directory_path() / ("veskrecv_loss_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path cube = dir / "cube.fits";
  const fs::path maker = fs::path(ProgramPath("veskrecv")).parent_path() / "vesk-make-cube";
  const ProgramResult make =
      RunProgram(maker.string(), {cube.string(), std::to_string(kWidth), std::to_string(kHeight), "4"});
  ASSERT_EQ(make.status, 0) << make.err;

  Veskrecv recv(3);
  ASSERT_TRUE(PortBound(recv.Port()));
  // More samples than wanted: the receiver ends on its own after three.
  const ProgramResult feed =
      RunProgram(ProgramPath("veskfeed"), {"-i", cube.string(), "-p", std::to_string(recv.Port()), "-d", "127.0.0.1",
                                           "-m", "16000", "-x", "0", "-n", "12", "-q", "4"});
  const ProgramResult run = recv.Result();
  std::error_code ignored;
  fs::remove_all(dir, ignored);

  EXPECT_FALSE(run.timed_out) << "veskrecv never ended:\n" << run.out;
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(Report(0, 3)), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Sample ID"), std::string::npos) << run.out;
  EXPECT_FALSE(feed.timed_out);
}

TEST(VeskrecvLoss, FirstSampleGivenUpThenThreeReceivedReportsOneLost) {
  Veskrecv recv(4);
  ASSERT_TRUE(PortBound(recv.Port()));
  const auto start = std::chrono::steady_clock::now();
  SendFrame(recv.Port(), 1, 100);  // one payload of the first frame lost on the way
  // Frames 2 to 4 complete the four wanted; frame 5 comes after the end.
  for (std::uint32_t id : {2u, 3u, 4u, 5u}) SendFrame(recv.Port(), id);
  const ProgramResult run = recv.Result();

  EXPECT_FALSE(run.timed_out) << "veskrecv never ended:\n" << run.out;
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find(Report(3, 1)), std::string::npos) << run.out;
  EXPECT_TRUE(vesk_test::InOrder(run.out, {"Sample ID: 2", "Sample ID: 3", "Sample ID: 4"})) << run.out;
  EXPECT_EQ(run.out.find("Sample ID: 1"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Sample ID: 5"), std::string::npos) << run.out;
  // Ended by the frames, not by a sample timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 9s);
}

// The library's own sample timeout (10 s): a sender that pauses longer
// between two frames loses nothing, and the pause is logged once at INFO.
TEST(VeskrecvLoss, PauseLongerThanTheSampleTimeoutIsNoLossAndDoesNotEndReception) {
  Veskrecv recv(2, {"-l", "INFO"});
  ASSERT_TRUE(PortBound(recv.Port()));
  SendFrame(recv.Port(), 1);
  std::this_thread::sleep_for(11500ms);
  SendFrame(recv.Port(), 2);
  const ProgramResult run = recv.Result();

  EXPECT_FALSE(run.timed_out) << run.out;
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find(Report(2, 0)), std::string::npos) << run.out;
  EXPECT_EQ(Count(run.out, "No VESK datagram for 10 s, waiting"), 1u) << run.out;
  EXPECT_EQ(run.out.find("one frame lost"), std::string::npos) << run.out;
}

// Ids 1 and 10 with three wanted: two received, one lost to reach three,
// and the seven more the gap held are named, not added to the report.
TEST(VeskrecvLoss, IdGapLargerThanTheWantedRestIsClampedAndSaid) {
  Veskrecv recv(3);
  ASSERT_TRUE(PortBound(recv.Port()));
  SendFrame(recv.Port(), 1);
  SendFrame(recv.Port(), 10);
  const ProgramResult run = recv.Result();

  EXPECT_FALSE(run.timed_out) << run.out;
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(
      run.out.find(Report(2, 1) + "7 more sample(s) missing beyond the 3 wanted (an id gap), not counted above\n"),
      std::string::npos)
      << run.out;
}

// ---- the receiver class, with a short sample timeout -----------------------------------

TEST(VeskReceiverToolLoss, IdleWaitsBetweenFramesNeitherCountNorEndReception) {
  ReceiverConfig config;
  config.image_width = kWidth;
  config.image_height = kHeight;
  const std::uint16_t port = static_cast<std::uint16_t>(vesk_test::FreeUdpPort());
  VeskReceiverTool tool("127.0.0.1", "", port, ketra::fnd::datatype::Int16, config, 2);
  // Long enough for a whole 2 MiB frame on a loaded machine, short enough
  // for several idle timeouts in the pause below.
  tool.SetSampleTimeout(700ms);
  testing::internal::CaptureStdout();
  auto loop = std::async(std::launch::async, [&] { tool.ReceiveLoop(); });
  ASSERT_TRUE(PortBound(port));
  SendFrame(port, 1);
  // Four sample timeouts without any datagram.
  const bool ended_while_idle = loop.wait_for(3s) == std::future_status::ready;
  SendFrame(port, 2);
  const bool ended = loop.wait_for(5s) == std::future_status::ready;
  if (!ended) {
    tool.StopReceiver();
    loop.wait();
  }
  const std::string output = testing::internal::GetCapturedStdout();

  EXPECT_FALSE(ended_while_idle) << "reception ended during the pause";
  EXPECT_TRUE(ended) << "reception did not end after the wanted frames";
  EXPECT_EQ(tool.GetReceivedSamples(), 2u) << output;
  EXPECT_EQ(tool.GetLostSamples(), 0u);
  EXPECT_EQ(tool.GetLostFramesCount(), 0);
}

}  // namespace
