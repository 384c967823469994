#pragma once
// What every benchmark program prints for scripts/bench.sh: one line per
// figure, tab-separated, starting with "ROW", which the script gathers into
// its table. Anything else a program prints is commentary for the reader.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace ombrel::bench {

// Whether a ratio (or a value) must stay at or below its limit, or at or
// above it.
enum class Bound { AtMost, AtLeast };

inline std::string fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

// `ratio` is the figure compared with `limit`; `target` is its description.
inline bool meets(double ratio, Bound bound, double limit) {
  return bound == Bound::AtMost ? ratio <= limit : ratio >= limit;
}

inline void row_text(const std::string& figure, const std::string& ours, const std::string& bare,
                     const std::string& ratio, const std::string& target,
                     const std::string& verdict) {
  std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), ours.c_str(), bare.c_str(),
              ratio.c_str(), target.c_str(), verdict.c_str());
  std::fflush(stdout);
}

inline void row(const std::string& figure, const std::string& ours, const std::string& bare,
                const std::string& ratio, const std::string& target, bool ok) {
  row_text(figure, ours, bare, ratio, target, ok ? "met" : "MISSED");
}

// A figure measured against its bare limit: the ratio ours / bare.
inline void ratio_row(const std::string& figure, const std::string& ours, double ours_value,
                      const std::string& bare, double bare_value, Bound bound, double limit) {
  const double ratio = ours_value / bare_value;
  row(figure, ours, bare, fixed(ratio, 2),
      std::string(bound == Bound::AtMost ? "ratio <= " : "ratio >= ") + fixed(limit, 2),
      meets(ratio, bound, limit));
}

// A figure shown beside another for where the time goes, with no target.
inline void info_row(const std::string& figure, const std::string& ours, double ours_value,
                     const std::string& bare, double bare_value) {
  row_text(figure, ours, bare, fixed(ours_value / bare_value, 2), "-", "-");
}

inline std::string micros(double seconds) {
  return fixed(seconds * 1e6, seconds < 100e-6 ? 1 : 0) + " us";
}

inline std::string millis(double seconds) {
  return fixed(seconds * 1e3, 2) + " ms";
}

// The q-quantile (0..1) of `values`, by the nearest rank.
inline double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace ombrel::bench
