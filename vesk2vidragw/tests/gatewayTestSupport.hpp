#pragma once
// Helpers of the gateway's process tests: paths of the built programs, FITS
// cubes written with CFITSIO, waiting for a condition, the length of a VIDRA
// stream and a gateway started as a process. Every process is started by a
// test and stopped by its PID.

#include <vesk2vidra/VidraStreamReader.hpp>

#include <vesk_test/ChildProcess.hpp>
#include <vesk_test/Ports.hpp>
#include <vesk_test/RedisServer.hpp>
#include <vesk_test/RunProgram.hpp>
#include <vesk_test/TempDir.hpp>

#include <fitsio.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace gateway_test {

using namespace std::chrono_literals;

inline std::string Binary(const std::string& relative) {
  const char* dir = std::getenv("VESK_BINARY_DIR");
  const std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : VESK_BINARY_DIR_DEFAULT) + "/" + relative;
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

inline std::string Gateway() {
  return Binary("vesk2vidragw/vesk2vidragw");
}
inline std::string Feed() {
  return Binary("veskfeed/veskfeed");
}
inline std::string Reader() {
  return Binary("vidra2fits/vidra2fits");
}

struct Cube {
  long width = 0;
  long height = 0;
  long depth = 0;
  std::vector<short> pixels;
};

inline void WriteCube(const std::string& path, const Cube& cube) {
  int status = 0;
  fitsfile* file = nullptr;
  const std::string clobber = "!" + path;
  fits_create_file(&file, clobber.c_str(), &status);
  long axes[3] = {cube.width, cube.height, cube.depth};
  fits_create_img(file, SHORT_IMG, 3, axes, &status);
  fits_write_img(file, TSHORT, 1, static_cast<LONGLONG>(cube.pixels.size()), const_cast<short*>(cube.pixels.data()),
                 &status);
  fits_close_file(file, &status);
  ASSERT_EQ(status, 0) << "writing " << path;
}

inline Cube ReadCube(const std::string& path) {
  Cube cube;
  int status = 0;
  fitsfile* file = nullptr;
  fits_open_file(&file, path.c_str(), READONLY, &status);
  int bitpix = 0;
  int naxis = 0;
  long axes[3] = {0, 0, 0};
  fits_get_img_param(file, 3, &bitpix, &naxis, axes, &status);
  if (status == 0 && naxis == 3 && bitpix == SHORT_IMG) {
    cube.width = axes[0];
    cube.height = axes[1];
    cube.depth = axes[2];
    cube.pixels.resize(static_cast<std::size_t>(axes[0] * axes[1] * axes[2]));
    fits_read_img(file, TSHORT, 1, static_cast<LONGLONG>(cube.pixels.size()), nullptr, cube.pixels.data(), nullptr,
                  &status);
  }
  fits_close_file(file, &status);
  return cube;
}

inline Cube MakeCube(long width, long height, long depth) {
  Cube cube{width, height, depth, {}};
  cube.pixels.resize(static_cast<std::size_t>(width * height * depth));
  for (std::size_t i = 0; i < cube.pixels.size(); ++i) {
    cube.pixels[i] = static_cast<short>((i * 7919) % 65536 - 32768);
  }
  return cube;
}

// A cube of `width` x `height` 16-bit pixels and `depth` frames in a file of
// a fresh temporary directory, removed with the object.
class CubeFile {
 public:
  CubeFile(const std::string& name, long width, long height, long depth) : m_path(m_dir.File(name)) {
    WriteCube(m_path, MakeCube(width, height, depth));
  }
  const std::string& Path() const { return m_path; }

 private:
  vesk_test::TempDir m_dir;
  std::string m_path;
};

inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

inline long long StreamLength(const vesk_test::RedisServer& server, const std::string& stream) {
  try {
    return ketra::vesktools::vesk2vidra::VidraStreamReader(server.Uri(), stream).Length();
  } catch (const std::exception&) {
    return -1;
  }
}

// How often `needle` occurs in `text`.
inline std::size_t Occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// Starts the gateway on `udp_port` with its standard output in a file (not a
// terminal) and gives it time to open its socket.
inline std::unique_ptr<vesk_test::ChildProcess> StartGateway(int udp_port, long width, long height,
                                                             const std::string& uri, const std::string& stream,
                                                             const std::string& interval,
                                                             const std::vector<std::string>& extra = {}) {
  std::vector<std::string> argv{Gateway(), "-p", std::to_string(udp_port), "-k", uri, "-s", stream, "-i", interval};
  argv.insert(argv.end(), {"-w", std::to_string(width), "-e", std::to_string(height)});
  argv.insert(argv.end(), extra.begin(), extra.end());
  auto gateway = std::make_unique<vesk_test::ChildProcess>(argv);
  std::this_thread::sleep_for(700ms);
  return gateway;
}

// Skips unless redis-server and the gateway are there.
class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vesk_test::FindRedisServer().empty()) {
      GTEST_SKIP() << "redis-server is not installed";
    }
    if (Gateway().empty()) {
      GTEST_SKIP() << "vesk2vidragw is not built";
    }
  }
  void RequireFeed() {
    if (Feed().empty()) {
      GTEST_SKIP() << "veskfeed is not built";
    }
  }
};

}  // namespace gateway_test
