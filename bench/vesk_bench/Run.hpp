#pragma once
// One timed stream run between a sending and a receiving thread over
// loopback, through the library or through the plain-syscall baselines.

#include "Pattern.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vesk_bench {

struct RunParams {
  int mtu = 9000;
  std::size_t frame_bytes = 2 * 1024 * 1024;  // even: UInt16 pixels
  double rate = 0;                            // frames/s requested; <= 0: as fast as possible
  double seconds = 10;                        // measured sending time
  std::uint64_t socket_buffer = 16u << 20;    // receive buffer asked for (SO_RCVBUF)
  VerifyMode verify = VerifyMode::kSampled;
  int quiet_ms = 300;  // the receiver is done once nothing arrived for this long
  int batch = 64;      // messages per sendmmsg/recvmmsg call (batched baseline)
  // Work the receiving program does per frame, in microseconds of busy CPU
  // after the frame is checked: a slow consumer. 0: none.
  double rx_work_us = 0;
};

// How the library is set up for a run: its batching, offloads and send rate
// limit, each switchable to compare against the library's defaults.
struct LibraryVariant {
  std::string name = "library";
  bool batch_send = true;            // sendmmsg for payload runs
  bool segmentation_offload = true;  // UDP GSO on send
  bool batch_receive = true;         // recvmmsg for payload runs
  bool coalesce = true;              // UDP GRO on receive
  // > 0: the sender's rate limit is this many times the bytes/s the requested
  // frame rate needs, spreading each frame over 1/spread of its period.
  double spread = 0;
};

struct RunResult {
  std::string transport;  // "library", "sendmsg", "sendmmsg"
  int mtu = 0;
  double requested_rate = 0;  // 0: unpaced
  std::uint64_t frames_sent = 0;
  std::uint64_t frames_received = 0;  // complete and verified
  std::uint64_t frames_bad = 0;       // complete but failing the pattern check
  std::uint64_t frames_lost = 0;      // sent - received - bad
  double send_seconds = 0;            // time the measured frames took to leave
  double offered_fps = 0;
  double received_fps = 0;
  double received_gbps = 0;  // frame bytes received x 8 / send_seconds
  double sender_cpu_pct = 0;
  double receiver_cpu_pct = 0;       // % of one core over the whole run, drain included
  double receiver_cpu_s_per_gb = 0;  // receiver CPU seconds per GB of frames received
  double machine_busy_pct = 0;       // all CPUs, from /proc/stat, during the run
  double latency_p50_us = 0;         // leader timestamp to frame handed over
  double latency_p99_us = 0;
  double latency_max_us = 0;
  std::map<std::string, std::uint64_t> receiver_counters;  // transport-specific extras
};

RunResult RunLibrary(const RunParams& params, const LibraryVariant& variant = {});
// The variant a transport name asks for ("library", "library-nogro",
// "library-nogso", "library-single", "library-spread"); empty name when the
// name is not one of them.
LibraryVariant LibraryVariantNamed(const std::string& name);
// One datagram per sendmsg / recvmsg.
RunResult RunPlainSyscalls(const RunParams& params);
// params.batch datagrams per sendmmsg / recvmmsg.
RunResult RunBatchedSyscalls(const RunParams& params);

// Shared by the runs: fills the derived figures from counts, times and latencies.
void FinishResult(RunResult& result, const RunParams& params, std::vector<double>& latencies_us, double receiver_cpu_s,
                  double run_wall_s);

}  // namespace vesk_bench
