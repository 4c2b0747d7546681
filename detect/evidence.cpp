// The chance that random data decodes under a BCH code, and binomial tails in log space, for
// ranking guesses at a dump's code by how far they beat chance.
#include "detect/evidence.h"

#include <algorithm>  // std::max, std::min
#include <cstdio>     // std::snprintf
#include <cmath>  // std::lgamma, std::log, std::log1p, std::exp, std::isinf, std::pow, std::floor, INFINITY
#include <utility>  // std::swap

namespace {

constexpr double kLn10 = 2.302585092994045684;
constexpr double kLn2 = 0.693147180559945309;

double log_choose(std::int64_t n, std::int64_t k) {
  return std::lgamma(static_cast<double>(n) + 1) - std::lgamma(static_cast<double>(k) + 1) -
         std::lgamma(static_cast<double>(n - k) + 1);
}

// log(exp(a) + exp(b)) without overflow.
double log_add(double a, double b) {
  if (a < b)
    std::swap(a, b);
  if (std::isinf(b))
    return a;
  return a + std::log1p(std::exp(b - a));
}

}  // namespace

double chance_of_decoding(std::int64_t word_bits, int parity_bits, int t) {
  double log_sphere = 0;  // log C(n, 0)
  for (int i = 1; i <= t; ++i)
    log_sphere = log_add(log_sphere, log_choose(word_bits, i));
  const double log_p = log_sphere - parity_bits * kLn2;
  return log_p >= 0 ? 1.0 : std::exp(log_p);
}

double log10_chance_of_at_least(std::int64_t successes, std::int64_t trials, double p) {
  if (successes <= 0)
    return 0;
  if (p <= 0)
    return -INFINITY;
  if (p >= 1)
    return 0;
  const double log_p = std::log(p);
  const double log_q = std::log1p(-p);
  // Terms past the mode fall off at least geometrically; sum from `successes` upwards until
  // they no longer change the total in double precision. Below the mode the tail is close to 1
  // and the sum would run long: start at the mode instead and report the tail as 1.
  const double mean = p * static_cast<double>(trials);
  if (static_cast<double>(successes) <= mean)
    return 0;
  double total = -INFINITY;
  for (std::int64_t j = successes; j <= trials; ++j) {
    const double term = log_choose(trials, j) + static_cast<double>(j) * log_p +
                        static_cast<double>(trials - j) * log_q;
    total = log_add(total, term);
    if (term < total - 40)
      break;
  }
  return std::min(0.0, total / kLn10);
}

std::string odds_text(double log10_p) {
  char text[32];
  if (log10_p > -4)
    std::snprintf(text, sizeof text, "%.2g", std::pow(10.0, log10_p));
  else
    std::snprintf(text, sizeof text, "1e%lld", static_cast<long long>(std::floor(log10_p + 0.5)));
  return text;
}
