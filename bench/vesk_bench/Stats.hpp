#pragma once
// Order statistics of measured figures.

#include <vector>

namespace vesk_bench {

// Value at quantile q in [0, 1] (nearest rank on the sorted copy); 0 when empty.
double Quantile(std::vector<double> values, double q);

struct Spread {
  double median = 0;
  double min = 0;
  double max = 0;
};
Spread SpreadOf(const std::vector<double>& values);

}  // namespace vesk_bench
