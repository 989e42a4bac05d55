// vesk-impair: a UDP relay on loopback that drops, duplicates, reorders,
// delays, corrupts and truncates datagrams from a seed, for trying a stream
// receiver on a bad network.

#include <vesk_impair/ImpairRelay.hpp>
#include <vesktools/Version.hpp>

#include <fmt/format.h>
#include <boost/program_options.hpp>

#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>

namespace po = boost::program_options;
using ketra::vesktools::impair::ImpairConfig;
using ketra::vesktools::impair::ImpairRelay;
using ketra::vesktools::impair::RelayCounts;

namespace {

struct Options {
  std::string listen_address = "127.0.0.1";
  int listen_port = 0;
  std::string dest_address = "127.0.0.1";
  int dest_port = 0;
  double duration_s = 0.0;
  long long delay_us = 2000;
  long long reorder_window = 4;
  ImpairConfig config;
};

class BadOption : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void CheckPort(const char* name, int port, bool zero_allowed) {
  if (port < (zero_allowed ? 0 : 1) || port > 65535) {
    throw BadOption(fmt::format("--{} {} is not a UDP port ({}-65535)", name, port, zero_allowed ? 0 : 1));
  }
}

void CheckRate(const char* name, double rate) {
  if (!(rate >= 0.0 && rate <= 1.0)) {
    throw BadOption(fmt::format("--{} {} is not a rate between 0 and 1", name, rate));
  }
}

void PrintCounts(const RelayCounts& c) {
  std::cout << fmt::format(
                   "received {} forwarded {} dropped {} duplicated {} reordered {} delayed {} corrupted_header {} "
                   "corrupted_payload {} truncated {} send_failures {}",
                   c.received, c.forwarded, c.dropped, c.duplicated, c.reordered, c.delayed, c.corrupted_header,
                   c.corrupted_payload, c.truncated, c.send_failures)
            << std::endl;
}

int Run(const Options& options) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the relay thread starts: it inherits the mask

  ImpairRelay relay(options.listen_address, static_cast<std::uint16_t>(options.listen_port), options.dest_address,
                    static_cast<std::uint16_t>(options.dest_port), options.config);
  std::cout << fmt::format("vesk-impair: listening on {}:{}, forwarding to {}:{}, seed {}", options.listen_address,
                           relay.ListenPort(), options.dest_address, options.dest_port, options.config.seed)
            << std::endl;
  relay.Start();
  const auto start = std::chrono::steady_clock::now();
  const auto duration = std::chrono::duration<double>(options.duration_s);
  // Wakes every 100 ms for a signal or the end of the run time.
  for (;;) {
    timespec step{0, 100'000'000};
    if (sigtimedwait(&signals, nullptr, &step) > 0) break;
    if (options.duration_s > 0.0 && std::chrono::steady_clock::now() - start >= duration) break;
  }
  relay.Stop();
  PrintCounts(relay.Counts());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  po::options_description description("Options");
  description.add_options()("help,h", "Print help messages")("version", "Print the program's name and version")(
      "listen-address", po::value(&options.listen_address)->default_value(options.listen_address),
      "IPv4 address the relay listens on")("listen-port", po::value(&options.listen_port)->default_value(0),
                                           "UDP port the relay listens on (0: a free port, printed at start)")(
      "dest-address", po::value(&options.dest_address)->default_value(options.dest_address),
      "IPv4 address datagrams are forwarded to")("dest-port", po::value(&options.dest_port)->required(),
                                                 "UDP port datagrams are forwarded to")(
      "seed", po::value(&options.config.seed)->default_value(1), "seed of the impairment decisions")(
      "drop", po::value(&options.config.drop_rate)->default_value(0.0), "rate of dropped datagrams")(
      "duplicate", po::value(&options.config.duplicate_rate)->default_value(0.0), "rate of duplicated datagrams")(
      "reorder", po::value(&options.config.reorder_rate)->default_value(0.0), "rate of datagrams sent late")(
      "reorder-window", po::value(&options.reorder_window)->default_value(4),
      "a late datagram is sent after 1 to this many later ones")(
      "corrupt-header", po::value(&options.config.corrupt_header_rate)->default_value(0.0),
      "rate of datagrams with a header byte flipped")(
      "corrupt-payload", po::value(&options.config.corrupt_payload_rate)->default_value(0.0),
      "rate of datagrams with a body byte flipped")(
      "truncate", po::value(&options.config.truncate_rate)->default_value(0.0), "rate of truncated datagrams")(
      "delay", po::value(&options.config.delay_rate)->default_value(0.0), "rate of delayed datagrams")(
      "delay-us", po::value(&options.delay_us)->default_value(2000), "delay of a delayed datagram in microseconds")(
      "duration", po::value(&options.duration_s)->default_value(0.0), "seconds to run (0: until SIGINT or SIGTERM)");
  try {
    po::variables_map variables;
    po::store(po::parse_command_line(argc, argv, description), variables);
    if (variables.count("help") != 0U) {
      std::cout << description << std::endl;
      return 0;
    }
    if (variables.count("version") != 0U) {
      std::cout << ketra::vesktools::VersionLine("vesk-impair") << std::endl;
      return 0;
    }
    po::notify(variables);
    CheckPort("listen-port", options.listen_port, true);
    CheckPort("dest-port", options.dest_port, false);
    CheckRate("drop", options.config.drop_rate);
    CheckRate("duplicate", options.config.duplicate_rate);
    CheckRate("reorder", options.config.reorder_rate);
    CheckRate("corrupt-header", options.config.corrupt_header_rate);
    CheckRate("corrupt-payload", options.config.corrupt_payload_rate);
    CheckRate("truncate", options.config.truncate_rate);
    CheckRate("delay", options.config.delay_rate);
    if (options.reorder_window < 1 || options.reorder_window > 1024) {
      throw BadOption(fmt::format("--reorder-window {} is out of range (1-1024)", options.reorder_window));
    }
    if (options.delay_us < 0 || options.delay_us > 10'000'000) {
      throw BadOption(fmt::format("--delay-us {} is out of range (0-10000000)", options.delay_us));
    }
    if (!(options.duration_s >= 0.0)) {
      throw BadOption(fmt::format("--duration {} must not be negative", options.duration_s));
    }
    options.config.reorder_window = static_cast<std::size_t>(options.reorder_window);
    options.config.delay = std::chrono::microseconds(options.delay_us);
  } catch (const std::exception& error) {
    std::cerr << "ERROR: " << error.what() << std::endl;
    return 1;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::cerr << "ERROR: " << error.what() << std::endl;
    return 1;
  }
}
