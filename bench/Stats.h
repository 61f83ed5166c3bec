// Small statistics for the report: order statistics of a sample (nearest
// rank), a least-squares slope, and number formatting.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace quorvex::bench {

struct Summary {
  size_t count = 0;
  double min = 0, p50 = 0, p99 = 0, max = 0;
};

// Minimum, median, 99th percentile and maximum of `values` by the nearest-rank
// rule (the p-quantile is the smallest value with at least p of the sample at
// or below it). All zero for an empty sample. `values` is reordered.
Summary Summarize(std::vector<double>& values);

// Slope of the least-squares line through (x, y); 0 for fewer than two
// points or no spread in x.
double Slope(const std::vector<double>& x, const std::vector<double>& y);

// "12.3" style text with `decimals` places.
std::string Fixed(double value, int decimals);
// "min 1.00  p50 2.00  p99 3.00  max 4.00 ms" for a non-empty summary, "none" otherwise.
std::string FormatMs(const Summary& s, int decimals = 2);
// "12.5%" of part/whole; "-" when whole is 0.
std::string Percent(double part, double whole);
// a/b as "1.23x", "n/a" when b is 0.
std::string Ratio(double a, double b);

}  // namespace quorvex::bench
