#pragma once
// Test support: veskrecv and veskfeed run as processes on a FITS cube of real
// 1024 x 1024 16-bit frames, with their output in files of a fresh
// directory.

#include <vesk_test/FitsTestFiles.hpp>
#include <vesk_test/RunProgram.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace veskrecv_test {

// How often `part` occurs in `text`.
inline std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Polls `condition` until it holds or `limit` has passed.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// veskrecv and veskfeed built, a directory for the outputs and a cube of four
// 1024 x 1024 Int16 frames in it.
class RecvProcessTest : public ::testing::Test {
 protected:
  static constexpr int kSide = 1024;

  void SetUp() override {
    if (!std::filesystem::exists(m_feed) || !std::filesystem::exists(m_recv)) {
      GTEST_SKIP() << "veskfeed or veskrecv is not built";
    }
    vesk_test::WritePlaneIndexCube16(m_cube, kSide, kSide, 4);
  }

  const vesk_test::TempDir m_dir;
  const std::string m_recv = vesk_test::ProgramPath("veskrecv");
  const std::string m_feed = vesk_test::ProgramPath("veskfeed");
  const std::string m_cube = m_dir.File("frames.fits");
};

}  // namespace veskrecv_test
