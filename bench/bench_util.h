// Small helpers for the benchmarks: a clock and the printing of a figure beside its baseline.
#pragma once

#include <chrono>
#include <cstdio>

namespace vx::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

inline void Report(const char* what, double ours, double baseline, const char* unit, bool higherIsBetter = true) {
  double ratio = baseline > 0 ? ours / baseline : 0;
  std::printf("%-48s %12.1f %-8s baseline %12.1f   ratio %.3f%s\n", what, ours, unit, baseline, ratio,
              higherIsBetter ? "" : " (lower is better)");
}

}  // namespace vx::bench
