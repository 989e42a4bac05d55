#include "Stats.hpp"

#include <algorithm>
#include <cmath>

namespace vesk_bench {

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0.0;
  q = std::clamp(q, 0.0, 1.0);
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
  const std::size_t index = rank == 0 ? 0 : rank - 1;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
  return values[index];
}

Spread SpreadOf(const std::vector<double>& values) {
  if (values.empty()) return {};
  const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  return {Quantile(values, 0.5), *lo, *hi};
}

}  // namespace vesk_bench
