// Address parsing, UDP socket set-up and its failures, multicast in a
// private network namespace.

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace korvel::test {
namespace {

using namespace std::chrono_literals;

TEST(Ipv4, ParsesDottedQuads) {
  EXPECT_EQ(Ipv4("127.0.0.1").HostOrder(), 0x7F000001u);
  EXPECT_EQ(Ipv4("127.0.0.1").NetworkOrder(), htonl(0x7F000001u));
  EXPECT_EQ(Ipv4("255.255.255.255").HostOrder(), 0xFFFFFFFFu);
  EXPECT_EQ(Ipv4("10.20.30.40").ToString(), "10.20.30.40");
  EXPECT_TRUE(Ipv4("0.0.0.0").IsAny());
  EXPECT_TRUE(Ipv4().IsAny());
  EXPECT_TRUE(Ipv4("224.0.0.1").IsMulticast());
  EXPECT_TRUE(Ipv4("239.255.255.255").IsMulticast());
  EXPECT_FALSE(Ipv4("240.0.0.1").IsMulticast());
  EXPECT_FALSE(Ipv4("223.255.255.255").IsMulticast());
  EXPECT_EQ(Ipv4::FromHostOrder(0xC0A80102u), Ipv4("192.168.1.2"));
}

TEST(Ipv4, RefusesMalformedTextNamingIt) {
  for (const std::string bad : {"", " 1.2.3.4", "1.2.3.4 ", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.-4", "+1.2.3.4",
                                "01.2.3.4", "1..2.3", "1.2.3.4x", "a.b.c.d", "1.2.3.1000", "localhost", "1.2.3.4."}) {
    try {
      Ipv4 ip(bad);
      ADD_FAILURE() << "accepted \"" << bad << "\" as " << ip.ToString();
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + bad + "\""), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(Ipv4("0.10.100.0").ToString(), "0.10.100.0");
}

TEST(UdpSockets, BindFailureNamesAddressAndPort) {
  UdpRxSocket::Config c;
  c.address = Ipv4("192.0.2.1");  // TEST-NET-1: not an address of this host
  c.port = 4321;
  try {
    UdpRxSocket s(c, nullptr);
    FAIL() << "bound a foreign address";
  } catch (const std::system_error& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("bind UDP receive socket on 192.0.2.1:4321"), std::string::npos) << what;
    EXPECT_EQ(e.code().value(), EADDRNOTAVAIL);
  }
  UdpTxSocket::Config t;
  t.src_ip = Ipv4("192.0.2.1");
  t.src_port = 4322;
  t.dest_ip = Ipv4("127.0.0.1");
  t.dest_port = 9;
  EXPECT_THROW(
      {
        try {
          UdpTxSocket s(t, nullptr);
        } catch (const std::system_error& e) {
          EXPECT_NE(std::string(e.what()).find("192.0.2.1:4322"), std::string::npos) << e.what();
          throw;
        }
      },
      std::system_error);
}

// A second receiver on a unicast port would take the datagrams meant for the
// first: its bind is refused, naming address and port, and the first keeps
// receiving.
TEST(UdpSockets, UnicastPortIsExclusiveAndTheRefusalNamesIt) {
  UdpRxSocket::Config c;
  c.address = Ipv4("127.0.0.1");
  UdpRxSocket first(c, nullptr);
  const std::uint16_t port = first.LocalPort();
  const std::string where = ":" + std::to_string(port);
  for (const char* address : {"127.0.0.1", "0.0.0.0"}) {
    UdpRxSocket::Config second = c;
    second.address = Ipv4(address);
    second.port = port;
    try {
      UdpRxSocket s(second, nullptr);
      ADD_FAILURE() << "a second receiver bound " << address << where;
    } catch (const std::system_error& e) {
      const std::string what = e.what();
      EXPECT_EQ(e.code().value(), EADDRINUSE) << what;
      EXPECT_NE(what.find(std::string(address) + where), std::string::npos) << what;
      EXPECT_NE(what.find("port in use"), std::string::npos) << what;
    }
  }
  UdpPeer raw(port);
  raw.Send(Pattern(80, 5));
  Bytes got(100);
  const iovec v{got.data(), got.size()};
  RxDatagram d;
  ASSERT_FALSE(first.Receive(&v, 1, 2s, d));
  EXPECT_TRUE(d.received);
  EXPECT_EQ(d.bytes, 80u);
}

TEST(UdpSockets, UnknownMulticastInterfaceIsNamed) {
  UdpRxSocket::Config c;
  c.address = Ipv4("239.1.2.3");
  c.netif = "nosuchif0";
  try {
    UdpRxSocket s(c, nullptr);
    FAIL() << "joined on a missing interface";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("\"nosuchif0\""), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("239.1.2.3"), std::string::npos) << e.what();
  }
}

TEST(UdpSockets, SendsToAMissingReceiverKeepWorking) {
  // Find a port nobody listens on: bind one, note it, close it.
  std::uint16_t port = 0;
  {
    UdpRxSocket::Config c;
    c.address = Ipv4("127.0.0.1");
    port = UdpRxSocket(c, nullptr).LocalPort();
  }
  UdpTxSocket::Config t;
  t.src_ip = Ipv4("127.0.0.1");
  t.dest_ip = Ipv4("127.0.0.1");
  t.dest_port = port;
  UdpTxSocket tx(t, nullptr);
  std::byte data[16]{};
  const iovec v{data, sizeof data};
  for (int i = 0; i < 5; ++i) {
    // The ICMP port-unreachable of each datagram must not fail the next send.
    EXPECT_FALSE(tx.Send(&v, 1)) << "send " << i;
    std::this_thread::sleep_for(2ms);
  }
}

TEST(UdpSockets, ReceiveBufferIsSizedOrWarned) {
  const KorvelWarnings log;
  UdpRxSocket::Config c;
  c.address = Ipv4("127.0.0.1");
  c.buffer_size = 8u << 20;
  UdpRxSocket s(c, nullptr);
  if (s.GrantedBufferSize() / 2 >= c.buffer_size) {
    EXPECT_TRUE(log.Lines().empty());
  } else {
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_NE(log.Lines()[0].find("sysctl -w net.core.rmem_max=8388608"), std::string::npos) << log.Lines()[0];
  }
  if (geteuid() == 0) {
    EXPECT_GE(s.GrantedBufferSize(), 2 * c.buffer_size);  // SO_RCVBUFFORCE
  }
}

TEST(UdpSockets, ShortReceiveBufferLogsOneWarningWithTheFix) {
  // Without CAP_NET_ADMIN the kernel caps the buffer at net.core.rmem_max.
  // As root, the check runs in a child that gives its privileges up first.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
    const KorvelWarnings log;
    UdpRxSocket::Config c;
    c.address = Ipv4("127.0.0.1");
    c.buffer_size = 1u << 29;
    UdpRxSocket s(c, nullptr);
    if (s.GrantedBufferSize() / 2 >= c.buffer_size) _exit(4);  // a host that allows 512 MiB: nothing to see
    if (log.Lines().size() != 1) _exit(5);
    const std::string line = log.Lines()[0];
    const bool ok = line.find("536870912 bytes asked") != std::string::npos &&
                    line.find("sysctl -w net.core.rmem_max=536870912") != std::string::npos;
    _exit(ok ? 0 : 6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 4) GTEST_SKIP() << "net.core.rmem_max allows 512 MiB here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: setuid failed, 5: not one warning, 6: warning text";
}

TEST(Multicast, JoinAndReceiveInsideANetworkNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    alarm(20);  // never outlive a hung receive
    std::string result;
    if (unshare(CLONE_NEWNET) != 0) {
      result = "SKIP unshare(CLONE_NEWNET) failed";
    } else if (std::system("ip link set lo up && ip link set lo multicast on && "
                           "ip route add 224.0.0.0/4 dev lo") != 0) {
      result = "SKIP ip(8) could not set up loopback multicast";
    } else {
      try {
        // Two receivers of one group on one port: address reuse lets both listen.
        UdpRxSocket::Config rc;
        rc.address = Ipv4("239.7.7.7");
        rc.netif = "lo";
        UdpRxSocket first(rc, nullptr);
        rc.port = first.LocalPort();
        UdpRxSocket second(rc, nullptr);
        UdpTxSocket::Config tc;
        tc.src_ip = Ipv4("127.0.0.1");
        tc.dest_ip = Ipv4("239.7.7.7");
        tc.dest_port = first.LocalPort();
        tc.multicast_ttl = 1;
        UdpTxSocket tx(tc, nullptr);
        const Bytes sent = Pattern(300, 4);
        const iovec v{const_cast<std::byte*>(sent.data()), sent.size()};
        if (auto e = tx.Send(&v, 1)) result = "send: " + e.message();
        for (UdpRxSocket* rx : {&first, &second}) {
          Bytes got(400);
          const iovec r{got.data(), got.size()};
          RxDatagram d;
          if (auto e = rx->Receive(&r, 1, 2s, d)) result += " receive: " + e.message();
          got.resize(d.bytes);
          if (!d.received || got != sent) result += " datagram missing or altered;";
        }
      } catch (const std::exception& e) {
        result = std::string("exception: ") + e.what();
      }
    }
    if (!result.empty()) {
      ssize_t ignored = write(pipe_fds[1], result.data(), result.size());
      (void)ignored;
    }
    _exit(result.empty() ? 0 : 1);
  }
  close(pipe_fds[1]);
  std::string message;
  char buf[256];
  for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) message.append(buf, static_cast<std::size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (message.rfind("SKIP ", 0) == 0) GTEST_SKIP() << message.substr(5);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << message;
  EXPECT_EQ(message, "");
}

TEST(UdpSockets, ReceiveReportsTruncationAndFullLength) {
  UdpRxSocket::Config c;
  c.address = Ipv4("127.0.0.1");
  UdpRxSocket rx(c, nullptr);
  UdpPeer raw(rx.LocalPort());
  raw.Send(Pattern(100, 1));
  Bytes got(60);
  const iovec v[2] = {{got.data(), 20}, {got.data() + 20, 40}};
  RxDatagram d;
  ASSERT_FALSE(rx.Receive(v, 2, 1s, d));
  EXPECT_TRUE(d.received);
  EXPECT_TRUE(d.truncated);
  EXPECT_EQ(d.bytes, 60u);
  EXPECT_EQ(d.datagram_size, 100u);
  const Bytes expected = Pattern(100, 1);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
}

}  // namespace
}  // namespace korvel::test
