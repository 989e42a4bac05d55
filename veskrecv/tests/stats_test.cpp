// veskrecv --stats as a real process: the report stays as it is, then one
// line per non-zero receive counter.

#include <vesk_test/RunProgram.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

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

// veskrecv's standard output after the script, with or without --stats.
std::string RunReceiver(bool stats) {
  const std::uint16_t port = vesk_test::FreeUdpPort();
  std::vector<std::string> argv{
      vesk_test::ProgramPath("veskrecv"), "-p", std::to_string(port), "-w", "10", "-e", "10", "-s", "6"};
  if (stats) argv.emplace_back("--stats");
  vesk_test::ChildProcess receiver(argv);
  EXPECT_TRUE(vesk_test::WaitForUdpPort(port, 5s));
  vesk_test::UdpPeer(port).SendAll(Script());
  EXPECT_EQ(receiver.Wait(10s), 0);
  return receiver.Stdout();
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
