// Frame pattern checks, statistics, /proc parsing, the JSON writer, and one
// smoke run of the vesk-bench program (completion and JSON keys only).

#include "CpuClock.hpp"
#include "Json.hpp"
#include "Pattern.hpp"
#include "Stats.hpp"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

namespace vesk_bench {
namespace {

std::vector<unsigned char> Frame(std::size_t bytes, std::uint64_t sequence) {
  std::vector<unsigned char> f(bytes);
  FillPattern(f, sequence % kTagCount);
  StampSequence(f, sequence);
  return f;
}

TEST(Pattern, IntactFramesPassBothModes) {
  for (const std::size_t bytes : {std::size_t{8}, std::size_t{30}, std::size_t{32768}, std::size_t{10001}}) {
    const auto f = Frame(bytes, 37);
    EXPECT_TRUE(VerifyPattern(f, bytes, VerifyMode::kFull)) << bytes;
    EXPECT_TRUE(VerifyPattern(f, bytes, VerifyMode::kSampled)) << bytes;
    EXPECT_EQ(ReadSequence(f), 37u);
  }
  // Warm-up frames carry the flag in their sequence number and still verify.
  const auto w = Frame(4096, kWarmUpBit | 5);
  EXPECT_TRUE(VerifyPattern(w, 4096, VerifyMode::kSampled));
}

TEST(Pattern, PacketOfAnotherFrameOrPlaceIsCaught) {
  constexpr std::size_t kBytes = 64 * 1404;
  constexpr std::size_t kChunk = 1404;  // smallest payload the benchmark sends
  const auto good = Frame(kBytes, 3);
  const auto other = Frame(kBytes, 4);
  for (const std::size_t packet : {std::size_t{0}, std::size_t{17}, std::size_t{63}}) {
    auto foreign = good;  // one payload from another frame
    std::memcpy(foreign.data() + packet * kChunk + (packet == 0 ? 8 : 0),
                other.data() + packet * kChunk + (packet == 0 ? 8 : 0), kChunk - (packet == 0 ? 8 : 0));
    EXPECT_FALSE(VerifyPattern(foreign, kBytes, VerifyMode::kSampled)) << packet;
    EXPECT_FALSE(VerifyPattern(foreign, kBytes, VerifyMode::kFull)) << packet;
  }
  auto shifted = good;  // payload 10 landed in the place of payload 11
  std::memcpy(shifted.data() + 11 * kChunk, good.data() + 10 * kChunk, kChunk);
  EXPECT_FALSE(VerifyPattern(shifted, kBytes, VerifyMode::kSampled));
  auto last = good;  // only the final byte differs
  last.back() ^= 1;
  EXPECT_FALSE(VerifyPattern(last, kBytes, VerifyMode::kSampled));
  auto one = good;  // a single byte between samples: only the full check sees it
  one[1000] ^= 0x80;
  EXPECT_FALSE(VerifyPattern(one, kBytes, VerifyMode::kFull));
  EXPECT_FALSE(VerifyPattern(good, kBytes - 2, VerifyMode::kFull));  // wrong size
  auto restamped = good;                                             // sequence of a frame with another tag
  StampSequence(restamped, 4);
  EXPECT_FALSE(VerifyPattern(restamped, kBytes, VerifyMode::kSampled));
}

TEST(Stats, QuantilesAndSpread) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);
  EXPECT_EQ(Quantile(v, 0.5), 50);
  EXPECT_EQ(Quantile(v, 0.99), 99);
  EXPECT_EQ(Quantile(v, 1.0), 100);
  EXPECT_EQ(Quantile(v, 0.0), 1);
  EXPECT_EQ(Quantile({}, 0.5), 0);
  const Spread s = SpreadOf({3, 9, 1});
  EXPECT_EQ(s.median, 3);
  EXPECT_EQ(s.min, 1);
  EXPECT_EQ(s.max, 9);
}

TEST(CpuClock, ProcStatAndThreadTime) {
  const MachineTicks a = ParseProcStat("cpu  100 5 50 800 20 3 2 1 0 0");
  EXPECT_EQ(a.busy, 161u);
  EXPECT_EQ(a.total, 981u);
  const MachineTicks b = ParseProcStat("cpu  200 5 50 900 20 3 2 1 0 0");
  EXPECT_DOUBLE_EQ(BusyPercent(a, b), 50.0);
  EXPECT_EQ(ParseProcStat("cpu0 1 2 3 4 5 6 7 8").total, 0u);
  EXPECT_EQ(BusyPercent(b, a), 0.0);
  EXPECT_GT(ReadMachineTicks().total, 0u);

  const pid_t tid = CurrentThreadId();
  const double before = ThreadCpuSeconds(tid);
  ASSERT_GE(before, 0.0);
  volatile std::uint64_t spin = 0;
  for (std::uint64_t i = 0; i < 400'000'000 && ThreadCpuSeconds(tid) < before + 0.05; ++i) spin = spin + i;
  EXPECT_GE(ThreadCpuSeconds(tid), before + 0.05);
  EXPECT_LT(ThreadCpuSeconds(999'999'999), 0.0);
}

TEST(Json, WriterOutputParses) {
  JsonWriter j;
  j.BeginObject();
  j.Field("name", std::string("a \"quoted\"\\ \n text"));
  j.Field("n", std::uint64_t{18446744073709551615u});
  j.Field("x", 2.5);
  j.Field("nan", 0.0 / 0.0);
  j.BeginArray("list");
  j.BeginObject();
  j.Field("k", 1);
  j.EndObject();
  j.BeginObject();
  j.EndObject();
  j.EndArray();
  j.EndObject();
  boost::property_tree::ptree tree;
  std::istringstream in(j.Text());
  ASSERT_NO_THROW(boost::property_tree::read_json(in, tree)) << j.Text();
  EXPECT_EQ(tree.get<std::string>("name"), "a \"quoted\"\\ \n text");
  EXPECT_EQ(tree.get<std::string>("n"), "18446744073709551615");
  EXPECT_EQ(tree.get<double>("x"), 2.5);
  EXPECT_EQ(tree.get_child("list").size(), 2u);
}

std::filesystem::path BinaryDir() {
  const char* env = std::getenv("VESK_BINARY_DIR");
  return env != nullptr ? env : VESK_BINARY_DIR_DEFAULT;
}

TEST(VeskBenchProgram, SmokeRunWritesEveryRunAsJson) {
  const auto program = BinaryDir() / "bench" / "vesk-bench";
  ASSERT_TRUE(std::filesystem::exists(program)) << program;
  const auto json =
      std::filesystem::temp_directory_path() / ("vesk_bench_smoke_" + std::to_string(::getpid()) + ".json");
  const std::string command = program.string() + " --smoke --json " + json.string() + " > /dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;

  boost::property_tree::ptree tree;
  ASSERT_NO_THROW(boost::property_tree::read_json(json.string(), tree));
  std::filesystem::remove(json);
  EXPECT_EQ(tree.get<std::uint64_t>("config.frame_bytes"), 128u * 128u * 2u);
  const auto& runs = tree.get_child("runs");
  ASSERT_FALSE(runs.empty());
  int unpaced = 0;
  for (const auto& [unused, run] : runs) {
    for (const char* key : {"kind", "transport", "mtu", "frames_sent", "frames_received", "frames_lost", "received_fps",
                            "received_gbps", "sender_cpu_pct", "receiver_cpu_pct", "machine_busy_pct", "latency_p50_us",
                            "latency_p99_us", "latency_max_us"}) {
      EXPECT_TRUE(run.get_child_optional(key)) << key;
    }
    // Losses are allowed on a busy machine; a delivered frame with a byte
    // out of place never is.
    EXPECT_EQ(run.get<std::uint64_t>("frames_bad"), 0u);
    if (run.get<std::string>("kind") == "unpaced") {
      ++unpaced;
      EXPECT_GT(run.get<std::uint64_t>("frames_sent"), 0u);
    }
  }
  EXPECT_EQ(unpaced, 6);  // two MTUs x three transports
  // One summary per kind, MTU and transport.
  EXPECT_EQ(tree.get_child("summary").size(), 12u);
}

TEST(VeskBenchProgram, EveryLibraryVariantRunsAndUnknownNamesAreRefused) {
  const auto program = BinaryDir() / "bench" / "vesk-bench";
  ASSERT_TRUE(std::filesystem::exists(program)) << program;
  const std::string variants = "library-nogro,library-nogso,library-single,library-spread";
  const auto json =
      std::filesystem::temp_directory_path() / ("vesk_bench_variants_" + std::to_string(::getpid()) + ".json");
  const std::string command = program.string() + " --smoke --mtu 1500 --rx-work-us 50 --transports " + variants +
                              " --json " + json.string() + " > /dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  boost::property_tree::ptree tree;
  ASSERT_NO_THROW(boost::property_tree::read_json(json.string(), tree));
  std::filesystem::remove(json);
  std::set<std::string> seen;
  for (const auto& [unused, run] : tree.get_child("runs")) {
    seen.insert(run.get<std::string>("transport"));
    EXPECT_EQ(run.get<std::uint64_t>("frames_bad"), 0u) << run.get<std::string>("transport");
  }
  EXPECT_EQ(seen, (std::set<std::string>{"library-nogro", "library-nogso", "library-single", "library-spread"}));

  const std::string unknown = program.string() + " --smoke --transports library-fast > /dev/null 2>&1";
  const int refused = std::system(unknown.c_str());
  EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == 1);
}

}  // namespace
}  // namespace vesk_bench
