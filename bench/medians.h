// The median of repeated runs or paired ratios, printed with its spread.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vx::bench {

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// "median M  spread LO .. HI (target)" under a label.
inline void Summary(const char* what, const std::vector<double>& values, const char* target) {
  if (values.empty()) return;
  auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  std::printf("%-44s median %.3f  spread %.3f .. %.3f  (%s)\n", what, Median(values), *lo, *hi, target);
}

}  // namespace vx::bench
