// veskrecv --stats as a real process: the report stays as it is, then one
// line per non-zero receive counter.

#include <vesk_test/veskReceiverScriptedSender.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool PortBound(std::uint16_t port, std::chrono::milliseconds limit) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadAll("/proc/net/udp").find(hex) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// veskrecv with output in a file; killed by its pid if it outlives the test.
class Receiver {
 public:
  Receiver(const std::vector<std::string>& args, const fs::path& output) {
    const char* dir = std::getenv("VESK_BINARY_DIR");
    const fs::path program = (dir ? fs::path(dir) : fs::current_path().parent_path()) / "veskrecv" / "veskrecv";
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (posix_spawn(&m_pid, raw[0], &actions, nullptr, raw.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Receiver() {
    if (m_pid > 0 && !m_status) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  std::optional<int> Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_pid > 0 && !m_status) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(20ms);
    }
    return m_status;
  }

 private:
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

// Samples 1, 2, 4 and 6 whole; 3 never sent; 5 cut off by 6's leader.
std::vector<vesk_test::Datagram> Script() {
  std::vector<vesk_test::Datagram> script;
  for (std::uint32_t id : {1u, 2u, 4u, 5u, 6u}) {
    vesk_test::SampleSpec layout;
    layout.sample_id = id;
    layout.packets = 3;
    layout.pixels = 100;
    layout.chunk_bytes = 200;
    layout.data = vesk_test::Pattern(200, id);
    auto sample = vesk_test::BuildSample(layout);
    if (id == 5) sample.pop_back();
    script.insert(script.end(), sample.begin(), sample.end());
  }
  return script;
}

std::string RunReceiver(bool stats) {
  const fs::path output =
      fs::temp_directory_path() / ("veskrecv_stats_" + std::to_string(::getpid()) + (stats ? "_on" : "_off"));
  const std::uint16_t port = vesk_test::FreeUdpPort();
  std::vector<std::string> args{"-p", std::to_string(port), "-w", "10", "-e", "10", "-s", "6"};
  if (stats) args.emplace_back("--stats");
  Receiver receiver(args, output);
  EXPECT_TRUE(PortBound(port, 5s));
  vesk_test::UdpPeer(port).SendAll(Script());
  EXPECT_EQ(receiver.Wait(10s), 0);
  std::string text = ReadAll(output);
  std::error_code ignored;
  fs::remove(output, ignored);
  return text;
}

const std::string kReport = "\nVESK Receiver execution report:\nReceived 4 sample(s), lost 2 sample(s)\n\n";

TEST(VeskrecvStats, CountersFollowTheUnchangedReportOneLineEachOnlyWhenAsked) {
  const std::string with = RunReceiver(true);
  const std::size_t report = with.find(kReport);
  ASSERT_NE(report, std::string::npos) << with;
  EXPECT_EQ(with.substr(report + kReport.size()),
            "datagrams_received: 14\n"
            "samples_delivered: 4\n"
            "samples_given_up: 1\n"
            "given_up_new_leader: 1\n"
            "first_sample_id: 1\n"
            "last_sample_id: 6\n"
            "id_gaps: 1\n"
            "id_gap_samples: 1\n");

  const std::string without = RunReceiver(false);
  ASSERT_GE(without.size(), kReport.size()) << without;
  EXPECT_EQ(without.substr(without.size() - kReport.size()), kReport);
  EXPECT_EQ(without.find("samples_delivered"), std::string::npos) << without;
}

}  // namespace
