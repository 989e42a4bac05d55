// veskfeed and veskrecv as processes with a camera's unsigned 16-bit frames
// (1024 x 1024, a FITS cube with BZERO 32768) and veskrecv at its default
// data type Int16: the frames arrive, and one WARN line says which type the
// sender stated and how to make the receiver agree.

#include "support/recvProcess.hpp"

#include <vesk_test/BackgroundProgram.hpp>
#include <vesk_test/FitsTestFiles.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vesk_test::BackgroundProgram;
namespace fs = std::filesystem;

TEST(PixelTypeMismatch, UInt16FramesIntoAnInt16VeskrecvArriveWithOneWarningNamingBothTypes) {
  const std::string feed = vesk_test::ProgramPath("veskfeed");
  const std::string recv = vesk_test::ProgramPath("veskrecv");
  if (!fs::exists(feed) || !fs::exists(recv)) GTEST_SKIP() << "veskfeed or veskrecv is not built";
  const vesk_test::TempDir dir;
  const std::string cube = dir.File("camera.fits");
  const long side = 1024;
  const long depth = 4;
  std::vector<unsigned short> pixels(static_cast<std::size_t>(side * side * depth));
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned short>(65535 - i % 4096);
  vesk_test::WriteFits(cube, USHORT_IMG, {side, side, depth}, TUSHORT, pixels.data(),
                       static_cast<long long>(pixels.size()));

  const std::uint16_t port = vesk_test::FreeUdpPort();
  const std::string p = std::to_string(port);
  BackgroundProgram receiver({recv, "-p", p, "-w", "1024", "-e", "1024", "-s", "4", "-l", "WARN"},
                             dir.File("recv.out"));
  ASSERT_TRUE(vesk_test::WaitForBoundUdpPort(port, 5s));
  BackgroundProgram sender(
      {feed, "-i", cube, "-p", p, "-d", "127.0.0.1", "-m", "9000", "-x", "0", "-n", "4", "-q", "20"},
      dir.File("feed.out"));
  EXPECT_EQ(sender.Wait(30s), 0) << sender.Output();
  ASSERT_EQ(receiver.Wait(15s), 0) << receiver.Output();

  const std::string out = receiver.Output();
  EXPECT_NE(out.find("Received 4 sample(s), lost 0 sample(s)"), std::string::npos) << out;
  EXPECT_EQ(veskrecv_test::Count(out, "WARN"), 1u) << out;
  const std::regex warning(
      "WARN.*UInt16 \\(512\\).*Int16 \\(256\\).*set the receiver's data type to UInt16.*--data_type");
  EXPECT_TRUE(std::regex_search(out, warning)) << out;
}

}  // namespace
