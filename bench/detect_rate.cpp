// The layout search's success rate and time over generated dumps (seeds 1 ... N), one line a
// dump (right, same-data, WRONG or MISSED, seconds, what was drawn) and a summary. Run as
// `pagolinth-bench-detect [DUMPS [PAGES [MODE [FIRST]]]]` (seeds FIRST ... FIRST + DUMPS - 1,
// FIRST 1 by default; PAGOLINTH_BENCH_SHOW=1 in the environment prints the found and the true
// layout of every dump that is not right); MODE is one of:
//   (none)         generate_dump, geometry given
//   guess, nosize  generate_dump, geometry not given (detect_layout_and_geometry)
//   noisy          generate_dump with 0 to 2 bit errors in every step (a third of them clean)
//   worn           generate_dump with 1 ... t/2 bit errors in every written step
//   varied         generate_varied_dump, geometry given
//   varied-worn    generate_varied_dump with 1 ... t/2 bit errors in every written step
//   nosize-varied  generate_varied_dump, geometry not given
//   parity         generate_parity_dump: a real ECC that is no BCH code; right is finding nothing
//   bits           generate_bits_dump: steps that count bits, geometry given
//   bits-worn      generate_bits_dump with 1 ... t/2 bit errors in every written step
// A finding is right when every parameter comes back, and same-data (counted as right too, and
// apart) when a parameter differs but the found layout extracts exactly the truth's data.
#include <chrono>   // std::chrono::steady_clock
#include <cstdio>   // std::printf, std::fprintf
#include <cstdlib>  // std::atoi, std::getenv
#include <cstring>  // std::memcpy, std::strcmp
#include <string>   // std::string
#include <vector>   // std::vector

#include "bch/bch.h"                      // bch_primitive_polynomial
#include "codec/codec.h"                  // bch_parity_bit
#include "codec/layout_code.h"            // build_code
#include "detect/detect.h"                // detect_layout, detect_layout_and_geometry
#include "layout/layout.h"                // layout_to_toml
#include "tests/detect/dump_generator.h"  // generate_dump, generate_varied_dump, ...

namespace {

std::uint32_t effective(const layout_code& c) {
  return c.primitive_polynomial != 0 ? c.primitive_polynomial
                                     : static_cast<std::uint32_t>(bch_primitive_polynomial(c.m));
}

// True when the two steps put the same raw-page bytes in their data and in their protected
// bytes, in the same order, however the spans are cut.
bool same_bytes(const layout_step& x, const layout_step& y) {
  if (step_data_bytes(x) != step_data_bytes(y) ||
      step_protected_bytes(x) != step_protected_bytes(y))
    return false;
  for (std::int64_t i = 0; i < step_message_bytes(y); ++i) {
    if (message_byte_offset(x, i) != message_byte_offset(y, i))
      return false;
  }
  return true;
}

// True when the found layout `a` has the truth's spans and code (padding where it matters, the
// mask's bytes).
// When a truth step has more than one data or protected span, every byte of them must match.
bool same(const nand_layout& a, const nand_layout& b, int parity_bits) {
  if (a.steps.size() != b.steps.size() || a.code.m != b.code.m || a.code.t != b.code.t ||
      effective(a.code) != effective(b.code) || a.code.lsb_first != b.code.lsb_first ||
      a.code.mask != b.code.mask || (parity_bits % 8 != 0 && a.code.pad_start != b.code.pad_start))
    return false;
  // A byte mask that is off in a parity bit makes every step need one more correction, which
  // fix would write; its padding bits do not matter.
  if (a.code.mask == layout_mask::bytes) {
    bch_code built;
    if (!build_code(b.code, built).ok() || a.code.mask_bytes.size() != b.code.mask_bytes.size())
      return false;
    for (int i = 0; i < built.parity_bits; ++i) {
      const bch_bit_fix bit = bch_parity_bit(built, i);
      if (((a.code.mask_bytes[bit.byte] ^ b.code.mask_bytes[bit.byte]) >> bit.bit) & 1)
        return false;
    }
  }
  for (std::size_t k = 0; k < a.steps.size(); ++k) {
    const layout_step& x = a.steps[k];
    const layout_step& y = b.steps[k];
    // Steps in bits: every span exactly.
    if (x.bits || y.bits) {
      const auto spans_equal = [](const std::vector<layout_span>& u,
                                  const std::vector<layout_span>& v) {
        if (u.size() != v.size())
          return false;
        for (std::size_t j = 0; j < u.size(); ++j) {
          if (u[j].offset != v[j].offset || u[j].length != v[j].length)
            return false;
        }
        return true;
      };
      if (x.bits != y.bits || !spans_equal(x.data, y.data) ||
          !spans_equal(x.protected_, y.protected_) || !spans_equal({x.ecc}, {y.ecc}))
        return false;
      continue;
    }
    if (x.ecc.offset != y.ecc.offset || x.ecc.length != y.ecc.length ||
        step_data_bytes(x) != step_data_bytes(y) || x.data[0].offset != y.data[0].offset ||
        step_protected_bytes(x) != step_protected_bytes(y))
      return false;
    if ((y.data.size() > 1 || y.protected_.size() > 1) && !same_bytes(x, y))
      return false;
  }
  return true;
}

enum class source { plain, varied, parity, bits };

struct mode {
  const char* name;
  source from;
  bool guess;  // geometry not given
  bool noisy;  // 0 to 2 bit errors in every step
  bool worn;
  const char* says;  // for the summary line
};

const mode kModes[] = {
    {"", source::plain, false, false, false, "geometry given"},
    {"guess", source::plain, true, false, false, "geometry guessed"},
    {"nosize", source::plain, true, false, false, "geometry guessed"},
    {"noisy", source::plain, false, true, false, "geometry given, bit errors in 2 of 3 steps"},
    {"worn", source::plain, false, false, true, "geometry given, worn"},
    {"varied", source::varied, false, false, false, "varied, geometry given"},
    {"varied-worn", source::varied, false, false, true, "varied, geometry given, worn"},
    {"nosize-varied", source::varied, true, false, false, "varied, geometry guessed"},
    {"parity", source::parity, false, false, false, "row/column parity, geometry given"},
    {"bits", source::bits, false, false, false, "steps in bits, geometry given"},
    {"bits-worn", source::bits, false, false, true, "steps in bits, geometry given, worn"},
};

}  // namespace

int main(int argc, char** argv) {
  const int dumps = argc > 1 ? std::atoi(argv[1]) : 50;
  const int pages = argc > 2 ? std::atoi(argv[2]) : 128;
  const char* asked = argc > 3 ? argv[3] : "";
  const int first = argc > 4 ? std::atoi(argv[4]) : 1;
  const char* show_env = std::getenv("PAGOLINTH_BENCH_SHOW");
  const bool show = show_env != nullptr && std::strcmp(show_env, "1") == 0;
  const mode* m = nullptr;
  for (const mode& each : kModes)
    m = std::strcmp(each.name, asked) == 0 ? &each : m;
  if (m == nullptr || dumps < 1 || pages < 1 || first < 1) {
    std::fprintf(stderr,
                 "usage: pagolinth-bench-detect [DUMPS [PAGES [guess|nosize|noisy|worn|varied|"
                 "varied-worn|nosize-varied|parity|bits|bits-worn [FIRST]]]]\n");
    return 2;
  }
  detect_test::page_knobs noise;
  if (m->noisy) {
    noise.error_one_in = 1;
    noise.most_flips = 2;
  }
  noise.worn = m->worn;
  int found = 0, right = 0, same_data = 0, wrong = 0;
  double total = 0, slowest = 0;
  for (int seed = first; seed < first + dumps; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    const detect_test::generated_dump d =
        m->from == source::parity   ? detect_test::generate_parity_dump(rng, pages)
        : m->from == source::varied ? detect_test::generate_varied_dump(rng, pages, noise)
        : m->from == source::bits   ? detect_test::generate_bits_dump(rng, pages, noise)
                                    : detect_test::generate_dump(rng, true, pages, noise);
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
    if (m->guess) {
      std::vector<geometry_guess> guesses;
      r = detect_layout_and_geometry(read, size, {}, guesses);
    } else {
      r = detect_layout(read, size, {d.truth.page_size, d.truth.spare_size, 64});
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    total += seconds;
    slowest = seconds > slowest ? seconds : slowest;
    const char* verdict = "MISSED";
    if (m->from == source::parity) {
      verdict = r.found ? "WRONG" : "right";
    } else if (r.found && same(r.layout, d.truth, d.parity_bits)) {
      verdict = "right";
    } else if (r.found && detect_test::extracted_bits(r.layout, d.bytes) ==
                              detect_test::extracted_bits(d.truth, d.bytes)) {
      verdict = "same-data";
    } else if (r.found) {
      verdict = "WRONG";
    }
    found += r.found;
    right += verdict[0] == 'r' || verdict[0] == 's';
    same_data += verdict[0] == 's';
    wrong += verdict[0] == 'W';
    std::printf("%3d %-9s %6.2f s  %s\n", seed, verdict, seconds, d.summary.c_str());
    if (show && verdict[0] != 'r' && verdict[0] != 's') {
      if (r.found)
        std::printf("found:\n%s", layout_to_toml(r.layout).c_str());
      for (const std::string& line : r.ruled_out)
        std::printf("ruled out: %s\n", line.c_str());
      std::printf("truth:\n%s", layout_to_toml(d.truth).c_str());
    }
    std::fflush(stdout);
  }
  std::printf(
      "%d dumps of %d pages, %s: %d found, %d right (%d of them same-data only), %d WRONG; "
      "%.2f s a dump on average, %.2f s at most\n",
      dumps, pages, m->says, found, right, same_data, wrong, total / dumps, slowest);
  return right == dumps ? 0 : 1;
}
