#pragma once
// CPU time of threads and how busy the whole machine was, read from /proc.

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vesk_bench {

// Kernel id of the calling thread.
pid_t CurrentThreadId() noexcept;

// User + system CPU seconds of one thread of this process, from
// /proc/self/task/<tid>/stat; negative when it cannot be read.
double ThreadCpuSeconds(pid_t tid);

// Totals of the "cpu" line of /proc/stat, in clock ticks.
struct MachineTicks {
  std::uint64_t busy = 0;  // user + nice + system + irq + softirq + steal
  std::uint64_t total = 0;
};

// Parses the first line of /proc/stat text; all zero when it is not a cpu line.
MachineTicks ParseProcStat(const std::string& text);
MachineTicks ReadMachineTicks();

// Share of all CPUs busy between two readings, in percent (0 when no time passed).
double BusyPercent(const MachineTicks& before, const MachineTicks& after) noexcept;

}  // namespace vesk_bench
