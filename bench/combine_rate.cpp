// How many ECC steps several reads of a worn chip recover together, against what one read
// recovers alone: merge_step on generated steps of 512 bytes under m = 13, t = 8, in process.
// Run as `pagolinth-bench-combine [STEPS [SEED]]` (20000 steps, seed 1 by default); every step
// draws from its own seed, so the counts do not depend on the number of threads.
#include <algorithm>  // std::find, std::max
#include <cstddef>    // std::size_t
#include <cstdint>    // std::int64_t, std::uint64_t, std::uint8_t
#include <cstdio>     // std::printf, std::fprintf, std::snprintf
#include <cstdlib>    // std::strtoll, std::strtoull
#include <random>     // std::mt19937_64, std::poisson_distribution
#include <string>     // std::string
#include <thread>     // std::thread
#include <vector>     // std::vector

#include "codec/codec.h"       // bch_code_init, bch_encode, bch_decode
#include "codec/step_frame.h"  // step_frame
#include "merge/step_merge.h"  // merge_step, make_merge_frame

namespace {

constexpr std::size_t kMessage = 512;
constexpr int kReads = 5;  // reads drawn a step; N = 2, 3, 5 use the first N
constexpr int kCounts[] = {2, 3, 5};

// A worn chip: bits wrong in every read (the same ones), and read noise drawn anew each read.
struct profile {
  const char* name;
  double persistent;  // mean of the Poisson count of persistent bits a step
  double noise;       // mean of the Poisson count of noise bits a read
};
// Means summing to about 6.3 leave close to a fifth of single reads beyond t = 8.
const profile kProfiles[] = {
    {"noise-heavy", 1.0, 5.3}, {"balanced", 3.0, 3.3}, {"persistent-heavy", 5.0, 1.3}};

struct setup {
  bch_code code;
  step_frame frame;
  merge_frame merge;
  std::vector<int> bits;  // the code's bits, as bit indices into the buffer
};

// Per step seeds: splitmix64, so that neighbouring steps draw unrelated streams.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}
std::uint64_t step_seed(std::uint64_t seed, int experiment, std::int64_t step) {
  return mix(mix(seed) ^
             mix(static_cast<std::uint64_t>(experiment) << 40 ^ static_cast<std::uint64_t>(step)));
}

void flip(std::vector<std::uint8_t>& w, int bit) {
  w[static_cast<std::size_t>(bit / 8)] ^= static_cast<std::uint8_t>(1u << (bit % 8));
}

// `count` distinct code bits not in `taken`, appended to it.
void draw_bits(const setup& s, int count, std::vector<int>& taken, std::mt19937_64& gen) {
  std::uniform_int_distribution<std::size_t> pick(0, s.bits.size() - 1);
  for (int k = 0; k < count;) {
    const int bit = s.bits[pick(gen)];
    if (std::find(taken.begin(), taken.end(), bit) != taken.end())
      continue;
    taken.push_back(bit);
    ++k;
  }
}

void new_truth(const setup& s, std::vector<std::uint8_t>& truth, std::mt19937_64& gen) {
  for (std::size_t i = 0; i < kMessage; ++i)
    truth[i] = static_cast<std::uint8_t>(gen());
  bch_encode(s.code, truth.data(), kMessage, truth.data() + kMessage);
}

int errors(const setup& s, const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  int n = 0;
  for (std::size_t j = 0; j < a.size(); ++j)
    n += __builtin_popcount(static_cast<unsigned>((a[j] ^ b[j]) & s.merge.care[j]));
  return n;
}

struct merge_count {
  std::int64_t right = 0, wrong = 0, budget_hit = 0, decodes = 0;
  void add(const merge_count& o) {
    right += o.right, wrong += o.wrong, budget_hit += o.budget_hit, decodes += o.decodes;
  }
};

// The verdict against the truth; a codeword claimed that is not the truth is WRONG, and is
// told on stderr with what reproduces it (`what`, then the step).
void judge(const merge_verdict& v, bool right, merge_count& c, std::vector<std::string>& told,
           const std::string& what, std::int64_t step) {
  const bool claimed =
      v.way == merge_way::read || v.way == merge_way::majority || v.way == merge_way::search;
  c.right += claimed && right;
  c.budget_hit += v.budget_hit;
  c.decodes += v.decodes;
  if (claimed && !right) {
    ++c.wrong;
    told.push_back(what + ", step " + std::to_string(step) + " (any STEPS above " +
                   std::to_string(step) + " repeats it)");
  }
}

struct beyond_count : merge_count {
  std::vector<std::string> told;  // the wrong steps, for stderr
  void add(const beyond_count& o) {
    merge_count::add(o);
    told.insert(told.end(), o.told.begin(), o.told.end());
  }
};

struct worn_count {
  std::int64_t beyond_t = 0, uncorrectable = 0, miscorrected = 0;  // read 1 alone
  std::int64_t beyond_all = 0;                                     // reads of any step beyond t
  std::int64_t alone[kReads] = {};                                 // steps each read recovers
  merge_count majority[3], full[3];                                // by kCounts
  std::vector<std::string> told;                                   // the wrong steps, for stderr
  void add(const worn_count& o) {
    beyond_t += o.beyond_t, beyond_all += o.beyond_all, uncorrectable += o.uncorrectable,
        miscorrected += o.miscorrected;
    for (int r = 0; r < kReads; ++r)
      alone[r] += o.alone[r];
    for (int k = 0; k < 3; ++k)
      majority[k].add(o.majority[k]), full[k].add(o.full[k]);
    told.insert(told.end(), o.told.begin(), o.told.end());
  }
};

// Steps first, first + stride, ... of experiment `e` (profile e) into `c`.
void run_worn(const setup& s, std::uint64_t seed, int e, std::int64_t steps, int first, int stride,
              worn_count& c) {
  const profile& p = kProfiles[e];
  merge_scratch scratch;
  bch_decode_result result;
  std::vector<std::uint8_t> truth(s.merge.bytes), buf(s.merge.bytes), out(s.merge.bytes);
  std::vector<std::vector<std::uint8_t>> reads(kReads);
  std::vector<int> persistent, noise;
  const std::uint8_t* at[kReads];
  // Formatted ahead, so that a step allocates nothing of its own for the report.
  std::string what[3][2];
  for (int k = 0; k < 3; ++k) {
    what[k][1] = "seed " + std::to_string(seed) + ", worn " + p.name + ", " +
                 std::to_string(kCounts[k]) + " reads";
    what[k][0] = what[k][1] + ", budget 0";
  }
  for (std::int64_t i = first; i < steps; i += stride) {
    std::mt19937_64 gen(step_seed(seed, e, i));
    new_truth(s, truth, gen);
    std::poisson_distribution<int> persistent_count(p.persistent), noise_count(p.noise);
    persistent.clear();
    draw_bits(s, std::min(persistent_count(gen), 64), persistent, gen);
    for (int r = 0; r < kReads; ++r) {
      reads[r] = truth;
      for (int bit : persistent)
        flip(reads[r], bit);
      // Noise on a persistent bit reads it right this once.
      noise.clear();
      draw_bits(s, std::min(noise_count(gen), 64), noise, gen);
      for (int bit : noise)
        flip(reads[r], bit);
      at[r] = reads[r].data();
      buf = reads[r];
      bch_decode(s.code, buf.data(), kMessage, buf.data() + kMessage, result);
      const bool decoded =
          result.status == bch_status::clean || result.status == bch_status::corrected;
      c.alone[r] += decoded && buf == truth;
      const bool beyond = errors(s, reads[r], truth) > s.code.t;
      c.beyond_all += beyond;
      if (r == 0) {
        c.beyond_t += beyond;
        c.uncorrectable += result.status == bch_status::uncorrectable;
        c.miscorrected += decoded && buf != truth;
      }
    }
    for (int k = 0; k < 3; ++k) {
      merge_verdict v = merge_step(s.merge, at, kCounts[k], 0, out.data(), scratch);
      judge(v, out == truth, c.majority[k], c.told, what[k][0], i);
      v = merge_step(s.merge, at, kCounts[k], kDefaultSearchBudget, out.data(), scratch);
      judge(v, out == truth, c.full[k], c.told, what[k][1], i);
    }
  }
}

// Two reads of exactly t + extra errors each, `shared` of them on the same bits in both.
void run_beyond(const setup& s, std::uint64_t seed, int e, int extra, int shared,
                std::int64_t steps, int first, int stride, beyond_count& c) {
  merge_scratch scratch;
  std::vector<std::uint8_t> truth(s.merge.bytes), out(s.merge.bytes);
  std::vector<std::vector<std::uint8_t>> reads(2);
  std::vector<int> bits;
  const std::uint8_t* at[2];
  const int own = s.code.t + extra - shared;
  const std::string what = "seed " + std::to_string(seed) + ", two reads of t+" +
                           std::to_string(extra) + ", " + std::to_string(shared) + " shared";
  for (std::int64_t i = first; i < steps; i += stride) {
    std::mt19937_64 gen(step_seed(seed, e, i));
    new_truth(s, truth, gen);
    bits.clear();
    draw_bits(s, shared + 2 * own, bits, gen);
    for (int r = 0; r < 2; ++r) {
      reads[r] = truth;
      for (int k = 0; k < shared; ++k)
        flip(reads[r], bits[k]);
      for (int k = 0; k < own; ++k)
        flip(reads[r], bits[shared + r * own + k]);
      at[r] = reads[r].data();
    }
    const merge_verdict v = merge_step(s.merge, at, 2, kDefaultSearchBudget, out.data(), scratch);
    judge(v, out == truth, c, c.told, what, i);
  }
}

template <class Count, class Run>
Count on_threads(int threads, Run run) {
  std::vector<Count> part(static_cast<std::size_t>(threads));
  std::vector<std::thread> pool;
  for (int k = 0; k < threads; ++k)
    pool.emplace_back([&, k] { run(k, part[static_cast<std::size_t>(k)]); });
  for (std::thread& th : pool)
    th.join();
  for (int k = 1; k < threads; ++k)
    part[0].add(part[static_cast<std::size_t>(k)]);
  return part[0];
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t steps = argc > 1 ? std::strtoll(argv[1], nullptr, 10) : 20000;
  const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  if (steps < 1 || argc > 3) {
    std::fprintf(stderr, "usage: pagolinth-bench-combine [STEPS [SEED]]\n");
    return 2;
  }
  setup s;
  if (!bch_code_init(s.code, 13, 8).ok())
    return 2;
  s.frame.message_bytes = kMessage;
  s.merge = make_merge_frame(s.code, s.frame, false);
  for (std::size_t j = 0; j < s.merge.bytes; ++j) {
    for (int b = 0; b < 8; ++b) {
      if (s.merge.care[j] >> b & 1)
        s.bits.push_back(static_cast<int>(8 * j) + b);
    }
  }
  const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const double S = static_cast<double>(steps);
  // A count as number and share of the steps of a row, the columns of every table.
  const auto cell = [S](std::int64_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%6lld %6.2f%%", static_cast<long long>(n),
                  100.0 * static_cast<double>(n) / S);
    return std::string(text);
  };
  std::int64_t wrong_total = 0;
  std::vector<std::string> wrong_all;

  std::printf("$ pagolinth-bench-combine %lld %llu\n", static_cast<long long>(steps),
              static_cast<unsigned long long>(seed));
  std::printf(
      "code m=13 t=%d, %zu message + %d ECC bytes (%zu code bits); %lld steps a row, "
      "seed %llu, %d threads\n",
      s.code.t, kMessage, s.code.ecc_bytes, s.bits.size(), static_cast<long long>(steps),
      static_cast<unsigned long long>(seed), threads);
  std::printf(
      "majority: merge_step with budget 0 (decoded reads, then their majority; every step "
      "that gets to the search hits the budget)\nfull: merge_step with the default "
      "budget of %lld decodes (the search too)\n",
      static_cast<long long>(kDefaultSearchBudget));
  for (int e = 0; e < 3; ++e) {
    const profile& p = kProfiles[e];
    const worn_count c = on_threads<worn_count>(
        threads, [&](int k, worn_count& part) { run_worn(s, seed, e, steps, k, threads, part); });
    std::printf("\nworn %s: persistent ~ Poisson(%.1f) a step, noise ~ Poisson(%.1f) a read\n",
                p.name, p.persistent, p.noise);
    std::printf(
        "  a read alone beyond t: %.2f %% of all %d reads; read 1: %.2f %% beyond t, "
        "%.2f %% uncorrectable, %lld miscorrected\n",
        100.0 * static_cast<double>(c.beyond_all) / (kReads * S), kReads,
        100.0 * static_cast<double>(c.beyond_t) / S,
        100.0 * static_cast<double>(c.uncorrectable) / S, static_cast<long long>(c.miscorrected));
    std::printf("  N | one read       | best single    | majority       | full combine\n");
    for (int k = 0; k < 3; ++k) {
      std::int64_t best = 0;
      for (int r = 0; r < kCounts[k]; ++r)
        best = std::max(best, c.alone[r]);
      std::printf("  %d | %s | %s | %s | %s\n", kCounts[k], cell(c.alone[0]).c_str(),
                  cell(best).c_str(), cell(c.majority[k].right).c_str(),
                  cell(c.full[k].right).c_str());
    }
    std::printf(
        "  N | WRONG majority | WRONG full     | budget hit maj | budget hit full | "
        "decodes/step maj, full\n");
    for (int k = 0; k < 3; ++k) {
      const merge_count& m = c.majority[k];
      const merge_count& f = c.full[k];
      std::printf("  %d | %s | %s | %s | %s  | %.1f, %.1f\n", kCounts[k], cell(m.wrong).c_str(),
                  cell(f.wrong).c_str(), cell(m.budget_hit).c_str(), cell(f.budget_hit).c_str(),
                  static_cast<double>(m.decodes) / S, static_cast<double>(f.decodes) / S);
      wrong_total += m.wrong + f.wrong;
    }
    wrong_all.insert(wrong_all.end(), c.told.begin(), c.told.end());
  }

  std::printf("\ntwo reads beyond t, no persistent errors, full combine:\n");
  std::printf(
      "  errors a read | shared | recovered      | WRONG          | budget hit     | "
      "decodes/step\n");
  int e = 3;
  for (int extra = 1; extra <= 3; ++extra) {
    for (int shared = 0; shared <= 1; ++shared, ++e) {
      const beyond_count c = on_threads<beyond_count>(threads, [&](int k, beyond_count& part) {
        run_beyond(s, seed, e, extra, shared, steps, k, threads, part);
      });
      std::printf("  t+%d = %-7d | %6d | %s | %s | %s | %.1f\n", extra, s.code.t + extra, shared,
                  cell(c.right).c_str(), cell(c.wrong).c_str(), cell(c.budget_hit).c_str(),
                  static_cast<double>(c.decodes) / S);
      wrong_total += c.wrong;
      wrong_all.insert(wrong_all.end(), c.told.begin(), c.told.end());
    }
  }
  // A step draws from the seed, its experiment and its index alone: any STEPS beyond the
  // index, with the same SEED, repeats it.
  for (const std::string& w : wrong_all)
    std::fprintf(stderr, "WRONG: %s\n", w.c_str());
  std::printf("\nWRONG results in all experiments: %lld%s\n", static_cast<long long>(wrong_total),
              wrong_total == 0 ? "" : " (the steps are listed on stderr)");
  return wrong_total == 0 ? 0 : 1;
}
