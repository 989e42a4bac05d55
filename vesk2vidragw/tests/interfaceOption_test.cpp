// vesk2vidragw's interface option run as a real process: a name or an IPv4
// address of one passes start-up; other text is refused at once.

#include <vesk_test/RunProgram.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Required options with a broker address where nothing listens.
std::vector<std::string> Required(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"-p", std::to_string(vesk_test::FreeUdpPort()),
                                   "-w", "4",
                                   "-e", "3",
                                   "-k", "redis://127.0.0.1:" + std::to_string(vesk_test::FreeTcpPort())};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(Vesk2vidragwStartup, InterfaceIsANameOrAnIpv4AddressOfOne) {
  const std::string program = vesk_test::ProgramPath("vesk2vidragw");
  vesk_test::RunLimits limits;
  limits.timeout = 15s;
  for (const std::string refused : {"1.2.3", "300.1.1.1", "eth0/1", "a:b", "averyveryverylongname"}) {
    const auto run = vesk_test::RunProgram(program, Required({"-a", refused}), limits);
    EXPECT_EQ(run.status, 1) << refused;
    EXPECT_EQ(run.err.rfind("ERROR: Invalid interface: '" + refused + "'", 0), 0u) << run.err;
  }
  // Accepted: start-up passes and the work ends at the unreachable broker.
  for (const std::string accepted : {"eth0", "lo", "192.0.2.2", ""}) {
    const auto run = vesk_test::RunProgram(program, Required({"-a", accepted}), limits);
    EXPECT_EQ(run.status, 1) << accepted;
    EXPECT_EQ(run.err.find("Invalid interface"), std::string::npos) << accepted << ": " << run.err;
    EXPECT_NE(run.err.find("does not answer"), std::string::npos) << accepted << ": " << run.err;
  }
}

}  // namespace
