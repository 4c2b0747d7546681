// Speed of the error-correction engine at four controller sizes, (m, t, step bytes) from
// (13, 8, 512) to (15, 60, 2048): clean-step checks on each parity kernel beside the bit-serial
// encoder that the tests use as their oracle, and the latency of correcting 1, t/2 and t errors
// and of refusing t + 1. Prints a table of the figures against the goals at the end.
#include "codec/codec.h"                  // bch_code, bch_encode, bch_decode
#include "codec/codec_internal.h"         // bch_kernel, bch_code_init_with_kernel
#include "tests/codec/codec_reference.h"  // codec_reference::BitSerialEncoder

#include <benchmark/benchmark.h>  // benchmark::State, RegisterBenchmark, ConsoleReporter

#include <algorithm>  // std::sort
#include <cstdint>    // std::uint8_t, std::int64_t
#include <cstdio>     // std::printf
#include <map>        // std::map
#include <random>     // std::mt19937_64
#include <string>     // std::string
#include <vector>     // std::vector

namespace {

struct Point {
  int m;
  int t;
  std::size_t bytes;
};

// The sizes measured: a small-page controller's code and three of larger pages and stronger
// codes.
constexpr Point kPoints[] = {{13, 8, 512}, {14, 24, 1024}, {14, 40, 1024}, {15, 60, 2048}};
// Error patterns cycled through. With 64 the processor's branch predictor learnt them, and the
// decoder took a fifth less time than on a dump's steps, whose patterns never repeat.
constexpr int kPatterns = 8192;

std::string point_name(const Point& p) {
  return "m" + std::to_string(p.m) + "_t" + std::to_string(p.t) + "_" + std::to_string(p.bytes);
}

struct Setup {
  bch_code code;
  std::vector<int> generator;  // g[i] = coefficient of x^i, from the engine's tables
};

Setup make(const Point& p, bch_kernel kernel, bool variants = false) {
  Setup s;
  bch_code_options o;
  if (variants) {
    o.bit_order = bch_bit_order::lsb_first;
    o.ecc_mask = bch_ecc_mask::erased_ff;
  }
  const std::string error = bch_code_init_with_kernel(s.code, p.m, p.t, o, kernel).message;
  if (!error.empty()) {
    std::printf("cannot build the code: %s\n", error.c_str());
    return s;
  }
  const bch_code_tables& tb = *s.code.tables;
  s.generator.assign(static_cast<std::size_t>(tb.r) + 1, 0);
  for (int i = 0; i < tb.r; ++i) {
    s.generator[i] = static_cast<int>((tb.generator[i / 64] >> (i % 64)) & 1);
  }
  s.generator[tb.r] = 1;
  return s;
}

std::vector<std::uint8_t> random_step(std::size_t bytes, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> data(bytes);
  for (auto& b : data) {
    b = static_cast<std::uint8_t>(rng());
  }
  return data;
}

void bm_bit_serial(benchmark::State& state, Point p) {
  const Setup s = make(p, bch_kernel::portable);
  codec_reference::BitSerialEncoder encoder(s.generator);
  const auto data = random_step(p.bytes, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(encoder.parity(data.data(), data.size()).data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.bytes));
}

void bm_encode(benchmark::State& state, Point p, bch_kernel kernel) {
  const Setup s = make(p, kernel);
  const auto data = random_step(p.bytes, 2);
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(s.code.ecc_bytes));
  for (auto _ : state) {
    bch_encode(s.code, data.data(), data.size(), ecc.data());
    benchmark::DoNotOptimize(ecc.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.bytes));
}

void bm_check_clean(benchmark::State& state, Point p, bch_kernel kernel, bool variants) {
  const Setup s = make(p, kernel, variants);
  auto data = random_step(p.bytes, 3);
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(s.code.ecc_bytes));
  bch_encode(s.code, data.data(), data.size(), ecc.data());
  bch_decode_result result;
  for (auto _ : state) {
    bch_decode(s.code, data.data(), data.size(), ecc.data(), result);
    benchmark::DoNotOptimize(result.status);
  }
  if (result.status != bch_status::clean) {
    state.SkipWithError("the step did not check clean");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.bytes));
}

// A stored bit of the step: data byte and bit, or ECC byte and bit.
struct Flip {
  bool in_ecc;
  std::size_t byte;
  int bit;
};

// Each iteration flips the next pattern into the step and decodes it; a correction restores
// the step, a refusal leaves the pattern, which is flipped out again.
// errors = 0 stands for a mix: each pattern has 1 ... t errors, evenly spread, as on a dump
// where every step took a few random flips.
void bm_decode_errors(benchmark::State& state, Point p, bch_kernel kernel, int errors) {
  const Setup s = make(p, kernel);
  auto data = random_step(p.bytes, 4);
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(s.code.ecc_bytes));
  bch_encode(s.code, data.data(), data.size(), ecc.data());
  const std::vector<std::uint8_t> clean_data = data;
  const std::vector<std::uint8_t> clean_ecc = ecc;
  // Positions among the data bits and the parity bits, stored where bch_parity_bit says.
  const long bits = 8L * static_cast<long>(p.bytes) + s.code.parity_bits;
  std::mt19937_64 rng(5);
  std::vector<std::vector<Flip>> patterns(kPatterns);
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    std::vector<long> chosen;
    const int want = errors > 0 ? errors : 1 + static_cast<int>(i % static_cast<std::size_t>(p.t));
    while (static_cast<int>(chosen.size()) < want) {
      const long b = static_cast<long>(rng() % static_cast<std::uint64_t>(bits));
      bool fresh = true;
      for (long q : chosen) {
        fresh = fresh && q != b;
      }
      if (fresh) {
        chosen.push_back(b);
      }
    }
    for (long b : chosen) {
      const long data_bits = 8L * static_cast<long>(p.bytes);
      if (b < data_bits) {
        patterns[i].push_back({false, static_cast<std::size_t>(b / 8), static_cast<int>(b % 8)});
      } else {
        const bch_bit_fix place = bch_parity_bit(s.code, static_cast<int>(b - data_bits));
        patterns[i].push_back({true, place.byte, place.bit});
      }
    }
  }
  auto apply = [&](const std::vector<Flip>& pattern) {
    for (const Flip& f : pattern) {
      std::uint8_t& byte = f.in_ecc ? ecc[f.byte] : data[f.byte];
      byte = static_cast<std::uint8_t>(byte ^ (1 << f.bit));
    }
  };
  const bch_status expected = errors <= p.t ? bch_status::corrected : bch_status::uncorrectable;
  bch_decode_result result;
  bool all_as_expected = true;
  std::size_t next = 0;
  for (auto _ : state) {
    const auto& pattern = patterns[next];
    next = (next + 1) % patterns.size();
    apply(pattern);
    bch_decode(s.code, data.data(), data.size(), ecc.data(), result);
    all_as_expected = all_as_expected && result.status == expected;
    if (result.status != bch_status::corrected) {
      apply(pattern);
    }
  }
  if (!all_as_expected || data != clean_data || ecc != clean_ecc) {
    state.SkipWithError("a decode ended otherwise than expected");
  }
}

// Console output as usual, keeping each benchmark's seconds per iteration, the median over
// its repetitions, for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        seconds_[run.run_name.function_name].push_back(
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit));
      }
    }
  }
  // Median seconds per iteration, or 0 when the benchmark did not run.
  double get(const std::string& name) const {
    const auto it = seconds_.find(name);
    if (it == seconds_.end() || it->second.empty()) {
      return 0.0;
    }
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }

 private:
  std::map<std::string, std::vector<double>> seconds_;
};

std::string decode_name(int errors, const Point& p) {
  return "decode_" + (errors > 0 ? std::to_string(errors) : std::string("mix")) + "_errors/" +
         point_name(p);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  std::vector<bch_kernel> kernels;
  for (bch_kernel k :
       {bch_kernel::portable, bch_kernel::clmul, bch_kernel::clmul_wide, bch_kernel::clmul_512}) {
    if (bch_kernel_supported(k)) {
      kernels.push_back(k);
    }
  }
  for (const Point& p : kPoints) {
    const std::string at = point_name(p);
    benchmark::RegisterBenchmark(("bit_serial_encode/" + at).c_str(), bm_bit_serial, p)
        ->Unit(benchmark::kMicrosecond);
    for (bch_kernel k : kernels) {
      const std::string kernel = bch_kernel_name(k);
      benchmark::RegisterBenchmark(("check_clean/" + kernel + "/" + at).c_str(), bm_check_clean, p,
                                   k, false)
          ->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark(("check_clean/" + at).c_str(), bm_check_clean, p,
                                 bch_kernel::automatic, false)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark(("check_clean_lsb_erased_ff/" + at).c_str(), bm_check_clean, p,
                                 bch_kernel::automatic, true)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark(("encode/" + at).c_str(), bm_encode, p, bch_kernel::automatic)
        ->Unit(benchmark::kNanosecond);
    for (int errors : {1, p.t / 2, p.t, p.t + 1, 0}) {
      benchmark::RegisterBenchmark(decode_name(errors, p).c_str(), bm_decode_errors, p,
                                   bch_kernel::automatic, errors)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  bch_code probe;
  if (!bch_code_init(probe, 13, 8).ok())
    return 1;
  std::printf("\nOne core, kernel chosen here: %s. Medians over the repetitions.\n",
              bch_kernel_name(bch_code_kernel(probe)));
  std::printf(
      "Goals: clean check 2 GB/s or more; 1 error in 3 us or less; t errors within 15 us at "
      "(14, 40, 1024) and 40 us at (15, 60, 2048).\n\n");
  std::printf("%-16s %12s %12s %9s %9s %9s %9s %9s %9s\n", "m, t, bytes", "bit-serial",
              "clean check", "x serial", "1 error", "t/2", "t", "t+1", "mix");
  std::printf("%-16s %12s %12s %9s %9s %9s %9s %9s %9s\n", "", "MB/s", "GB/s", "", "us", "us", "us",
              "us", "us");
  for (const Point& p : kPoints) {
    const std::string at = point_name(p);
    const double serial = reporter.get("bit_serial_encode/" + at);
    const double check = reporter.get("check_clean/" + at);
    auto us = [&](int errors) { return reporter.get(decode_name(errors, p)) * 1e6; };
    char label[32];
    std::snprintf(label, sizeof label, "%d, %d, %zu", p.m, p.t, p.bytes);
    const auto bytes = static_cast<double>(p.bytes);
    std::printf("%-16s %12.1f %12.2f %9.0f %9.2f %9.2f %9.2f %9.2f %9.2f\n", label,
                serial > 0 ? bytes / serial / 1e6 : 0.0, check > 0 ? bytes / check / 1e9 : 0.0,
                check > 0 ? serial / check : 0.0, us(1), us(p.t / 2), us(p.t), us(p.t + 1), us(0));
  }
  benchmark::Shutdown();
  return 0;
}
