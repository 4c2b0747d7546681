// The layout search's success rate and time over generated dumps: N dumps drawn from the
// tests' family (seeds 1 ... N), each searched with its geometry given and, optionally, with
// the geometry guessed, or (noisy) with 0 to 2 bit errors in every step, so that only a third of
// the steps are clean; a dump counts as a success when every parameter comes back. Prints one
// line a dump and a summary.
#include <chrono>   // std::chrono::steady_clock
#include <cstdio>   // std::printf
#include <cstdlib>  // std::atoi
#include <cstring>  // std::memcpy, std::strcmp
#include <string>   // std::string
#include <vector>   // std::vector

#include "bch/bch.h"                      // bch_primitive_polynomial
#include "detect/detect.h"                // detect_layout, detect_layout_and_geometry
#include "tests/detect/dump_generator.h"  // generate_dump

namespace {

std::uint32_t effective(const layout_code& c) {
  return c.primitive_polynomial != 0 ? c.primitive_polynomial
                                     : static_cast<std::uint32_t>(bch_primitive_polynomial(c.m));
}

// True when the found layout has the truth's spans and code (padding where it matters).
bool same(const nand_layout& a, const nand_layout& b, int parity_bits) {
  if (a.steps.size() != b.steps.size() || a.code.m != b.code.m || a.code.t != b.code.t ||
      effective(a.code) != effective(b.code) || a.code.lsb_first != b.code.lsb_first ||
      a.code.mask != b.code.mask || (parity_bits % 8 != 0 && a.code.pad_start != b.code.pad_start))
    return false;
  for (std::size_t k = 0; k < a.steps.size(); ++k) {
    const layout_step& x = a.steps[k];
    const layout_step& y = b.steps[k];
    if (x.ecc.offset != y.ecc.offset || x.ecc.length != y.ecc.length ||
        step_data_bytes(x) != step_data_bytes(y) || x.data[0].offset != y.data[0].offset ||
        step_protected_bytes(x) != step_protected_bytes(y))
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int dumps = argc > 1 ? std::atoi(argv[1]) : 50;
  const int pages = argc > 2 ? std::atoi(argv[2]) : 128;
  const bool guess = argc > 3 && std::strcmp(argv[3], "guess") == 0;
  const bool noisy = argc > 3 && std::strcmp(argv[3], "noisy") == 0;
  detect_test::page_knobs noise;
  if (noisy) {
    noise.error_one_in = 1;
    noise.most_flips = 2;
  }
  int found = 0, right = 0;
  double total = 0, slowest = 0;
  for (int seed = 1; seed <= dumps; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    const detect_test::generated_dump d = detect_test::generate_dump(rng, true, pages, noise);
    const detect_reader read = [&d](std::int64_t offset, unsigned char* out, std::size_t n) {
      if (offset < 0 ||
          offset + static_cast<std::int64_t>(n) > static_cast<std::int64_t>(d.bytes.size()))
        return false;
      std::memcpy(out, d.bytes.data() + offset, n);
      return true;
    };
    const auto size = static_cast<std::int64_t>(d.bytes.size());
    const auto start = std::chrono::steady_clock::now();
    detect_result r;
    if (guess) {
      std::vector<geometry_guess> guesses;
      r = detect_layout_and_geometry(read, size, {}, guesses);
    } else {
      r = detect_layout(read, size, {d.truth.page_size, d.truth.spare_size, 64});
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    total += seconds;
    slowest = seconds > slowest ? seconds : slowest;
    const bool ok = r.found && same(r.layout, d.truth, d.parity_bits);
    found += r.found;
    right += ok;
    std::printf("%3d %-7s %6.2f s  %s\n", seed,
                ok        ? "right"
                : r.found ? "WRONG"
                          : "MISSED",
                seconds, d.summary.c_str());
    std::fflush(stdout);
  }
  std::printf(
      "%d dumps of %d pages, geometry %s%s: %d found, %d with every parameter right; "
      "%.2f s a dump on average, %.2f s at most\n",
      dumps, pages, guess ? "guessed" : "given", noisy ? ", bit errors in 2 of 3 steps" : "", found,
      right, total / dumps, slowest);
  return right == dumps ? 0 : 1;
}
