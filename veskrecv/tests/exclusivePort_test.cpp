// veskrecv as a process on a port another receiver holds: a unicast port
// belongs to one receiver (the second start fails with status 1), while
// receivers of one multicast group share theirs. Real 1024 x 1024 frames
// from veskfeed; multicast runs in a network namespace the test creates.

#include "support/recvProcess.hpp"

#include <vesk_test/BackgroundProgram.hpp>
#include <vesk_test/VeskReceiverScriptedSender.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vesk_test::BackgroundProgram;

// veskrecv and veskfeed with a cube of 1024 x 1024 frames.
class SharedPort : public veskrecv_test::RecvProcessTest {
 protected:
  std::vector<std::string> Receiver(const std::string& address, const std::string& netif, std::uint16_t port) const {
    return {m_recv, "-a", address, "-n", netif, "-p", std::to_string(port), "-w", "1024", "-e", "1024", "-s", "3"};
  }
  std::vector<std::string> Feed(const std::string& destination, std::uint16_t port) const {
    return {
        m_feed, "-i", m_cube, "-p", std::to_string(port), "-d", destination, "-s", "127.0.0.1", "-m", "9000", "-x", "0",
        "-n",   "3",  "-q",   "20"};
  }
};

const std::string kAllReceived = "Received 3 sample(s), lost 0 sample(s)";

TEST_F(SharedPort, SecondVeskrecvOnAUnicastPortExitsOneNamingItAndTheFirstKeepsTheStream) {
  const auto port = vesk_test::FreeUdpPort();
  BackgroundProgram first(Receiver("127.0.0.1", "", port), m_dir.File("first.out"));
  ASSERT_TRUE(vesk_test::WaitForBoundUdpPort(port, 5s));

  BackgroundProgram second(Receiver("127.0.0.1", "", port), m_dir.File("second.out"));
  EXPECT_EQ(second.Wait(10s), 1) << second.Output();
  const std::string refusal = second.Output();
  EXPECT_NE(refusal.find("port in use"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << refusal;

  BackgroundProgram feed(Feed("127.0.0.1", port), m_dir.File("feed.out"));
  EXPECT_EQ(feed.Wait(30s), 0) << feed.Output();
  ASSERT_EQ(first.Wait(15s), 0) << first.Output();
  EXPECT_NE(first.Output().find(kAllReceived), std::string::npos) << first.Output();
}

// A network namespace of the test's own, removed at the end; loopback carries
// multicast inside it.
class Namespace {
 public:
  Namespace() : m_name("vesk_port_" + std::to_string(::getpid())) {
    const std::string in = "ip -n " + m_name + " ";
    m_ready = std::system(("ip netns add " + m_name + " 2>/dev/null").c_str()) == 0 &&
              std::system((in + "link set lo up && " + in + "link set lo multicast on && " + in +
                           "route add 224.0.0.0/4 dev lo")
                              .c_str()) == 0;
  }
  ~Namespace() { (void)std::system(("ip netns del " + m_name + " 2>/dev/null").c_str()); }
  Namespace(const Namespace&) = delete;
  Namespace& operator=(const Namespace&) = delete;

  bool Ready() const { return m_ready; }
  // `argv` run inside the namespace.
  std::vector<std::string> Inside(const std::vector<std::string>& argv) const {
    std::vector<std::string> wrapped{IpPath(), "netns", "exec", m_name};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
  }

 private:
  static std::string IpPath() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
      if (::access(path, X_OK) == 0) return path;
    }
    return "ip";
  }
  std::string m_name;
  bool m_ready = false;
};

TEST_F(SharedPort, TwoVeskrecvOnOneMulticastGroupBothReceiveEveryFrame) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
  const Namespace ns;
  if (!ns.Ready()) GTEST_SKIP() << "ip(8) could not set up a network namespace with loopback multicast";
  const std::uint16_t port = 47123;  // the namespace is fresh: every port is free
  BackgroundProgram first(ns.Inside(Receiver("239.7.8.9", "lo", port)), m_dir.File("first.out"));
  ASSERT_TRUE(vesk_test::WaitForBoundUdpPort(port, 5s, first.Pid(), 1)) << first.Output();
  BackgroundProgram second(ns.Inside(Receiver("239.7.8.9", "lo", port)), m_dir.File("second.out"));
  ASSERT_TRUE(vesk_test::WaitForBoundUdpPort(port, 5s, second.Pid(), 2)) << second.Output();

  BackgroundProgram feed(ns.Inside(Feed("239.7.8.9", port)), m_dir.File("feed.out"));
  EXPECT_EQ(feed.Wait(30s), 0) << feed.Output();
  ASSERT_EQ(first.Wait(15s), 0) << first.Output();
  ASSERT_EQ(second.Wait(15s), 0) << second.Output();
  EXPECT_NE(first.Output().find(kAllReceived), std::string::npos) << first.Output();
  EXPECT_NE(second.Output().find(kAllReceived), std::string::npos) << second.Output();
}

}  // namespace
