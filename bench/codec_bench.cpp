// Speed of the error-correction engine at m = 13, t = 8 on 512-byte sectors: clean-sector
// checks and encoding on each parity kernel beside the bit-serial encoder that the tests use as
// their oracle, and the latency of correcting 1 ... 8 errors, a mix of them, and of refusing 9.
// Prints the ratios and the figures against the goals at the end.
#include "bch/bch.h"                    // gg, rr: the generator of the code built last
#include "codec/codec.h"                  // bch_code, bch_encode, bch_decode
#include "codec/codec_internal.h"         // bch_kernel, bch_code_init_with_kernel
#include "tests/codec/codec_reference.h"  // codec_reference::BitSerialEncoder

#include <benchmark/benchmark.h>  // benchmark::State, RegisterBenchmark, ConsoleReporter

#include <cstdint>  // std::uint8_t
#include <cstdio>   // std::printf
#include <map>      // std::map
#include <random>   // std::mt19937_64
#include <string>   // std::string
#include <vector>   // std::vector

namespace {

constexpr int kM = 13;
constexpr int kT = 8;
constexpr std::size_t kSector = 512;
constexpr int kPatterns = 64;  // error patterns cycled through, so that no branch settles

struct Setup {
  bch_code code;
  std::vector<int> generator;
};

Setup make(bch_kernel kernel, bool variants = false) {
  Setup s;
  bch_code_options o;
  if (variants) {
    o.bit_order = bch_bit_order::lsb_first;
    o.ecc_mask = bch_ecc_mask::erased_ff;
  }
  const std::string error = bch_code_init_with_kernel(s.code, kM, kT, o, kernel);
  if (!error.empty()) {
    std::printf("cannot build the code: %s\n", error.c_str());
  }
  s.generator.assign(gg, gg + rr + 1);
  return s;
}

std::vector<std::uint8_t> random_sector(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> data(kSector);
  for (auto& b : data) {
    b = static_cast<std::uint8_t>(rng());
  }
  return data;
}

void bm_bit_serial(benchmark::State& state) {
  const Setup s = make(bch_kernel::portable);
  codec_reference::BitSerialEncoder encoder(s.generator);
  const auto data = random_sector(1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(encoder.parity(data.data(), data.size()).data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSector));
}

void bm_encode(benchmark::State& state, bch_kernel kernel) {
  const Setup s = make(kernel);
  const auto data = random_sector(2);
  std::uint8_t ecc[kCodecMaxEccBytes];
  for (auto _ : state) {
    bch_encode(s.code, data.data(), data.size(), ecc);
    benchmark::DoNotOptimize(ecc);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSector));
}

void bm_check_clean(benchmark::State& state, bch_kernel kernel, bool variants) {
  const Setup s = make(kernel, variants);
  auto data = random_sector(3);
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(s.code.ecc_bytes));
  bch_encode(s.code, data.data(), data.size(), ecc.data());
  bch_decode_result result;
  for (auto _ : state) {
    bch_decode(s.code, data.data(), data.size(), ecc.data(), result);
    benchmark::DoNotOptimize(result.status);
  }
  if (result.status != bch_status::clean) {
    state.SkipWithError("the sector did not check clean");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSector));
}

// Each iteration flips the next pattern into the sector and decodes it; a correction restores
// the sector, a refusal leaves the pattern, which is flipped out again.
// errors = 0 stands for a mix: each pattern has 1 ... kT errors, evenly spread, as on a dump
// where every sector took a few random flips.
void bm_decode_errors(benchmark::State& state, bch_kernel kernel, int errors) {
  const Setup s = make(kernel);
  auto data = random_sector(4);
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(s.code.ecc_bytes));
  bch_encode(s.code, data.data(), data.size(), ecc.data());
  const std::vector<std::uint8_t> clean_data = data;
  const std::vector<std::uint8_t> clean_ecc = ecc;
  // Positions among the data bits and the 104 parity bits (no padding at r = 104).
  const long bits = 8L * static_cast<long>(kSector) + s.code.parity_bits;
  std::mt19937_64 rng(5);
  std::vector<std::vector<long>> patterns(kPatterns);
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    auto& p = patterns[i];
    const int want = errors > 0 ? errors : 1 + static_cast<int>(i % kT);
    while (static_cast<int>(p.size()) < want) {
      const long b = static_cast<long>(rng() % static_cast<std::uint64_t>(bits));
      bool fresh = true;
      for (long q : p) {
        fresh = fresh && q != b;
      }
      if (fresh) {
        p.push_back(b);
      }
    }
  }
  auto apply = [&](const std::vector<long>& p) {
    for (long b : p) {
      std::uint8_t* byte =
          b < 8L * static_cast<long>(kSector) ? &data[b / 8] : &ecc[(b / 8) - kSector];
      *byte = static_cast<std::uint8_t>(*byte ^ (1 << (b % 8)));
    }
  };
  const bch_status expected = errors <= kT ? bch_status::corrected : bch_status::uncorrectable;
  bch_decode_result result;
  bool all_as_expected = true;
  std::size_t next = 0;
  for (auto _ : state) {
    const auto& p = patterns[next];
    next = (next + 1) % patterns.size();
    apply(p);
    bch_decode(s.code, data.data(), data.size(), ecc.data(), result);
    all_as_expected = all_as_expected && result.status == expected;
    if (result.status != bch_status::corrected) {
      apply(p);
    }
  }
  if (!all_as_expected || data != clean_data || ecc != clean_ecc) {
    state.SkipWithError("a decode ended otherwise than expected");
  }
}

// Console output as usual, keeping each run's seconds per iteration for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        seconds[run.benchmark_name()] =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
  }
  double get(const std::string& name) const {
    const auto it = seconds.find(name);
    return it == seconds.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  std::vector<bch_kernel> kernels;
  for (bch_kernel k : {bch_kernel::portable, bch_kernel::clmul, bch_kernel::clmul_wide}) {
    if (bch_kernel_supported(k)) {
      kernels.push_back(k);
    }
  }
  const bch_kernel fastest = kernels.back();
  benchmark::RegisterBenchmark("bit_serial_encode", bm_bit_serial)->Unit(benchmark::kMicrosecond);
  for (bch_kernel k : kernels) {
    const std::string name = bch_kernel_name(k);
    benchmark::RegisterBenchmark(("encode/" + name).c_str(), bm_encode, k)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark(("check_clean/" + name).c_str(), bm_check_clean, k, false)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark(("check_clean_lsb_erased_ff/" + name).c_str(), bm_check_clean, k,
                                 true)
        ->Unit(benchmark::kNanosecond);
  }
  for (bch_kernel k : kernels) {
    for (int errors : {1, 8, 9, 0}) {
      const std::string count = errors > 0 ? std::to_string(errors) : "1to8";
      const std::string name = "decode_" + count + "_errors/" + bch_kernel_name(k);
      benchmark::RegisterBenchmark(name.c_str(), bm_decode_errors, k, errors)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  // Every count in between on the kernel chosen here, to show how the locator's cost grows.
  for (int errors = 2; errors < kT; ++errors) {
    const std::string name =
        "decode_" + std::to_string(errors) + "_errors/" + bch_kernel_name(fastest);
    benchmark::RegisterBenchmark(name.c_str(), bm_decode_errors, fastest, errors)
        ->Unit(benchmark::kMicrosecond);
  }
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  // The summary: every kernel against the bit-serial encoder and the goals.
  const double serial = reporter.get("bit_serial_encode");
  std::printf("\nm=%d t=%d, %zu-byte sectors; bit-serial encoder %.1f MB/s\n", kM, kT, kSector,
              serial > 0 ? kSector / serial / 1e6 : 0.0);
  std::printf(
      "goals: clean check 3000 MB/s or more and 60 times the bit-serial encoder; "
      "1 error corrected in 1 us or less, 8 errors in 3 us or less\n");
  for (bch_kernel k : kernels) {
    const std::string name = bch_kernel_name(k);
    const double check = reporter.get("check_clean/" + name);
    const double one = reporter.get("decode_1_errors/" + name);
    const double eight = reporter.get("decode_8_errors/" + name);
    if (serial <= 0 || check <= 0 || one <= 0 || eight <= 0) {
      continue;
    }
    std::printf(
        "  %-10s clean check %6.0f MB/s = %4.0f x bit-serial; 1 error %5.2f us, "
        "8 errors %5.2f us%s\n",
        name.c_str(), kSector / check / 1e6, serial / check, one * 1e6, eight * 1e6,
        k == fastest ? "  (chosen automatically here)" : "");
  }
  benchmark::Shutdown();
  return 0;
}
