// Impairment decisions: same seed, same decisions; rates met over many
// datagrams; corruption and truncation change exactly what they say; the
// relay forwards, drops, duplicates and reorders as decided.

#include <vesk_impair/ImpairRelay.hpp>
#include <vesk_impair/Impairer.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ketra::fnd::UniqueFd;
using ketra::vesktools::impair::Decision;
using ketra::vesktools::impair::ImpairConfig;
using ketra::vesktools::impair::Impairer;
using ketra::vesktools::impair::ImpairRelay;

bool SameDecision(const Decision& a, const Decision& b) {
  return a.drop == b.drop && a.duplicate == b.duplicate && a.hold_behind == b.hold_behind && a.delay == b.delay &&
         a.corrupt == b.corrupt && a.corrupt_in_header == b.corrupt_in_header && a.corrupt_offset == b.corrupt_offset &&
         a.corrupt_mask == b.corrupt_mask && a.truncate == b.truncate && a.truncate_to == b.truncate_to;
}

ImpairConfig Everything(std::uint64_t seed) {
  ImpairConfig config;
  config.seed = seed;
  config.drop_rate = 0.1;
  config.duplicate_rate = 0.1;
  config.reorder_rate = 0.1;
  config.corrupt_header_rate = 0.1;
  config.corrupt_payload_rate = 0.1;
  config.truncate_rate = 0.1;
  config.delay_rate = 0.1;
  return config;
}

TEST(Impairer, DecisionsDependOnSeedAndIndexOnly) {
  const Impairer a(Everything(7));
  const Impairer b(Everything(7));
  const Impairer other(Everything(8));
  int differing = 0;
  // Asking in a different order gives the same answers: no hidden state.
  for (std::uint64_t i = 1000; i-- > 0;) {
    EXPECT_TRUE(SameDecision(a.Decide(i, 1460), b.Decide(i, 1460))) << i;
  }
  for (std::uint64_t i = 0; i < 1000; ++i) {
    differing += SameDecision(a.Decide(i, 1460), other.Decide(i, 1460)) ? 0 : 1;
  }
  EXPECT_GT(differing, 300);
}

TEST(Impairer, RatesAreMetAndOffsetsStayInTheirPart) {
  ImpairConfig config = Everything(3);
  config.drop_rate = 0.2;
  config.reorder_window = 3;
  const Impairer impairer(config);
  const int n = 20000;
  int drops = 0, duplicates = 0, header = 0, payload = 0, truncated = 0, held = 0;
  for (int i = 0; i < n; ++i) {
    const Decision d = impairer.Decide(static_cast<std::uint64_t>(i), 100);
    drops += d.drop ? 1 : 0;
    if (d.drop) {
      EXPECT_FALSE(d.duplicate || d.corrupt || d.truncate || d.hold_behind > 0);
      continue;
    }
    duplicates += d.duplicate ? 1 : 0;
    truncated += d.truncate ? 1 : 0;
    if (d.truncate) {
      EXPECT_LT(d.truncate_to, 100U);
    }
    if (d.hold_behind > 0) {
      ++held;
      EXPECT_LE(d.hold_behind, 3U);
    }
    if (d.corrupt) {
      EXPECT_NE(d.corrupt_mask, 0);
      if (d.corrupt_in_header) {
        ++header;
        EXPECT_LT(d.corrupt_offset, 56U);
      } else {
        ++payload;
        EXPECT_GE(d.corrupt_offset, 56U);
        EXPECT_LT(d.corrupt_offset, 100U);
      }
    }
  }
  const int kept = n - drops;
  EXPECT_NEAR(drops, n * 0.2, n * 0.02);
  EXPECT_NEAR(duplicates, kept * 0.1, kept * 0.02);
  EXPECT_NEAR(truncated, kept * 0.1, kept * 0.02);
  EXPECT_NEAR(held, kept * 0.1, kept * 0.02);
  EXPECT_NEAR(header, kept * 0.1, kept * 0.02);
  // Payload corruption is drawn only where the header was left alone.
  EXPECT_NEAR(payload, kept * 0.09, kept * 0.02);
}

TEST(Impairer, ApplyFlipsOneByteThenCuts) {
  std::vector<unsigned char> bytes(80, 0x11);
  Decision d;
  d.corrupt = true;
  d.corrupt_offset = 60;
  d.corrupt_mask = 0x0F;
  d.truncate = true;
  d.truncate_to = 70;
  Impairer::Apply(d, bytes);
  ASSERT_EQ(bytes.size(), 70U);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(bytes[i], i == 60 ? 0x1E : 0x11) << i;
  }
}

TEST(Impairer, RefusesRatesOutsideZeroToOne) {
  ImpairConfig config;
  config.drop_rate = 1.5;
  EXPECT_THROW(Impairer{config}, std::invalid_argument);
  config.drop_rate = 0.0;
  config.truncate_rate = -0.1;
  EXPECT_THROW(Impairer{config}, std::invalid_argument);
  config.truncate_rate = 0.0;
  config.reorder_rate = 0.5;
  config.reorder_window = 0;
  EXPECT_THROW(Impairer{config}, std::invalid_argument);
}

// ---- the relay on loopback ----

class Endpoint {
 public:
  Endpoint() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (m_fd.Get() < 0 || ::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("no loopback socket");
    }
    m_port = ntohs(address.sin_port);
  }
  std::uint16_t Port() const { return m_port; }
  void SendTo(std::uint16_t port, const std::vector<unsigned char>& bytes) const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(
        ::sendto(m_fd.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
        static_cast<ssize_t>(bytes.size()));
  }
  // Datagrams arriving until none came for `quiet` (at most `limit` of them).
  std::vector<std::vector<unsigned char>> Collect(std::size_t limit, std::chrono::milliseconds quiet = 300ms) const {
    std::vector<std::vector<unsigned char>> got;
    while (got.size() < limit) {
      pollfd fd{m_fd.Get(), POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(quiet.count())) <= 0) break;
      std::vector<unsigned char> buffer(2048);
      const ssize_t n = ::recv(m_fd.Get(), buffer.data(), buffer.size(), 0);
      if (n < 0) break;
      buffer.resize(static_cast<std::size_t>(n));
      got.push_back(std::move(buffer));
    }
    return got;
  }

 private:
  UniqueFd m_fd;
  std::uint16_t m_port = 0;
};

std::vector<unsigned char> Numbered(int i) {
  std::vector<unsigned char> bytes(64, static_cast<unsigned char>(i));
  bytes[0] = static_cast<unsigned char>(i >> 8);
  return bytes;
}

int NumberOf(const std::vector<unsigned char>& bytes) {
  return (bytes[0] << 8) | bytes[1];
}

TEST(ImpairRelay, ForwardsWhatItDecidesInTheOrderItDecides) {
  Endpoint sender;
  Endpoint receiver;
  ImpairConfig config;
  config.seed = 11;
  config.drop_rate = 0.2;
  config.duplicate_rate = 0.1;
  config.reorder_rate = 0.1;
  config.reorder_window = 3;
  const int n = 200;
  // The expected sequence, worked out from the decisions alone.
  const Impairer impairer(config);
  std::vector<int> expected;
  std::vector<std::pair<int, std::size_t>> held;  // number, datagrams still to pass
  for (int i = 0; i < n; ++i) {
    const Decision d = impairer.Decide(static_cast<std::uint64_t>(i), 64);
    if (d.drop) continue;
    const int copies = d.duplicate ? 2 : 1;
    if (d.hold_behind > 0) {
      for (int c = 0; c < copies; ++c) held.emplace_back(i, d.hold_behind);
      continue;
    }
    for (int c = 0; c < copies; ++c) expected.push_back(i);
    std::vector<std::pair<int, std::size_t>> still;
    for (auto& h : held) {
      if (--h.second == 0) {
        expected.push_back(h.first);
      } else {
        still.push_back(h);
      }
    }
    held = still;
  }
  for (const auto& h : held) expected.push_back(h.first);

  ImpairRelay relay("127.0.0.1", 0, "127.0.0.1", receiver.Port(), config);
  relay.Start();
  for (int i = 0; i < n; ++i) sender.SendTo(relay.ListenPort(), Numbered(i));
  const auto got = receiver.Collect(static_cast<std::size_t>(2 * n));
  relay.Stop();

  std::vector<int> numbers;
  for (const auto& bytes : got) {
    ASSERT_EQ(bytes, Numbered(NumberOf(bytes)));
    numbers.push_back(NumberOf(bytes));
  }
  EXPECT_EQ(numbers, expected);
  const auto counts = relay.Counts();
  EXPECT_EQ(counts.received, static_cast<std::uint64_t>(n));
  EXPECT_EQ(counts.forwarded, expected.size());
  EXPECT_GT(counts.dropped, 20U);
  EXPECT_GT(counts.duplicated, 5U);
  EXPECT_GT(counts.reordered, 5U);
}

TEST(ImpairRelay, PassesUnchangedWhileImpairingIsOffAndDelaysOnTime) {
  Endpoint sender;
  Endpoint receiver;
  ImpairConfig config;
  config.drop_rate = 1.0;
  ImpairRelay relay("127.0.0.1", 0, "127.0.0.1", receiver.Port(), config);
  relay.Start();
  sender.SendTo(relay.ListenPort(), Numbered(1));
  EXPECT_TRUE(receiver.Collect(1, 200ms).empty());
  relay.SetImpairing(false);
  sender.SendTo(relay.ListenPort(), Numbered(2));
  const auto got = receiver.Collect(1, 2000ms);
  ASSERT_EQ(got.size(), 1U);
  EXPECT_EQ(got[0], Numbered(2));
  relay.Stop();

  ImpairConfig slow;
  slow.delay_rate = 1.0;
  slow.delay = 150ms;
  ImpairRelay delaying("127.0.0.1", 0, "127.0.0.1", receiver.Port(), slow);
  delaying.Start();
  const auto sent_at = std::chrono::steady_clock::now();
  sender.SendTo(delaying.ListenPort(), Numbered(3));
  const auto late = receiver.Collect(1, 2000ms);
  const auto took = std::chrono::steady_clock::now() - sent_at;
  ASSERT_EQ(late.size(), 1U);
  EXPECT_EQ(late[0], Numbered(3));
  EXPECT_GE(took, 140ms);
  EXPECT_EQ(delaying.Counts().delayed, 1U);
}

TEST(ImpairRelay, RefusesMalformedAddresses) {
  EXPECT_THROW(ImpairRelay("127.0.0.256", 0, "127.0.0.1", 9, ImpairConfig{}), std::invalid_argument);
  EXPECT_THROW(ImpairRelay("127.0.0.1", 0, "localhost", 9, ImpairConfig{}), std::invalid_argument);
  EXPECT_THROW(ImpairRelay("127.0.0.1", 0, "127.0.0.1", 0, ImpairConfig{}), std::invalid_argument);
}

}  // namespace
