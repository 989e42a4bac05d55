// veskfeed as a real process: a plain UDP socket on 127.0.0.1 counts the
// samples it sends, and the tests read its output and exit status.

#include <vesk_test/FitsTestFiles.hpp>
#include <vesk_test/LogLines.hpp>
#include <vesk_test/RunProgram.hpp>
#include <vesk_test/UdpCapture.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using vesk_test::LogMessages;
using Datagram = vesk_test::CapturedDatagram;
using vesk_test::UdpCapture;
namespace wire = korvel::wire;

namespace {

// A program's exit status (-1 when killed at its time limit) and its
// standard output and error together.
struct ProcessResult {
  int status = -1;
  std::string output;
};

std::string FeedPath() {
  return vesk_test::ProgramPath("veskfeed");
}

// Waits for a started program to end; kills it (by its pid) when it
// outlives `limit`.
ProcessResult Finish(vesk_test::ChildProcess& child, std::chrono::seconds limit) {
  const std::optional<int> status = child.Wait(limit);
  if (!status) child.Stop(SIGKILL, std::chrono::seconds(5));
  return {status.value_or(-1), child.Stdout() + child.Stderr()};
}

// `path` followed by `args`: a command line for a child process.
std::vector<std::string> Command(const std::string& path, std::vector<std::string> args) {
  args.insert(args.begin(), path);
  return args;
}

ProcessResult Run(const std::string& path, const std::vector<std::string>& args, std::chrono::seconds limit,
                  std::vector<std::string> env = {}) {
  vesk_test::RunLimits limits;
  limits.timeout = limit;
  limits.env = std::move(env);
  const auto run = vesk_test::RunProgram(path, args, limits);
  return {run.status, run.out + run.err};
}

// veskfeed with VESKTOOLS_DEBUG set to `debug_env`, or unset.
ProcessResult RunFeed(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(20),
                      std::optional<std::string> debug_env = std::nullopt) {
  return Run(FeedPath(), args, limit, {debug_env ? "VESKTOOLS_DEBUG=" + *debug_env : "VESKTOOLS_DEBUG"});
}

// veskfeed's standard output and standard error apart.
vesk_test::ProgramResult RunFeedApart(const std::vector<std::string>& args,
                                      std::chrono::seconds limit = std::chrono::seconds(30)) {
  vesk_test::RunLimits limits;
  limits.timeout = limit;
  limits.env = {"VESKTOOLS_DEBUG"};
  return vesk_test::RunProgram(FeedPath(), args, limits);
}

// The figures of a "Sent N sample(s) in S s: R samples/s, G Gb/s" line.
struct Summary {
  long samples = -1;
  double seconds = -1;
  double samples_per_second = -1;
  double gigabits_per_second = -1;
};

// The summary lines of `text` (progress lines with start "Progress:"), each
// a whole line.
std::vector<Summary> Summaries(const std::string& text, const std::string& start = "Sent") {
  static const std::string kNumber = "([0-9]+(?:\\.[0-9]+)?)";
  const std::regex pattern(start + " ([0-9]+) sample\\(s\\) in " + kNumber + " s(?:; last [0-9.]+ s)?: " + kNumber +
                           " samples/s, " + kNumber + " Gb/s");
  std::vector<Summary> found;
  std::istringstream lines(text);
  std::smatch match;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, match, pattern)) {
      found.push_back({std::stol(match[1]), std::stod(match[2]), std::stod(match[3]), std::stod(match[4])});
    }
  }
  return found;
}

std::vector<std::string> FeedArgs(const std::string& cube, const UdpCapture& capture, std::vector<std::string> extra) {
  std::vector<std::string> args{"-i", cube, "-p", std::to_string(capture.Port()), "-d", "127.0.0.1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::vector<Datagram> Leaders(const std::vector<Datagram>& datagrams) {
  std::vector<Datagram> leaders;
  for (const auto& datagram : datagrams) {
    if (datagram.IsLeader()) leaders.push_back(datagram);
  }
  return leaders;
}

// The first 16-bit pixel of each sample's first payload: the plane index in
// the cubes written by WritePlaneIndexCube16.
std::vector<int> FirstPixelOfEachSample(const std::vector<Datagram>& datagrams, std::size_t bytes_per_pixel) {
  std::vector<int> planes;
  bool expecting_first_payload = false;
  for (const auto& datagram : datagrams) {
    if (datagram.IsLeader()) {
      expecting_first_payload = true;
    } else if (expecting_first_payload && datagram.Type() == wire::PacketType::Payload) {
      if (bytes_per_pixel == 2) {
        std::int16_t value = 0;
        std::memcpy(&value, datagram.Body(), 2);
        planes.push_back(value);
      } else {
        std::int32_t value = 0;
        std::memcpy(&value, datagram.Body(), 4);
        planes.push_back(value);
      }
      expecting_first_payload = false;
    }
  }
  return planes;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A network namespace of this test's own with its loopback up, deleted at
// the end: its loopback MTU can be changed without touching the host.
class NetworkNamespace {
 public:
  NetworkNamespace() : m_name("veskfeed_test_" + std::to_string(getpid())) {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
      if (access(path, X_OK) == 0) {
        m_ip = path;
        break;
      }
    }
    if (m_ip.empty() || RunIp({"netns", "add", m_name}) != 0) return;
    m_created = true;
    m_ready = RunIp(Exec({m_ip, "link", "set", "lo", "up"})) == 0;
  }
  ~NetworkNamespace() {
    if (m_created) RunIp({"netns", "del", m_name});
  }
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  bool Ready() const { return m_ready; }
  // The program and arguments that run `command` inside the namespace.
  const std::string& Ip() const { return m_ip; }
  std::vector<std::string> Exec(const std::vector<std::string>& command) const {
    std::vector<std::string> args{"netns", "exec", m_name};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }
  int SetLoopbackMtu(int mtu) const { return RunIp(Exec({m_ip, "link", "set", "lo", "mtu", std::to_string(mtu)})); }

 private:
  int RunIp(const std::vector<std::string>& args) const { return Run(m_ip, args, std::chrono::seconds(10)).status; }

  std::string m_name;
  std::string m_ip;
  bool m_created = false;
  bool m_ready = false;
};

// Each test's cubes lie in a folder of its own.
class VeskFeed : public testing::Test {
 protected:
  // A cube of 16-bit planes whose pixels hold the plane index.
  std::string PlaneCube(long width, long height, long depth, const std::string& name = "cube.fits") const {
    const std::string path = m_dir.File(name);
    vesk_test::WritePlaneIndexCube16(path, width, height, depth);
    return path;
  }

  vesk_test::TempDir m_dir;
};

}  // namespace

TEST_F(VeskFeed, IterationsThreeSendsExactlyThreeSamples) {
  const std::string cube = PlaneCube(4, 3, 10);
  UdpCapture capture;
  const auto result = RunFeed(FeedArgs(cube, capture, {"-n", "3", "-l", "INFO"}));
  ASSERT_EQ(result.status, 0) << result.output;
  const auto datagrams = capture.WaitFor(9, std::chrono::seconds(3), std::chrono::milliseconds(300));
  EXPECT_EQ(Leaders(datagrams).size(), 3u);
  EXPECT_EQ(datagrams.size(), 9u);  // leader, one payload of 24 bytes, trailer per sample
  for (const char* line : {">>>>> Send Loop running: 0\n", ">>>>> Send Loop running: 1\n",
                           ">>>>> Send Loop running: 2\n", "The image size is (pixels): 12 (4 x 3)\n",
                           "image data size is 240 bytes: 10 images of 24 bytes\n", "Starting application..."}) {
    EXPECT_THAT(result.output, HasSubstr(line));
  }
  EXPECT_THAT(result.output, Not(HasSubstr(">>>>> Send Loop running: 3")));
  EXPECT_EQ(Occurrences(result.output, "buffer size is: 24\n"), 3u);
  EXPECT_THAT(result.output, Not(HasSubstr("VESKTOOLS-DEBUG:")));
}

TEST_F(VeskFeed, ZeroOrNegativeIterationsSendNothing) {
  const std::string cube = PlaneCube(4, 3, 2);
  for (const char* iterations : {"0", "-5"}) {
    UdpCapture capture;
    const auto result = RunFeed(FeedArgs(cube, capture, {"-n", iterations}));
    EXPECT_EQ(result.status, 0) << iterations << ": " << result.output;
    EXPECT_THAT(result.output, Not(HasSubstr("Send Loop running"))) << iterations;
    EXPECT_TRUE(capture.WaitFor(1, std::chrono::milliseconds(300)).empty()) << iterations;
  }
}

// Sample i carries image i modulo the image count; frames are whole images
// whatever the pixel size.
TEST_F(VeskFeed, FramesCycleThroughWholeImages) {
  {
    const std::string cube = PlaneCube(4, 3, 3, "short.fits");
    UdpCapture capture;
    const auto result = RunFeed(FeedArgs(cube, capture, {"-n", "7"}));
    ASSERT_EQ(result.status, 0) << result.output;
    const auto datagrams = capture.WaitFor(21, std::chrono::seconds(3));
    EXPECT_EQ(FirstPixelOfEachSample(datagrams, 2), (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
  }
  {
    // 32-bit images of 10 x 10 pixels: frames of 400 bytes, one per image.
    const std::string cube = m_dir.File("int.fits");
    std::vector<std::int32_t> values(10 * 10 * 2);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int32_t>(i / 100);
    vesk_test::WriteFits(cube, LONG_IMG, {10, 10, 2}, TINT, values.data(), static_cast<long long>(values.size()));
    UdpCapture capture;
    const auto result = RunFeed(FeedArgs(cube, capture, {"-n", "4"}));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(Occurrences(result.output, "buffer size is: 400\n"), 4u);
    const auto datagrams = capture.WaitFor(12, std::chrono::seconds(3));
    EXPECT_EQ(FirstPixelOfEachSample(datagrams, 4), (std::vector<int>{0, 1, 0, 1}));
    ASSERT_FALSE(datagrams.empty());
    EXPECT_EQ(datagrams.front().U8(wire::kBytesPerPixelOffset), 4);
    EXPECT_EQ(datagrams.front().Be32(wire::kPixelCountOffset), 100u);
  }
}

// A scaled integer cube streams the floating values the loader delivers.
TEST_F(VeskFeed, ScaledCubeStreamsFloatPixels) {
  const std::string cube = m_dir.File("scaled.fits");
  std::vector<double> values(4 * 3 * 2);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = 7.75 + 0.5 * static_cast<double>(i);
  vesk_test::WriteFits(cube, SHORT_IMG, {4, 3, 2}, TDOUBLE, values.data(), 24, vesk_test::FitsScaling{0.25, 3.0});
  UdpCapture capture;
  const auto result = RunFeed(FeedArgs(cube, capture, {"-n", "1"}));
  ASSERT_EQ(result.status, 0) << result.output;
  const auto datagrams = capture.WaitFor(3, std::chrono::seconds(3));
  ASSERT_EQ(datagrams.size(), 3u);
  EXPECT_EQ(datagrams[0].U8(wire::kBytesPerPixelOffset), 4);
  ASSERT_EQ(datagrams[1].BodySize(), 48u);
  float first = 0;
  float last = 0;
  std::memcpy(&first, datagrams[1].Body(), 4);
  std::memcpy(&last, datagrams[1].Body() + 44, 4);
  EXPECT_EQ(first, 7.75f);
  EXPECT_EQ(last, 13.25f);
}

TEST_F(VeskFeed, FrequencyPacesSamples) {
  const std::string cube = PlaneCube(4, 3, 2);
  {
    UdpCapture capture;
    const auto result = RunFeed(FeedArgs(cube, capture, {"-n", "6", "-q", "20"}));
    ASSERT_EQ(result.status, 0) << result.output;
    const auto leaders = Leaders(capture.WaitFor(18, std::chrono::seconds(5)));
    ASSERT_EQ(leaders.size(), 6u);
    for (std::size_t i = 1; i < leaders.size(); ++i) {
      const auto gap = leaders[i].arrival - leaders[i - 1].arrival;
      EXPECT_GE(gap, std::chrono::milliseconds(25)) << i;
    }
    const auto span = leaders.back().arrival - leaders.front().arrival;
    EXPECT_GE(span, std::chrono::milliseconds(200));  // 5 periods of 50 ms
    EXPECT_LE(span, std::chrono::milliseconds(1500));
  }
  {
    UdpCapture capture;
    const auto result = RunFeed(FeedArgs(cube, capture, {"-n", "6"}));
    ASSERT_EQ(result.status, 0) << result.output;
    const auto leaders = Leaders(capture.WaitFor(18, std::chrono::seconds(5)));
    ASSERT_EQ(leaders.size(), 6u);
    EXPECT_LE(leaders.back().arrival - leaders.front().arrival, std::chrono::milliseconds(150));
  }
}

// Every failure of the work phase ends the program with status 1 after its
// log line: the cube cannot be read, the library refuses the configuration,
// the send stack cannot be built. Nothing is sent.
TEST_F(VeskFeed, FailuresEndWithStatusOneAfterTheirLogLine) {
  const std::string cube = PlaneCube(1024, 1024, 2);
  UdpCapture capture;

  const std::string missing = m_dir.File("missing.fits");
  auto result = RunFeed(FeedArgs(missing, capture, {"-n", "1"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.output, HasSubstr("Application Exception: Error opening FITS file: " + missing));

  const std::string flat = m_dir.File("flat.fits");
  std::vector<std::int16_t> values(1024 * 1024, 1);
  vesk_test::WriteFits(flat, SHORT_IMG, {1024, 1024}, TSHORT, values.data(), 1024 * 1024);
  result = RunFeed(FeedArgs(flat, capture, {"-n", "1"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.output, HasSubstr("Application Exception: Error getting image dimensions for FITS file: " + flat));

  // An unsupported ext info size ends the send loop with the library's text.
  result = RunFeed(FeedArgs(cube, capture, {"-n", "3", "-x", "4"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(LogMessages(result.output, "ERROR"),
              Contains(StartsWith("supported extended info size for leader packets are 0 and 8")));
  EXPECT_EQ(Occurrences(result.output, "Send Loop running"), 1u);

  // A source address this host does not have: the socket cannot be bound.
  result = RunFeed(FeedArgs(cube, capture, {"-n", "3", "-s", "192.0.2.7"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(LogMessages(result.output, "ERROR"),
              Contains(StartsWith("bind UDP send socket on 192.0.2.7:0: Cannot assign requested address")));
  EXPECT_EQ(Occurrences(result.output, "Send Loop running"), 1u);

  for (const char* frequency : {"0", "-3"}) {
    result = RunFeed(FeedArgs(cube, capture, {"-n", "1", "-q", frequency}));
    EXPECT_EQ(result.status, 1) << frequency;
    EXPECT_THAT(result.output, HasSubstr("frequency")) << frequency;
  }

  result = RunFeed({"-i", cube, "-n", "1"});  // no destination port
  EXPECT_EQ(result.status, 1);

  EXPECT_TRUE(capture.WaitFor(1, std::chrono::milliseconds(200)).empty());
}

// A cube without pixels is refused with what it holds, before any sender.
TEST_F(VeskFeed, CubeWithoutPixelsIsRefusedWithItsSize) {
  UdpCapture capture;
  const std::string no_images = m_dir.File("no_images.fits");
  vesk_test::WriteFits(no_images, SHORT_IMG, {1024, 1024, 0}, TSHORT, nullptr, 0);
  auto result = RunFeed(FeedArgs(no_images, capture, {"-n", "3", "-l", "INFO"}));
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_THAT(LogMessages(result.output, "ERROR"), Contains("Application Exception: Nothing to send: the cube " +
                                                            no_images + " holds no images (1024 x 1024 x 0 pixels)"));
  EXPECT_THAT(result.output, Not(HasSubstr("Send Loop running")));

  const std::string no_columns = m_dir.File("no_columns.fits");
  vesk_test::WriteFits(no_columns, SHORT_IMG, {0, 1024, 5}, TSHORT, nullptr, 0);
  result = RunFeed(FeedArgs(no_columns, capture, {"-n", "3", "-l", "INFO"}));
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_THAT(LogMessages(result.output, "ERROR"),
              Contains("Application Exception: Nothing to send: the images of the cube " + no_columns +
                       " hold no pixels (0 x 1024 x 5 pixels)"));
  EXPECT_THAT(result.output, Not(HasSubstr("Send Loop running")));
  EXPECT_TRUE(capture.WaitFor(1, std::chrono::milliseconds(200)).empty());
}

// A frequency whose period the clock cannot count (1e-12 per second is a
// sample every 31 000 years) still pauses: one sample, then the wait.
TEST_F(VeskFeed, TinyFrequencySendsOneSampleAndWaits) {
  const std::string cube = PlaneCube(4, 3, 2);
  UdpCapture capture;
  const auto result = RunFeed(FeedArgs(cube, capture, {"-n", "3", "-q", "1e-12"}), std::chrono::seconds(2));
  EXPECT_EQ(result.status, -1) << "ended instead of waiting: " << result.output;
  EXPECT_THAT(result.output, HasSubstr(">>>>> Send Loop running: 0\n"));
  EXPECT_THAT(result.output, Not(HasSubstr(">>>>> Send Loop running: 1")));
  EXPECT_EQ(Leaders(capture.WaitFor(9, std::chrono::milliseconds(500))).size(), 1u);
}

// A send failure in the middle of a stream of 1024 x 1024 frames (the
// loopback MTU lowered below the sender's) ends the program with status 1
// after the library's text; the samples sent before it arrived whole.
TEST_F(VeskFeed, SendFailureMidStreamEndsWithStatusOne) {
  const std::string receiver = vesk_test::ProgramPath("veskrecv");
  if (!std::filesystem::exists(receiver)) GTEST_SKIP() << "veskrecv not built";
  const NetworkNamespace ns;
  if (!ns.Ready()) GTEST_SKIP() << "cannot create a network namespace (needs root and ip)";
  const std::string cube = PlaneCube(1024, 1024, 4);
  const std::string port = "40000";  // the namespace is this test's alone

  vesk_test::ChildProcess listening(
      Command(ns.Ip(), ns.Exec({receiver, "-p", port, "-w", "1024", "-e", "1024", "-s", "2"})));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // lets it bind before the first sample
  vesk_test::ChildProcess feeding(Command(ns.Ip(), ns.Exec({FeedPath(), "-i", cube, "-p", port, "-d", "127.0.0.1", "-m",
                                                            "9000", "-x", "0", "-n", "40", "-q", "4", "-l", "INFO"})));
  const auto received = Finish(listening, std::chrono::seconds(20));
  const int mtu_status = ns.SetLoopbackMtu(1500);
  const auto fed = Finish(feeding, std::chrono::seconds(20));

  EXPECT_EQ(received.status, 0) << received.output;
  EXPECT_THAT(received.output, HasSubstr("Received 2 sample(s)"));
  ASSERT_EQ(mtu_status, 0);
  EXPECT_EQ(fed.status, 1) << fed.output;
  EXPECT_THAT(LogMessages(fed.output, "ERROR"), Contains("Error sending VESK Payload Packet: Message too long"));
  // Every sample before the failing one counts as sent.
  const std::size_t started = Occurrences(fed.output, ">>>>> Send Loop running: ");
  EXPECT_GE(started, 3u);
  EXPECT_LT(started, 40u);
  EXPECT_THAT(LogMessages(fed.output, "INFO"), Contains(std::to_string(started - 1) + " sample(s) sent"));
}

TEST_F(VeskFeed, DebugVariablePrintsTheSendersDebugLines) {
  const std::string cube = PlaneCube(4, 3, 2);
  UdpCapture capture;
  const auto result = RunFeed(FeedArgs(cube, capture, {"-n", "1"}), std::chrono::seconds(20), std::string());
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("VESKTOOLS-DEBUG:"));
  EXPECT_THAT(result.output, HasSubstr(": Sending leader packet ...\n"));
  EXPECT_THAT(result.output, HasSubstr(": sample_payload.size()=24 bytes\n"));
  EXPECT_THAT(result.output, HasSubstr(": Sending trailer packet ...\n"));
}

// veskfeed and veskrecv agree on the stream: at MTU 9000 without ext info,
// images of 106 x 84 pixels (two payload packets of 4452 pixels) arrive whole.
TEST_F(VeskFeed, ReceiverToolGetsEverySample) {
  const std::string receiver = vesk_test::ProgramPath("veskrecv");
  if (!std::filesystem::exists(receiver)) GTEST_SKIP() << "veskrecv not built";
  const std::string cube = PlaneCube(106, 84, 4);
  int port = 0;
  {
    UdpCapture probe;  // a port that was free a moment ago
    port = probe.Port();
  }
  vesk_test::ChildProcess listening(
      {receiver, "-p", std::to_string(port), "-w", "106", "-e", "84", "-s", "6", "-t", "Int16"});
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // lets it bind before the first sample
  const auto feed = RunFeed(
      {"-i", cube, "-p", std::to_string(port), "-d", "127.0.0.1", "-m", "9000", "-x", "0", "-n", "6", "-q", "50"});
  const auto received = Finish(listening, std::chrono::seconds(20));
  EXPECT_EQ(feed.status, 0) << feed.output;
  EXPECT_EQ(received.status, 0) << received.output;
  EXPECT_THAT(received.output, HasSubstr("Received 6 sample(s), lost 0 sample(s)")) << received.output;
}

// The run ends with its summary on standard output: the samples sent, the
// seconds, and the achieved rates, which match the requested one when the
// sender keeps up (1024 x 1024 frames of 2 MiB at 50 per second).
TEST_F(VeskFeed, SummaryReportsSamplesSecondsAndRates) {
  const std::string cube = PlaneCube(1024, 1024, 2);
  UdpCapture capture;
  const auto result = RunFeedApart(FeedArgs(cube, capture, {"-n", "20", "-q", "50"}));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  const auto summaries = Summaries(result.out);
  ASSERT_EQ(summaries.size(), 1u) << result.out;
  const Summary& summary = summaries.front();
  EXPECT_EQ(summary.samples, 20);
  EXPECT_GE(summary.seconds, 0.39);  // 20 periods of 20 ms
  EXPECT_LE(summary.seconds, 0.6);
  EXPECT_NEAR(20 / summary.samples_per_second, summary.seconds, 0.0055);  // seconds to two places
  EXPECT_GE(summary.samples_per_second, 33.3);
  EXPECT_LE(summary.samples_per_second, 50.5);
  // 2 MiB of pixels per sample.
  EXPECT_NEAR(summary.gigabits_per_second, summary.samples_per_second * 2097152 * 8 / 1e9, 0.006);
  // Each period counts from the end of the previous pause, so a busy machine
  // loses its wake-up latency per period: the warning comes exactly when
  // that drops the rate below 97 % of 50.
  EXPECT_EQ(result.err.find("WARN: achieved ") != std::string::npos, summary.samples_per_second * 100 < 97 * 50)
      << summary.samples_per_second << ": " << result.err;
  // The summary comes after the last sample's lines.
  EXPECT_TRUE(
      vesk_test::InOrder(result.out, {">>>>> Send Loop running: 19\n", "buffer size is: 2097152\n", "Sent 20 "}));

  // At the maximum rate nothing was requested, so nothing falls short.
  const auto fastest = RunFeedApart(FeedArgs(cube, capture, {"-n", "5"}));
  ASSERT_EQ(fastest.status, 0) << fastest.out << fastest.err;
  ASSERT_EQ(Summaries(fastest.out).size(), 1u) << fastest.out;
  EXPECT_EQ(Summaries(fastest.out).front().samples, 5);
  EXPECT_THAT(fastest.err, Not(HasSubstr("WARN")));

  const auto none = RunFeedApart(FeedArgs(cube, capture, {"-n", "0", "-q", "50"}));
  ASSERT_EQ(none.status, 0) << none.out << none.err;
  ASSERT_EQ(Summaries(none.out).size(), 1u) << none.out;
  EXPECT_EQ(Summaries(none.out).front().samples, 0);
  EXPECT_THAT(none.err, Not(HasSubstr("WARN")));
}

// A rate the sender cannot reach with 2 MiB frames is reported as a shortfall
// on standard error at the default log level, and at WARN in the log.
TEST_F(VeskFeed, UnreachableRateEndsWithAWarning) {
  const std::string cube = PlaneCube(1024, 1024, 2);
  UdpCapture capture;
  const auto result = RunFeedApart(FeedArgs(cube, capture, {"-n", "30", "-q", "100000"}));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  const auto summaries = Summaries(result.out);
  ASSERT_EQ(summaries.size(), 1u) << result.out;
  EXPECT_EQ(summaries.front().samples, 30);
  EXPECT_LT(summaries.front().samples_per_second, 0.97 * 100000);
  const std::regex warning(
      "WARN: achieved ([0-9.]+) samples/s, below 97% of the requested 100000 samples/s: "
      "the sender could not keep up\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(result.err, match, warning)) << result.err;
  EXPECT_NEAR(std::stod(match[1]), summaries.front().samples_per_second, 0.1);

  const auto logged = RunFeedApart(FeedArgs(cube, capture, {"-n", "30", "-q", "100000", "-l", "INFO"}));
  ASSERT_EQ(logged.status, 0) << logged.out << logged.err;
  EXPECT_THAT(LogMessages(logged.out, "WARN"), Contains(StartsWith("achieved ")));
  EXPECT_THAT(logged.err, HasSubstr("WARN: achieved "));
}

// --progress prints the totals and the rate of the last interval to standard
// error while the samples go out; standard output keeps its lines.
TEST_F(VeskFeed, ProgressPrintsTheRateEveryInterval) {
  const std::string cube = PlaneCube(4, 3, 2);
  UdpCapture capture;
  const auto result = RunFeedApart(FeedArgs(cube, capture, {"-n", "32", "-q", "20", "--progress", "0.5"}));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  const auto lines = Summaries(result.err, "Progress:");
  ASSERT_GE(lines.size(), 2u) << result.err;  // 1.6 s of sending
  ASSERT_LE(lines.size(), 4u) << result.err;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NEAR(lines[i].seconds, 0.5 * static_cast<double>(i + 1), 0.1) << i;
    EXPECT_NEAR(static_cast<double>(lines[i].samples), 10.0 * static_cast<double>(i + 1), 2.0) << i;
    EXPECT_NEAR(lines[i].samples_per_second, 20, 4.5) << i;
  }
  EXPECT_THAT(result.out, Not(HasSubstr("Progress")));
  EXPECT_EQ(Summaries(result.out).size(), 1u) << result.out;
  EXPECT_EQ(Occurrences(result.out, "buffer size is: 24\n"), 32u);

  const auto quiet = RunFeedApart(FeedArgs(cube, capture, {"-n", "12", "-q", "20"}));
  ASSERT_EQ(quiet.status, 0) << quiet.out << quiet.err;
  EXPECT_THAT(quiet.err, Not(HasSubstr("Progress")));

  for (const char* interval : {"-1", "nan"}) {
    const auto refused = RunFeedApart(FeedArgs(cube, capture, {"-n", "1", "--progress", interval}));
    EXPECT_EQ(refused.status, 1) << interval;
    EXPECT_THAT(refused.err, HasSubstr("Invalid progress")) << interval;
  }
}

// Host names stand for the destination and source addresses; they are
// resolved once at start, and one that does not resolve is refused with its
// name and status 1 before anything is sent.
TEST_F(VeskFeed, HostNamesAreResolvedForTheAddresses) {
  const std::string cube = PlaneCube(4, 3, 2);
  UdpCapture capture;
  const std::string port = std::to_string(capture.Port());
  const auto by_name = RunFeedApart({"-i", cube, "-p", port, "-d", "localhost", "-s", "localhost", "-n", "2"});
  ASSERT_EQ(by_name.status, 0) << by_name.out << by_name.err;
  EXPECT_EQ(Leaders(capture.WaitFor(6, std::chrono::seconds(3))).size(), 2u);

  for (const char* option : {"-d", "-s"}) {
    const std::string other = option == std::string("-d") ? "-s" : "-d";
    const auto unknown = RunFeedApart({"-i", cube, "-p", port, other, "127.0.0.1", option, "no-such-host.invalid"});
    EXPECT_EQ(unknown.status, 1) << option;
    EXPECT_THAT(unknown.err, HasSubstr("'no-such-host.invalid'")) << option;
    EXPECT_THAT(unknown.err, HasSubstr("Cannot resolve host")) << option;
    EXPECT_THAT(unknown.out, Not(HasSubstr("Send Loop running"))) << option;
  }
  EXPECT_EQ(capture.WaitFor(7, std::chrono::milliseconds(300)).size(), 6u);  // the two samples by name only
}

// The shipped example property file, its log file moved into the test's
// folder and its size limit lowered to log4cplus's least (200 KB): the lines
// go to the file in the default layout, which rolls over into numbered
// backups of which it keeps five.
TEST_F(VeskFeed, ExampleLogPropertiesWriteARollingLogFile) {
  std::ifstream shipped(VESK_EXAMPLE_LOG_PROPERTIES);
  ASSERT_TRUE(shipped) << VESK_EXAMPLE_LOG_PROPERTIES;
  const std::string log = m_dir.File("vesktools.log");
  const std::string properties = m_dir.File("log4cplus.properties");
  {
    std::ofstream out(properties);
    int rewritten = 0;
    for (std::string line; std::getline(shipped, line);) {
      if (line.rfind("log4cplus.appender.FILE.File=", 0) == 0) {
        line = "log4cplus.appender.FILE.File=" + log;
        ++rewritten;
      } else if (line.rfind("log4cplus.appender.FILE.MaxFileSize=", 0) == 0) {
        line = "log4cplus.appender.FILE.MaxFileSize=200KB";
        ++rewritten;
      }
      out << line << '\n';
    }
    ASSERT_EQ(rewritten, 2);
  }
  const std::string cube = PlaneCube(4, 3, 2);
  UdpCapture capture;
  // Every library call logs its entry and exit at TRACE: over 1 MB of lines.
  const auto result = RunFeedApart(FeedArgs(cube, capture, {"-n", "2000", "-f", properties, "-l", "TRACE"}));
  ASSERT_EQ(result.status, 0) << result.err;

  const auto read = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string last = read(log);
  EXPECT_THAT(LogMessages(last, "INFO"), Contains("2000 sample(s) sent"));
  EXPECT_THAT(LogMessages(last, "TRACE"), Contains(StartsWith("EXIT:  virtual ketra::vesktools::vesklib_korvel::")));
  EXPECT_LE(last.size(), 205u * 1024);
  for (int backup = 1; backup <= 5; ++backup) {
    const std::string path = log + "." + std::to_string(backup);
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    EXPECT_GE(std::filesystem::file_size(path), 200u * 1024) << path;
    EXPECT_LE(std::filesystem::file_size(path), 205u * 1024) << path;
    EXPECT_FALSE(LogMessages(read(path), "TRACE").empty()) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(log + ".6"));
  // The first lines rolled away; the console got every line.
  EXPECT_THAT(LogMessages(last, "INFO"), Not(Contains("Starting application...")));
  EXPECT_THAT(LogMessages(result.out, "INFO"), Contains("Starting application..."));
}
