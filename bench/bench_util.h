// Timing helpers shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

// Seconds taken by one call of `f`.
template <class F>
double TimeOnce(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Spread {
  double best;
  double median;
  double worst;
};

// Throughput in MB/s (10^6 bytes) over the repetitions: best, median and worst.
inline Spread Throughput(std::vector<double> seconds, double bytes) {
  std::sort(seconds.begin(), seconds.end());
  const double median = seconds.size() % 2
                            ? seconds[seconds.size() / 2]
                            : (seconds[seconds.size() / 2 - 1] + seconds[seconds.size() / 2]) / 2;
  return {bytes / 1e6 / seconds.front(), bytes / 1e6 / median, bytes / 1e6 / seconds.back()};
}
