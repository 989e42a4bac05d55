// soak: streams samples at a steady rate through the impairing relay (0.1%
// of datagrams dropped unless told otherwise) for a long time, checks every
// delivered sample against what was sent, and reports resident memory at
// start and end, the sender's, relay's and receiver's counters, and every
// sample delivered wrong.

#include <vesk_impair/ImpairRelay.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/VeskReceiver.hpp>
#include <vesklib_korvel/VeskSender.hpp>

#include <fmt/format.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <boost/program_options.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace po = boost::program_options;
using ketra::fnd::datatype::DataType;
using ketra::vesktools::impair::ImpairConfig;
using ketra::vesktools::impair::ImpairRelay;
using ketra::vesktools::vesklib_korvel::ReceiverConfig;
using ketra::vesktools::vesklib_korvel::SampleExtInfo;
using ketra::vesktools::vesklib_korvel::SenderConfig;
using ketra::vesktools::vesklib_korvel::VeskReceiver;
using ketra::vesktools::vesklib_korvel::VeskSender;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint16_t kMtu = 9000;

// Pixel p of sample `id`: the id's low half in the high half, p in the low.
void FillPattern(std::uint32_t id, std::vector<unsigned char>& bytes) {
  for (std::size_t p = 0; p < bytes.size() / 4; ++p) {
    const std::uint32_t value = (id << 16U) | static_cast<std::uint32_t>(p & 0xFFFFU);
    std::memcpy(bytes.data() + p * 4, &value, 4);
  }
}

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = -1;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

class CheckingReceiver : public VeskReceiver {
 public:
  CheckingReceiver(int port, int pixels)
      : VeskReceiver("127.0.0.1", "", port, DataType::Int32, Config(pixels)), m_expected(pixels * 4ULL) {
    SetSampleTimeout(std::chrono::milliseconds(500));
  }
  static ReceiverConfig Config(int pixels) {
    ReceiverConfig config;
    config.mtu_size = kMtu;
    config.image_width = pixels;
    config.image_height = 1;
    config.ext_info_size = 8;
    return config;
  }
  void HandleSampleUser(SampleExtInfo&, std::vector<unsigned char>& sample) override {
    const auto id = static_cast<std::uint32_t>(GetSampleId());
    FillPattern(id, m_expected);
    if (sample != m_expected) {
      std::cout << fmt::format("WRONG sample {}: {} bytes delivered", id, sample.size()) << std::endl;
      m_wrong.fetch_add(1);
    }
    m_delivered.fetch_add(1);
    // Ids the receiver never saw a leader of.
    if (m_last_id != 0 && id > m_last_id + 1) m_gaps.fetch_add(id - m_last_id - 1);
    m_last_id = id;
  }
  void HandleSampleLost() override {
    const auto id = static_cast<std::uint32_t>(GetSampleId());
    if (id == m_last_id) return;  // no leader within the sample time: not a sample
    m_given_up.fetch_add(1);
    if (m_last_id != 0 && id > m_last_id + 1) m_gaps.fetch_add(id - m_last_id - 1);
    m_last_id = id;
  }
  std::atomic<std::uint64_t> m_delivered{0};
  std::atomic<std::uint64_t> m_given_up{0};
  std::atomic<std::uint64_t> m_gaps{0};
  std::atomic<std::uint64_t> m_wrong{0};

 private:
  std::vector<unsigned char> m_expected;
  std::uint32_t m_last_id = 0;  // receive thread only
};

}  // namespace

int main(int argc, char** argv) {
  const log4cplus::Initializer log_initializer;
  double lossless_rate = 0;
  double rate = 0;
  double seconds = 600;
  double drop = 0.001;
  int pixels = 16384;
  std::uint64_t seed = 1;
  po::options_description description("soak options");
  description.add_options()("help,h", "Print help messages")(
      "lossless-rate", po::value(&lossless_rate)->required(),
      "highest rate (samples/s) the stream runs at without loss on this machine")(
      "rate", po::value(&rate), "samples per second to send (default: 80% of --lossless-rate)")(
      "seconds", po::value(&seconds)->default_value(600), "how long to stream")(
      "drop", po::value(&drop)->default_value(0.001), "rate of datagrams the relay drops")(
      "pixels", po::value(&pixels)->default_value(16384), "Int32 pixels per sample")(
      "seed", po::value(&seed)->default_value(1), "seed of the relay's decisions");
  try {
    po::variables_map variables;
    po::store(po::parse_command_line(argc, argv, description), variables);
    if (variables.count("help") != 0U) {
      std::cout << description << std::endl;
      return 0;
    }
    po::notify(variables);
    if (variables.count("rate") == 0U) rate = 0.8 * lossless_rate;
    if (!(rate > 0) || !(seconds > 0) || pixels < 1 || pixels > 4'000'000) {
      throw std::invalid_argument(fmt::format(
          "--rate {} and --seconds {} must be above 0, --pixels {} within 1-4000000", rate, seconds, pixels));
    }
  } catch (const std::exception& error) {
    std::cerr << "ERROR: " << error.what() << std::endl;
    return 1;
  }
  ketra::vesktools::vesklib_korvel::Logger().setLogLevel(log4cplus::OFF_LOG_LEVEL);

  const int receiver_port = FreeUdpPort();
  ImpairConfig impair;
  impair.seed = seed;
  impair.drop_rate = drop;
  ImpairRelay relay("127.0.0.1", 0, "127.0.0.1", static_cast<std::uint16_t>(receiver_port), impair);
  CheckingReceiver receiver(receiver_port, pixels);
  relay.Start();
  std::thread receive_thread([&] { receiver.ReceiveLoop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  SenderConfig sender_config;
  sender_config.mtu_size = kMtu;
  VeskSender sender("127.0.0.1", "127.0.0.1", relay.ListenPort(), DataType::Int32, pixels, sender_config);
  std::vector<unsigned char> sample(static_cast<std::size_t>(pixels) * 4);
  const long rss_start = RssKiB();
  std::cout << fmt::format(
                   "soak: {} Int32 pixels per sample at {:.1f} samples/s for {:.0f} s, drop rate {}, "
                   "RSS at start {} KiB",
                   pixels, rate, seconds, drop, rss_start)
            << std::endl;

  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  auto next = start;
  auto next_report = start + std::chrono::seconds(30);
  std::uint64_t sent = 0;
  std::uint64_t send_errors = 0;
  while (Clock::now() < end) {
    FillPattern(static_cast<std::uint32_t>(sent + 1), sample);
    try {
      sender.SendSample(SampleExtInfo(static_cast<double>(sent + 1)), sample);
    } catch (const std::exception&) {
      ++send_errors;
    }
    ++sent;
    next += period;
    std::this_thread::sleep_until(next);
    if (Clock::now() >= next_report) {
      next_report += std::chrono::seconds(30);
      std::cout << fmt::format("  {:.0f} s: sent {} delivered {} given up {} RSS {} KiB",
                               std::chrono::duration<double>(Clock::now() - start).count(), sent,
                               receiver.m_delivered.load(), receiver.m_given_up.load(), RssKiB())
                << std::endl;
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  receiver.StopReceiver();
  receive_thread.join();
  relay.Stop();
  const long rss_end = RssKiB();
  const auto counts = relay.Counts();
  const std::uint64_t delivered = receiver.m_delivered.load();
  const std::uint64_t given_up = receiver.m_given_up.load();
  const std::uint64_t gaps = receiver.m_gaps.load();
  std::cout << fmt::format(
                   "soak: {:.1f} s, samples sent {} ({:.1f}/s, send errors {}), delivered {}, given up {}, "
                   "id gaps {}, unaccounted at the end {}, delivered wrong {}",
                   elapsed, sent, static_cast<double>(sent) / elapsed, send_errors, delivered, given_up, gaps,
                   static_cast<std::int64_t>(sent - delivered - given_up - gaps), receiver.m_wrong.load())
            << std::endl;
  std::cout << fmt::format("relay: datagrams received {} forwarded {} dropped {} send failures {}", counts.received,
                           counts.forwarded, counts.dropped, counts.send_failures)
            << std::endl;
  std::cout << fmt::format("RSS: start {} KiB, end {} KiB", rss_start, rss_end) << std::endl;
  return receiver.m_wrong.load() == 0 ? 0 : 2;
}
