// Tests of the merge of one step's reads: against a written truth on the dialogue's code, and
// the search's acceptance against every codeword of a code small enough to list them all.
#include "merge/step_merge.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::shuffle
#include <numeric>    // std::iota
#include <random>     // std::mt19937
#include <string>     // std::to_string
#include <vector>     // std::vector

#include "codec/codec.h"       // bch_code_init, bch_encode
#include "codec/step_frame.h"  // step_frame

namespace {

using word = std::vector<std::uint8_t>;

struct setup {
  bch_code code;
  step_frame frame;
  merge_frame merge;
};

// A byte step of `message` bytes, its ECC after it, under the m, t code.
void make_setup(setup& s, int m, int t, std::size_t message, bch_code_options options = {}) {
  ASSERT_TRUE(bch_code_init(s.code, m, t, options).ok());
  s.frame.message_bytes = message;
  s.merge = make_merge_frame(s.code, s.frame, false);
}

word codeword(const setup& s, std::mt19937& gen) {
  word w(s.merge.bytes);
  for (std::size_t i = 0; i < s.frame.message_bytes; ++i)
    w[i] = static_cast<std::uint8_t>(gen());
  bch_encode(s.code, w.data(), s.frame.message_bytes, w.data() + s.frame.message_bytes);
  return w;
}

// The code's bit positions, as bit indices into the buffer.
std::vector<int> code_bits(const setup& s) {
  std::vector<int> bits;
  for (std::size_t j = 0; j < s.merge.bytes; ++j) {
    for (int b = 0; b < 8; ++b) {
      if (s.merge.care[j] >> b & 1)
        bits.push_back(static_cast<int>(8 * j) + b);
    }
  }
  return bits;
}

void flip(word& w, int bit) {
  w[static_cast<std::size_t>(bit / 8)] ^= static_cast<std::uint8_t>(1u << (bit % 8));
}

// `reads` copies of `truth`, read r with errors[r] bits flipped, no bit flipped in two reads
// unless `shared` bits are flipped in all of them.
std::vector<word> reads_of(const setup& s, const word& truth, const std::vector<int>& errors,
                           int shared, std::mt19937& gen) {
  std::vector<int> bits = code_bits(s);
  std::shuffle(bits.begin(), bits.end(), gen);
  std::vector<word> reads(errors.size(), truth);
  std::size_t next = 0;
  for (int i = 0; i < shared; ++i, ++next) {
    for (word& r : reads)
      flip(r, bits[next]);
  }
  for (std::size_t r = 0; r < reads.size(); ++r) {
    for (int i = 0; i < errors[r]; ++i)
      flip(reads[r], bits[next++]);
  }
  return reads;
}

merge_verdict merge(const setup& s, const std::vector<word>& reads, word& out,
                    std::int64_t budget = kDefaultSearchBudget) {
  std::vector<const std::uint8_t*> at;
  for (const word& r : reads)
    at.push_back(r.data());
  out.assign(s.merge.bytes, 0);
  merge_scratch scratch;
  return merge_step(s.merge, at.data(), static_cast<int>(at.size()), budget, out.data(), scratch);
}

TEST(StepMerge, TakesTheDecodedReadMostReadsSupportAndFlagsTheConflict) {
  setup s;
  make_setup(s, 13, 8, 512);
  std::mt19937 gen(1);
  const word truth = codeword(s, gen);
  const word other = codeword(s, gen);
  word out;
  // The first read beyond t, the second within it.
  std::vector<word> reads = reads_of(s, truth, {11, 3}, 0, gen);
  merge_verdict v = merge(s, reads, out);
  EXPECT_EQ(v.way, merge_way::read);
  EXPECT_EQ(v.read, 1);
  EXPECT_EQ(v.first, bch_status::uncorrectable);
  EXPECT_EQ(out, truth);
  // One read of another codeword against two of the truth.
  reads = reads_of(s, truth, {0, 2, 5}, 0, gen);
  reads[0] = other;
  v = merge(s, reads, out);
  EXPECT_EQ(out, truth);
  EXPECT_TRUE(v.conflict);
  EXPECT_EQ(v.supporting, 2);
  EXPECT_EQ(v.read, 1);
}

TEST(StepMerge, AnErasedOrZeroedReadNeverTakesOverFromAProgrammedOne) {
  setup s;
  make_setup(s, 13, 8, 512);
  std::mt19937 gen(2);
  const word truth = codeword(s, gen);
  for (const std::uint8_t fill : {std::uint8_t{0xFF}, std::uint8_t{0x00}}) {
    SCOPED_TRACE("failed read of " + std::to_string(fill));
    std::vector<word> reads = reads_of(s, truth, {0, 6, 12}, 0, gen);
    reads[0].assign(s.merge.bytes, fill);
    flip(reads[0], 100);  // a failed read carries noise too
    word out;
    merge_verdict v = merge(s, reads, out);
    EXPECT_EQ(out, truth);
    EXPECT_EQ(v.read, 1);
    EXPECT_EQ(v.failed_reads, 1u);
    // With the only programmed read beyond t, the step stays uncorrectable, holding that read.
    reads.pop_back();
    reads[1] = reads_of(s, truth, {12}, 0, gen)[0];
    v = merge(s, reads, out);
    EXPECT_EQ(v.way, merge_way::uncorrectable);
    EXPECT_EQ(out, reads[1]);
  }
  // Erased in every read: erased, though a worn read has zeros beyond t (12 of them here).
  std::vector<word> reads(2, word(s.merge.bytes, 0xFF));
  for (int i = 0; i < 12; ++i)
    flip(reads[0], 8 + 300 * i);
  flip(reads[1], 900);
  word out;
  EXPECT_EQ(merge(s, reads, out).way, merge_way::erased);
  EXPECT_EQ(out, word(s.merge.bytes, 0xFF));
  // Beside a programmed read, that worn read is a failed read all the same.
  reads[1] = reads_of(s, truth, {5}, 0, gen)[0];
  const merge_verdict v = merge(s, reads, out);
  EXPECT_EQ(out, truth);
  EXPECT_EQ(v.failed_reads, 1u);
}

TEST(StepMerge, MajorityAndSearchRecoverReadsThatAreEachBeyondT) {
  setup s;
  make_setup(s, 13, 8, 512);
  std::mt19937 gen(3);
  int searched = 0;
  for (int trial = 0; trial < 12; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const word truth = codeword(s, gen);
    word out;
    // Three reads with t + 2 errors each, none shared: the majority is the truth.
    merge_verdict v = merge(s, reads_of(s, truth, {10, 10, 10}, 0, gen), out);
    EXPECT_EQ(v.way, merge_way::majority);
    EXPECT_EQ(out, truth);
    // Two reads with t + 1 ... t + 3 errors, one of them shared on odd trials.
    const int extra = 1 + trial % 3;
    v = merge(s, reads_of(s, truth, {8 + extra - trial % 2, 8 + extra}, trial % 2, gen), out);
    if (v.way == merge_way::search) {
      ++searched;
      EXPECT_EQ(out, truth);
    } else {
      EXPECT_EQ(v.way, merge_way::uncorrectable);
    }
  }
  EXPECT_GE(searched, 10);
  // Far beyond t in both reads: the budget runs out, nothing is claimed.
  const word truth = codeword(s, gen);
  word out;
  const std::vector<word> reads = reads_of(s, truth, {30, 30}, 0, gen);
  const merge_verdict v = merge(s, reads, out, 5000);
  EXPECT_EQ(v.way, merge_way::uncorrectable);
  EXPECT_TRUE(v.budget_hit);
  EXPECT_LE(v.decodes, 5000);
  EXPECT_EQ(out, reads[0]);
}

// m = 5, t = 3: 16 message bits, 65536 codewords, few enough to find the one closest to the
// reads by listing them all.
TEST(StepMerge, ASearchAcceptsOnlyTheUniqueClosestOfAllCodewords) {
  setup s;
  make_setup(s, 5, 3, 2);
  ASSERT_EQ(s.code.parity_bits, 15);
  std::vector<word> all;
  for (unsigned v = 0; v < 65536; ++v) {
    word w(s.merge.bytes);
    w[0] = static_cast<std::uint8_t>(v >> 8);
    w[1] = static_cast<std::uint8_t>(v);
    bch_encode(s.code, w.data(), 2, w.data() + 2);
    all.push_back(w);
  }
  std::mt19937 gen(4);
  int accepted = 0, refused = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const word truth = all[gen() % all.size()];
    const int count = 2 + trial % 2;
    std::vector<int> errors(static_cast<std::size_t>(count));
    for (int& e : errors)
      e = 3 + static_cast<int>(gen() % 4);
    const std::vector<word> reads = reads_of(s, truth, errors, static_cast<int>(gen() % 2), gen);
    word out;
    const merge_verdict v = merge(s, reads, out);
    if (v.way != merge_way::search) {
      refused += v.way == merge_way::uncorrectable;
      continue;
    }
    ++accepted;
    // The summed distance of every codeword to the reads that took part; the result must be
    // its only minimum.
    long best = 1L << 30;
    int at_best = 0;
    const word* best_word = nullptr;
    for (const word& c : all) {
      long sum = 0;
      for (std::size_t i = 0; i < reads.size(); ++i) {
        if (v.failed_reads >> i & 1)
          continue;  // failed reads take no part
        const word& r = reads[i];
        for (std::size_t j = 0; j < c.size(); ++j)
          sum += __builtin_popcount(static_cast<unsigned>((c[j] ^ r[j]) & s.merge.care[j]));
      }
      if (sum < best) {
        best = sum;
        at_best = 1;
        best_word = &c;
      } else if (sum == best) {
        ++at_best;
      }
    }
    ASSERT_EQ(at_best, 1) << "trial " << trial;
    ASSERT_EQ(out, *best_word) << "trial " << trial;
  }
  EXPECT_GT(accepted, 30);
  EXPECT_GT(refused, 0);
}

}  // namespace
