#pragma once
// The whole benchmark: for each repeat, MTU and transport, one unpaced run
// and a search for the highest lossless rate; then the summary table.

#include "Run.hpp"

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace vesk_bench {

struct BenchOptions {
  RunParams base;  // frame size, MTU (replaced per point), socket buffer, verify mode, batch
  std::vector<int> mtus{9000, 1500};
  std::vector<std::string> transports{"library", "sendmsg", "sendmmsg"};
  double step_seconds = 10;
  double unpaced_seconds = 10;
  double start_rate = 100;
  double step_factor = 1.25;
  int max_steps = 40;
  int repeat = 3;
};

struct PointRun {
  std::string kind;  // "unpaced" or "step"
  int repeat = 0;
  int step = 0;
  bool lossless = false;
  RunResult result;
};

struct BenchReport {
  std::vector<PointRun> runs;
  // Highest lossless run per (repeat, mtu, transport); requested_rate 0 when none was.
  std::vector<PointRun> best;
};

using RunFunction = std::function<RunResult(const RunParams&)>;
RunFunction TransportRun(const std::string& name);

// A paced step counts as lossless when every frame arrived intact and the
// sender kept at least 97% of the requested rate.
bool IsLossless(const RunResult& r);

BenchReport RunBench(const BenchOptions& options, std::ostream& progress);
void PrintTable(const BenchOptions& options, const BenchReport& report, std::ostream& out);
std::string ReportJson(const BenchOptions& options, const BenchReport& report);

}  // namespace vesk_bench
