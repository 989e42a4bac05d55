// vesk2vidragw receiving megapixel frames by multicast inside a network
// namespace made by the test: a veth pair, 192.0.2.1 on vg0 for the sender
// and 192.0.2.2 on vg1 for the gateway, which joins the group on vg1 given
// by name or by address; a unicast stream with an interface name given as
// well. Everything runs in a child process that moved into the new
// namespace, so no datagram reaches the host's networks.

#include "gatewayTestSupport.hpp"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <fstream>

using namespace std::chrono_literals;
using namespace gateway_test;
using vesk_test::ChildProcess;

namespace {

constexpr const char* kSenderAddress = "192.0.2.1";
constexpr const char* kGatewayAddress = "192.0.2.2";
constexpr const char* kGroup = "239.192.0.7";

// Lo up and the veth pair vg0 - vg1. vg1 accepts datagrams whose source is
// an address of the same namespace (vg0's), which the kernel otherwise
// drops as martians.
std::string SetUpInterfaces() {
  if (std::system("ip link set lo up && ip link add vg0 type veth peer name vg1 && "
                  "ip addr add 192.0.2.1/24 dev vg0 && ip addr add 192.0.2.2/24 dev vg1 && "
                  "ip link set vg0 up && ip link set vg1 up") != 0) {
    return "SKIP ip(8) could not create the veth pair";
  }
  for (const char* setting : {"/proc/sys/net/ipv4/conf/all/rp_filter", "/proc/sys/net/ipv4/conf/vg1/rp_filter"}) {
    std::ofstream(setting) << "0\n";
  }
  std::ofstream accept_local("/proc/sys/net/ipv4/conf/vg1/accept_local");
  accept_local << "1\n";
  return accept_local ? "" : "SKIP cannot set accept_local on vg1";
}

struct Case {
  std::string name;
  std::string receiver_ip;  // gateway's "-r"
  std::string interface;    // gateway's "-a"
};

// One gateway and one sender of 1024 x 1024 frames; "" when frames reached
// the broker, else what went wrong.
std::string RunCase(const Case& c, const vesk_test::RedisServer& server, const std::string& cube) {
  const std::string port = std::to_string(vesk_test::FreeUdpPort());
  ChildProcess gateway({Gateway(), "-r", c.receiver_ip, "-a", c.interface, "-p", port, "-w", "1024", "-e", "1024", "-k",
                        server.Uri(), "-s", c.name, "-i", "0", "-l", "INFO"});
  std::this_thread::sleep_for(700ms);
  if (!gateway.Running()) {
    return "[" + c.name + "] the gateway ended with status " + std::to_string(gateway.Wait(0ms).value_or(-1)) + ": " +
           gateway.Stdout() + gateway.Stderr();
  }
  ChildProcess feed({Feed(), "-i", cube, "-s", kSenderAddress, "-d", c.receiver_ip, "-p", port, "-q", "5", "-n", "50"});
  const bool published = WaitFor([&] { return StreamLength(server, c.name) >= 3; }, 15s);
  feed.Stop(SIGTERM, 5s);
  const bool running = gateway.Running();
  gateway.Stop(SIGTERM, 5s);
  if (!published || !running) {
    return "[" + c.name + "] " + std::to_string(StreamLength(server, c.name)) + " entries, gateway " +
           (running ? "running" : "ended") + ": " + gateway.Stdout().substr(0, 2000) + gateway.Stderr();
  }
  return "";
}

// Runs the cases in a child in a new network namespace; "" when all passed,
// "SKIP <why>" when the namespace could not be made, else the failures.
std::string RunInNetworkNamespace(const std::vector<Case>& cases, const std::string& cube) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    return "pipe failed";
  }
  const pid_t child = fork();
  if (child < 0) {
    return "fork failed";
  }
  if (child == 0) {
    close(pipe_fds[0]);
    alarm(120);  // the cases are bounded; this only guards against a hang
    std::string result;
    if (unshare(CLONE_NEWNET) != 0) {
      result = "SKIP unshare(CLONE_NEWNET) failed";
    } else {
      result = SetUpInterfaces();
    }
    if (result.empty()) {
      try {
        vesk_test::RedisServer server;
        for (const auto& c : cases) {
          result += RunCase(c, server, cube);
        }
      } catch (const std::exception& e) {
        result += std::string("exception: ") + e.what();
      }
    }
    if (!result.empty() && write(pipe_fds[1], result.data(), result.size()) < 0) {
      _exit(3);
    }
    _exit(result.empty() ? 0 : 1);
  }
  close(pipe_fds[1]);
  std::string message;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    message.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (message.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    message = "the namespace child ended with raw status " + std::to_string(status);
  }
  return message;
}

class GatewayMulticast : public GatewayTest {};

}  // namespace

TEST_F(GatewayMulticast, JoinsOnTheInterfaceGivenByNameOrAddressAndUnicastIgnoresIt) {
  RequireFeed();
  if (geteuid() != 0) {
    GTEST_SKIP() << "creating a network namespace needs root";
  }
  const CubeFile cube("multicast.fits", 1024, 1024, 4);
  const std::string message = RunInNetworkNamespace({{"by_name", kGroup, "vg1"},
                                                     {"by_address", kGroup, kGatewayAddress},
                                                     {"unicast_with_name", kGatewayAddress, "vg1"}},
                                                    cube.Path());
  if (message.rfind("SKIP ", 0) == 0) {
    GTEST_SKIP() << message.substr(5);
  }
  EXPECT_EQ(message, "");
}
