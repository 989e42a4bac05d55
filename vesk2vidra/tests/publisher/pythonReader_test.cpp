// The Python reader shown in docs/vidra-stream.md decodes what the sender
// publishes (run when python3 with redis-py and numpy is installed).

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/VidraSender.hpp>
#include <vesk2vidra/VidraStreamReader.hpp>

#include <vesk_test/RedisServer.hpp>
#include <vesk_test/RunProgram.hpp>

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace v = ketra::vesktools::vesk2vidra;
using ketra::fnd::datatype::DataType;
using namespace std::chrono_literals;

namespace {

// A python3 that has redis-py and numpy, or empty.
std::string FindPython() {
  for (const char* path : {"/usr/bin/python3", "/usr/local/bin/python3"}) {
    const auto result = vesk_test::RunProgram({path, "-c", "import redis, numpy"}, 30s);
    if (result.status == 0) {
      return path;
    }
  }
  return {};
}

std::string PythonSnippet() {
  const char* source = std::getenv("VESK_SOURCE_DIR");
  std::ifstream in(std::string(source != nullptr && *source != '\0' ? source : VESK_SOURCE_DIR_PATH) +
                   "/docs/vidra-stream.md");
  std::stringstream text;
  text << in.rdbuf();
  const std::string doc = text.str();
  const auto begin = doc.find("```python\n");
  if (begin == std::string::npos) {
    return {};
  }
  const auto end = doc.find("```", begin + 10);
  return doc.substr(begin + 10, end - begin - 10);
}

}  // namespace

TEST(PythonReader, DocumentedSnippetDecodesThePublishedImage) {
  if (vesk_test::FindRedisServer().empty()) {
    GTEST_SKIP() << "redis-server is not installed";
  }
  const std::string python = FindPython();
  if (python.empty()) {
    GTEST_SKIP() << "python3 with redis-py and numpy is not installed";
  }
  const std::string snippet = PythonSnippet();
  ASSERT_FALSE(snippet.empty()) << "no python block in docs/vidra-stream.md";
  EXPECT_LE(std::count(snippet.begin(), snippet.end(), '\n'), 10) << "the reader is meant to fit in ten lines";

  vesk_test::RedisServer server;
  const std::string stream = "python_stream";
  for (const auto type : {DataType::Int16, DataType::Float, DataType::UInt32}) {
    const int width = 7;
    const int height = 3;
    const int bpp = ketra::fnd::datatype::GetBytesPerPixel(type);
    v::VidraSender sender(width, height, type, server.Uri(), stream, 0);
    auto exchange = v::AcquireFrameExchange(v::ParseBrokerUri(server.Uri()).Key(), stream);
    std::vector<unsigned char> sample(static_cast<std::size_t>(width * height * bpp * 2));  // two planes
    long long expected_sum = 0;
    for (int i = 0; i < width * height * 2; ++i) {
      const int value = i * 3 - 20;
      unsigned char* at = sample.data() + static_cast<std::ptrdiff_t>(i) * bpp;
      if (type == DataType::Int16) {
        const auto pixel = static_cast<std::int16_t>(value);
        std::memcpy(at, &pixel, sizeof pixel);
        expected_sum += pixel;
      } else if (type == DataType::Float) {
        const auto pixel = static_cast<float>(value);
        std::memcpy(at, &pixel, sizeof pixel);
        expected_sum += value;
      } else {
        const auto pixel = static_cast<std::uint32_t>(value + 20);
        std::memcpy(at, &pixel, sizeof pixel);
        expected_sum += pixel;
      }
    }
    exchange->Put(sample, 77, -1.0, 0.0);
    std::thread runner([&] { sender.Run(); });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (sender.PublishedCount() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    sender.Stop();
    runner.join();
    ASSERT_EQ(sender.PublishedCount(), 1u);

    v::VidraStreamReader reader(server.Uri(), stream);
    const auto newest = reader.Newest(1);
    ASSERT_EQ(newest.size(), 1u);
    const auto result =
        vesk_test::RunProgram({python, "-c", snippet, "127.0.0.1", std::to_string(server.Port()), stream}, 60s);
    ASSERT_EQ(result.status, 0) << result.err;
    const char* numpy_type = type == DataType::Int16 ? "int16" : type == DataType::Float ? "float32" : "uint32";
    EXPECT_EQ(result.out,
              fmt::format("{} 77 (2, {}, {}) {} {}\n", newest.front().id, height, width, numpy_type, expected_sum));
  }
}
