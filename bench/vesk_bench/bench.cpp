#include "Bench.hpp"

#include "CpuClock.hpp"
#include "Json.hpp"
#include "Stats.hpp"

#include <fmt/format.h>

#include <ostream>
#include <stdexcept>

namespace vesk_bench {

RunFunction TransportRun(const std::string& name) {
  if (const LibraryVariant v = LibraryVariantNamed(name); !v.name.empty()) {
    return [v](const RunParams& params) { return RunLibrary(params, v); };
  }
  if (name == "sendmsg") return RunPlainSyscalls;
  if (name == "sendmmsg") return RunBatchedSyscalls;
  throw std::invalid_argument("unknown transport: " + name);
}

bool IsLossless(const RunResult& r) {
  return r.frames_sent > 0 && r.frames_lost == 0 && r.frames_bad == 0 && r.offered_fps >= 0.97 * r.requested_rate;
}

namespace {

void ProgressLine(std::ostream& out, const PointRun& p) {
  const RunResult& r = p.result;
  out << fmt::format(
      "  [{} mtu {} r{}] {:>8} rate {:>8.1f}: sent {} ok {} lost {} bad {} -> {:.1f} fps, "
      "tx cpu {:.0f}% rx cpu {:.0f}%, machine {:.0f}%\n",
      r.transport, r.mtu, p.repeat, p.kind, r.requested_rate, r.frames_sent, r.frames_received, r.frames_lost,
      r.frames_bad, r.received_fps, r.sender_cpu_pct, r.receiver_cpu_pct, r.machine_busy_pct);
  out.flush();
}

}  // namespace

BenchReport RunBench(const BenchOptions& options, std::ostream& progress) {
  BenchReport report;
  // Transports take turns inside each repeat so that a noisy moment of the
  // shared machine does not fall on one of them only.
  for (int rep = 0; rep < options.repeat; ++rep) {
    for (const int mtu : options.mtus) {
      for (const auto& name : options.transports) {
        const RunFunction run = TransportRun(name);
        RunParams params = options.base;
        params.mtu = mtu;

        params.rate = 0;
        params.seconds = options.unpaced_seconds;
        PointRun unpaced{"unpaced", rep, 0, false, run(params)};
        ProgressLine(progress, unpaced);
        report.runs.push_back(unpaced);

        PointRun best{"lossless", rep, 0, false, {}};
        best.result.transport = name;
        best.result.mtu = mtu;
        params.seconds = options.step_seconds;
        double rate = options.start_rate;
        for (int step = 0; step < options.max_steps; ++step, rate *= options.step_factor) {
          params.rate = rate;
          PointRun point{"step", rep, step, false, run(params)};
          point.lossless = IsLossless(point.result);
          ProgressLine(progress, point);
          report.runs.push_back(point);
          if (!point.lossless) break;
          best = point;
          best.kind = "lossless";
        }
        report.best.push_back(best);
      }
    }
  }
  return report;
}

namespace {

struct Figure {
  const char* name;
  double (*get)(const RunResult&);
};

const Figure kFigures[] = {
    {"requested_rate", [](const RunResult& r) { return r.requested_rate; }},
    {"offered_fps", [](const RunResult& r) { return r.offered_fps; }},
    {"received_fps", [](const RunResult& r) { return r.received_fps; }},
    {"received_gbps", [](const RunResult& r) { return r.received_gbps; }},
    {"sender_cpu_pct", [](const RunResult& r) { return r.sender_cpu_pct; }},
    {"receiver_cpu_pct", [](const RunResult& r) { return r.receiver_cpu_pct; }},
    {"receiver_cpu_s_per_gb", [](const RunResult& r) { return r.receiver_cpu_s_per_gb; }},
    {"machine_busy_pct", [](const RunResult& r) { return r.machine_busy_pct; }},
    {"latency_p50_us", [](const RunResult& r) { return r.latency_p50_us; }},
    {"latency_p99_us", [](const RunResult& r) { return r.latency_p99_us; }},
    {"latency_max_us", [](const RunResult& r) { return r.latency_max_us; }},
    {"frames_lost", [](const RunResult& r) { return static_cast<double>(r.frames_lost); }},
};

std::vector<double> Collect(const std::vector<PointRun>& runs, const std::string& kind, const std::string& transport,
                            int mtu, double (*get)(const RunResult&)) {
  std::vector<double> values;
  for (const auto& p : runs) {
    if (p.kind == kind && p.result.transport == transport && p.result.mtu == mtu) values.push_back(get(p.result));
  }
  return values;
}

std::string Cell(const Spread& s, int decimals) {
  return fmt::format("{:.{}f} [{:.{}f}-{:.{}f}]", s.median, decimals, s.min, decimals, s.max, decimals);
}

std::string Ratio(double value, double base) {
  return base > 0 ? fmt::format("{:.2f}", value / base) : "-";
}

void PrintSection(const BenchOptions& options, const std::vector<PointRun>& runs, const std::string& kind,
                  std::ostream& out) {
  struct Column {
    const char* title;
    int figure;  // index into kFigures
    int decimals;
    bool ratio;
  };
  const Column columns[] = {{"frames/s", 2, 1, true},    {"Gb/s", 3, 2, false},        {"tx cpu %", 4, 0, false},
                            {"rx cpu %", 5, 0, false},   {"rx cpu s/GB", 6, 3, true},  {"lat p50 us", 8, 0, false},
                            {"lat p99 us", 9, 0, false}, {"lat max us", 10, 0, false}, {"lost", 11, 0, false},
                            {"machine %", 7, 0, false}};
  out << fmt::format("{:<14} {:>5}", "transport", "mtu");
  for (const auto& c : columns) {
    out << fmt::format(" | {:>22}", c.title);
    if (c.ratio) out << fmt::format(" {:>6} {:>6}", "/msg", "/mmsg");
  }
  out << '\n';
  for (const int mtu : options.mtus) {
    for (const auto& transport : options.transports) {
      out << fmt::format("{:<14} {:>5}", transport, mtu);
      for (const auto& c : columns) {
        const auto get = kFigures[c.figure].get;
        const Spread s = SpreadOf(Collect(runs, kind, transport, mtu, get));
        out << fmt::format(" | {:>22}", Cell(s, c.decimals));
        if (c.ratio) {
          const double plain = SpreadOf(Collect(runs, kind, "sendmsg", mtu, get)).median;
          const double batched = SpreadOf(Collect(runs, kind, "sendmmsg", mtu, get)).median;
          out << fmt::format(" {:>6} {:>6}", Ratio(s.median, plain), Ratio(s.median, batched));
        }
      }
      out << '\n';
    }
  }
}

}  // namespace

void PrintTable(const BenchOptions& options, const BenchReport& report, std::ostream& out) {
  out << fmt::format(
      "\nFrames of {} bytes, receive buffer {} bytes, {} repeat(s); median [min-max]; ratios are medians "
      "against the sendmsg/recvmsg (/msg) and sendmmsg/recvmmsg (/mmsg) baselines.\n",
      options.base.frame_bytes, options.base.socket_buffer, options.repeat);
  out << fmt::format("\nHighest lossless rate ({} s per step, rate x{} per step from {}/s):\n", options.step_seconds,
                     options.step_factor, options.start_rate);
  PrintSection(options, report.best, "lossless", out);
  out << fmt::format("\nUnpaced ({} s):\n", options.unpaced_seconds);
  PrintSection(options, report.runs, "unpaced", out);
}

namespace {

void RunFields(JsonWriter& j, const PointRun& p) {
  const RunResult& r = p.result;
  j.Field("kind", p.kind);
  j.Field("repeat", p.repeat);
  j.Field("step", p.step);
  j.Field("lossless", std::string(p.lossless ? "yes" : "no"));
  j.Field("transport", r.transport);
  j.Field("mtu", r.mtu);
  j.Field("frames_sent", r.frames_sent);
  j.Field("frames_received", r.frames_received);
  j.Field("frames_bad", r.frames_bad);
  j.Field("send_seconds", r.send_seconds);
  for (const auto& f : kFigures) j.Field(f.name, f.get(r));
  j.BeginObject("receiver_counters");
  for (const auto& [k, v] : r.receiver_counters) j.Field(k, v);
  j.EndObject();
}

}  // namespace

std::string ReportJson(const BenchOptions& options, const BenchReport& report) {
  JsonWriter j;
  j.BeginObject();
  j.BeginObject("config");
  j.Field("frame_bytes", static_cast<std::uint64_t>(options.base.frame_bytes));
  j.Field("socket_buffer", options.base.socket_buffer);
  j.Field("verify", std::string(options.base.verify == VerifyMode::kFull ? "full" : "sampled"));
  j.Field("batch", options.base.batch);
  j.Field("step_seconds", options.step_seconds);
  j.Field("unpaced_seconds", options.unpaced_seconds);
  j.Field("start_rate", options.start_rate);
  j.Field("step_factor", options.step_factor);
  j.Field("repeat", options.repeat);
  j.EndObject();
  j.BeginArray("runs");
  for (const auto& p : report.runs) {
    j.BeginObject();
    RunFields(j, p);
    j.EndObject();
  }
  j.EndArray();
  j.BeginArray("summary");
  for (const auto& [kind, runs] :
       {std::pair{std::string("lossless"), &report.best}, std::pair{std::string("unpaced"), &report.runs}}) {
    for (const int mtu : options.mtus) {
      for (const auto& transport : options.transports) {
        j.BeginObject();
        j.Field("kind", kind);
        j.Field("transport", transport);
        j.Field("mtu", mtu);
        for (const auto& f : kFigures) {
          const Spread s = SpreadOf(Collect(*runs, kind, transport, mtu, f.get));
          j.BeginObject(f.name);
          j.Field("median", s.median);
          j.Field("min", s.min);
          j.Field("max", s.max);
          j.EndObject();
        }
        j.EndObject();
      }
    }
  }
  j.EndArray();
  j.EndObject();
  return j.Text();
}

}  // namespace vesk_bench
