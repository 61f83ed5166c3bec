#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvex::bench {

namespace {
// Nearest rank of quantile q in a sorted sample of n > 0 values.
size_t Rank(double q, size_t n) {
  const double rank = std::ceil(q * static_cast<double>(n));
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return std::min(index, n - 1);
}
}  // namespace

Summary Summarize(std::vector<double>& values) {
  Summary s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.min = values.front();
  s.max = values.back();
  s.p50 = values[Rank(0.50, values.size())];
  s.p99 = values[Rank(0.99, values.size())];
  return s;
}

double Slope(const std::vector<double>& x, const std::vector<double>& y) {
  const size_t n = std::min(x.size(), y.size());
  if (n < 2) return 0;
  double mx = 0, my = 0;
  for (size_t i = 0; i < n; ++i) {
    mx += x[i];
    my += y[i];
  }
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  double sxy = 0, sxx = 0;
  for (size_t i = 0; i < n; ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
  }
  return sxx > 0 ? sxy / sxx : 0;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string FormatMs(const Summary& s, int decimals) {
  if (s.count == 0) return "none";
  return "min " + Fixed(s.min, decimals) + "  p50 " + Fixed(s.p50, decimals) + "  p99 " + Fixed(s.p99, decimals) +
         "  max " + Fixed(s.max, decimals) + " ms";
}

std::string Percent(double part, double whole) {
  if (whole <= 0) return "-";
  return Fixed(100.0 * part / whole, 1) + "%";
}

std::string Ratio(double a, double b) {
  if (b <= 0) return "n/a";
  return Fixed(a / b, 2) + "x";
}

}  // namespace quorvex::bench
