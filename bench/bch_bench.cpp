// Speed of gen_poly (generator polynomial and P-step transition matrix) beside the plain
// triple-loop matrix power it replaces, for three codes; prints the ratios at the end. For the
// largest code the reference is timed for one product and extrapolated to its P - 1 products.
#include "bch/bch.h"
#include "tests/bch/reference.h"

#include <benchmark/benchmark.h>  // benchmark::State, RegisterBenchmark, ConsoleReporter

#include <cstdio>  // std::printf
#include <map>     // std::map
#include <string>  // std::string, std::to_string
#include <vector>  // std::vector

namespace {

struct Case {
  int m, t, p;
  bool extrapolate;  // time one reference product instead of all P - 1
};

constexpr Case kCases[] = {{13, 4, 8, false}, {13, 8, 8, false}, {15, 66, 990, true}};

std::string label(const Case& c) {
  return "m=" + std::to_string(c.m) + ",t=" + std::to_string(c.t) + ",P=" + std::to_string(c.p);
}

void set_code(const Case& c) {
  mm = c.m;
  nn = (1 << c.m) - 1;
  tt = c.t;
  Parallel = c.p;
  Verbose = 0;
}

void bm_gen_poly(benchmark::State& state, Case c) {
  set_code(c);
  generate_gf();
  for (auto _ : state) {
    Parallel = c.p;
    gen_poly();
    benchmark::DoNotOptimize(T_G_R[0][0]);
  }
}

// The plain route from the same T_G: P - 1 triple-loop products, or one when extrapolating.
void bm_reference(benchmark::State& state, Case c) {
  set_code(c);
  generate_gf();
  gen_poly();
  const int r = rr;
  const bch_reference::Matrix step = bch_reference::one_step(std::vector<int>(gg, gg + r), r);
  bch_reference::Matrix out(step.size());
  for (auto _ : state) {
    if (c.extrapolate) {
      bch_reference::product(step, step, r, &out);
    } else {
      out = bch_reference::power(step, r, Parallel);
    }
    benchmark::DoNotOptimize(out.data());
  }
}

// Console output as usual, keeping each run's seconds per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      seconds[run.benchmark_name()] =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  for (const Case& c : kCases) {
    benchmark::RegisterBenchmark(("gen_poly/" + label(c)).c_str(), bm_gen_poly, c)
        ->Unit(benchmark::kMicrosecond);
    const std::string name = (c.extrapolate ? "reference_one_product/" : "reference/") + label(c);
    benchmark::RegisterBenchmark(name.c_str(), bm_reference, c)->Unit(benchmark::kMillisecond);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nreference / gen_poly:\n");
  for (const Case& c : kCases) {
    const auto fast = reporter.seconds.find("gen_poly/" + label(c));
    const auto slow =
        reporter.seconds.find((c.extrapolate ? "reference_one_product/" : "reference/") + label(c));
    if (fast == reporter.seconds.end() || slow == reporter.seconds.end()) {
      continue;
    }
    // Parallel <= rr for these codes, so the plain loop would form P - 1 products.
    const double reference = c.extrapolate ? slow->second * (c.p - 1) : slow->second;
    std::printf("  %-16s gen_poly %9.1f us, reference %12.1f us%s: %.0f times faster\n",
                label(c).c_str(), fast->second * 1e6, reference * 1e6,
                c.extrapolate ? " (one product timed, x (P - 1))" : "", reference / fast->second);
  }
  benchmark::Shutdown();
  return 0;
}
