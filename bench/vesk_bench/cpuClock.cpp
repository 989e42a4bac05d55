#include "CpuClock.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace vesk_bench {

pid_t CurrentThreadId() noexcept {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

double ThreadCpuSeconds(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name (field 2) may hold spaces; fields after its closing ')'
  // start with field 3, so utime (14) and stime (15) are the 12th and 13th.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1.0;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  if (!fields) return -1.0;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

MachineTicks ParseProcStat(const std::string& text) {
  std::istringstream in(text);
  std::string label;
  in >> label;
  if (label != "cpu") return {};
  // user nice system idle iowait irq softirq steal
  std::uint64_t v[8] = {};
  for (auto& x : v) {
    if (!(in >> x)) return {};
  }
  MachineTicks t;
  t.busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
  t.total = t.busy + v[3] + v[4];
  return t;
}

MachineTicks ReadMachineTicks() {
  std::ifstream in("/proc/stat");
  std::string line;
  std::getline(in, line);
  return ParseProcStat(line);
}

double BusyPercent(const MachineTicks& before, const MachineTicks& after) noexcept {
  if (after.total <= before.total) return 0.0;
  return 100.0 * static_cast<double>(after.busy - before.busy) / static_cast<double>(after.total - before.total);
}

}  // namespace vesk_bench
