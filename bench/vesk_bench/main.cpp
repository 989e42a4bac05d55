// vesk-bench: end-to-end throughput, CPU and latency of the stream library
// over loopback, beside plain sendmsg/recvmsg and sendmmsg/recvmmsg loops.

#include "Bench.hpp"

#include <fmt/format.h>
#include <boost/algorithm/string.hpp>
#include <boost/program_options.hpp>

#include <exception>
#include <fstream>
#include <iostream>

namespace po = boost::program_options;

int main(int argc, char** argv) {
  using vesk_bench::BenchOptions;
  BenchOptions o;
  int width = 1024;
  int height = 1024;
  std::string mtus = "9000,1500";
  std::string transports = "library,sendmsg,sendmmsg";
  std::string verify = "sampled";
  std::string json;
  po::options_description desc("vesk-bench options");
  desc.add_options()("help,h", "show this help")("width", po::value(&width)->default_value(width),
                                                 "frame width in UInt16 pixels")(
      "height", po::value(&height)->default_value(height), "frame height")("mtu", po::value(&mtus)->default_value(mtus),
                                                                           "MTUs to measure, comma separated")(
      "transports", po::value(&transports)->default_value(transports),
      "runs to make: library (its defaults), library-nogro (no joined receive), library-nogso (no send "
      "offload), library-single (one datagram per call both ways), library-spread (rate limit at 1.25x the "
      "requested rate), sendmsg (one datagram per call), sendmmsg (batches)")(
      "step-seconds", po::value(&o.step_seconds)->default_value(o.step_seconds), "seconds per rate step")(
      "unpaced-seconds", po::value<double>(), "seconds of the unpaced run (default: step-seconds)")(
      "start-rate", po::value(&o.start_rate)->default_value(o.start_rate), "first requested frame rate")(
      "step-factor", po::value(&o.step_factor)->default_value(o.step_factor), "rate multiplier per step")(
      "max-steps", po::value(&o.max_steps)->default_value(o.max_steps), "most rate steps per search")(
      "repeat", po::value(&o.repeat)->default_value(o.repeat), "repeats of every point")(
      "socket-buffer", po::value(&o.base.socket_buffer)->default_value(o.base.socket_buffer),
      "receive socket buffer in bytes (capped by net.core.rmem_max without CAP_NET_ADMIN)")(
      "verify", po::value(&verify)->default_value(verify),
      "frame check: sampled (one word per 512 bytes) or full (every byte)")(
      "batch", po::value(&o.base.batch)->default_value(o.base.batch), "messages per sendmmsg/recvmmsg")(
      "rx-work-us", po::value(&o.base.rx_work_us)->default_value(o.base.rx_work_us),
      "busy microseconds the library receiver spends per frame (a slow consumer)")(
      "json", po::value(&json), "write every run and the summary to this file")(
      "quick", "short steps, one repeat: about a minute")("smoke",
                                                          "tiny frames and a few short steps: seconds (for tests)");
  try {
    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, desc), vm);
    po::notify(vm);
    if (vm.count("help")) {
      std::cout << desc << '\n';
      return 0;
    }
    if (vm.count("quick")) {
      o.step_seconds = 0.5;
      o.start_rate = 25;
      o.step_factor = 1.5;
      o.repeat = 1;
    }
    if (vm.count("smoke")) {
      width = height = 128;
      o.step_seconds = 0.1;
      o.start_rate = 50;
      o.step_factor = 2;
      o.max_steps = 2;
      o.repeat = 1;
      o.base.quiet_ms = 100;
    }
    o.unpaced_seconds = vm.count("unpaced-seconds") ? vm["unpaced-seconds"].as<double>() : o.step_seconds;
    if (width <= 0 || height <= 0 || o.repeat <= 0 || o.step_seconds <= 0 || o.start_rate <= 0 || o.step_factor <= 1 ||
        o.max_steps <= 0 || o.base.batch <= 0) {
      throw std::invalid_argument("sizes, repeat, seconds, rates and batch must be positive; step-factor above 1");
    }
    if (verify != "sampled" && verify != "full") throw std::invalid_argument("verify must be sampled or full");
    o.base.verify = verify == "full" ? vesk_bench::VerifyMode::kFull : vesk_bench::VerifyMode::kSampled;
    o.base.frame_bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 2;
    std::vector<std::string> parts;
    boost::split(parts, mtus, boost::is_any_of(","));
    o.mtus.clear();
    for (const auto& p : parts) o.mtus.push_back(std::stoi(p));
    boost::split(o.transports, transports, boost::is_any_of(","));
    for (const auto& t : o.transports) vesk_bench::TransportRun(t);  // refuses unknown names early
  } catch (const std::exception& e) {
    std::cerr << "vesk-bench: " << e.what() << '\n';
    return 1;
  }

  try {
    std::cout << fmt::format("vesk-bench: {} x {} UInt16 frames over 127.0.0.1\n", width, height);
    const auto report = vesk_bench::RunBench(o, std::cout);
    vesk_bench::PrintTable(o, report, std::cout);
    if (!json.empty()) {
      std::ofstream out(json);
      out << vesk_bench::ReportJson(o, report) << '\n';
      if (!out) throw std::runtime_error("cannot write " + json);
    }
  } catch (const std::exception& e) {
    std::cerr << "vesk-bench: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
