// The chance that random data decodes, and the binomial tails, against values worked out
// exactly with rational arithmetic outside this code (Python's fractions and math.comb).
#include "detect/evidence.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::max
#include <cmath>      // std::log10

TEST(Evidence, ChanceOfDecodingMatchesExactCounts) {
  // A t = 1 code with 13 parity bits over a 4,200-bit word: 4,201 words in each sphere.
  EXPECT_NEAR(chance_of_decoding(4200, 13, 1) / (4201.0 / 8192.0), 1.0, 1e-9) << "m 13, t 1";
  // Perfect codes fill the space: Hamming (7, 4) and the binary Golay code (23, 12).
  EXPECT_NEAR(chance_of_decoding(7, 3, 1), 1.0, 1e-12) << "Hamming";
  EXPECT_NEAR(chance_of_decoding(23, 11, 3), 1.0, 1e-12) << "Golay";
  // The built-in code: 4,120 data bits and 104 parity bits, t = 8.
  EXPECT_NEAR(chance_of_decoding(4224, 104, 8) / 1.233374971754832e-07, 1.0, 1e-9) << "m 13, t 8";
  // More words within t bits than there are syndromes: capped.
  EXPECT_EQ(chance_of_decoding(4200, 13, 3), 1.0) << "t 3 over 13 parity bits";
  EXPECT_NEAR(chance_of_decoding(4200, 13, 0) * 8192.0, 1.0, 1e-12) << "t 0";
}

TEST(Evidence, BinomialTailsMatchExactSums) {
  struct known {
    std::int64_t successes, trials;
    double p, log10_tail;
  } cases[] = {
      {3, 3, 0.5, std::log10(0.125)},
      {7, 10, 0.3, -1.9750188133498652},
      {60, 100, 0.5, -1.5460098366302210},
      {140, 256, 4201.0 / 8192.0, -0.8180457709876643},
      // Far below what a double holds: the sum must stay in log space.
      {250, 256, 1e-7, -1738.4335241101657},
  };
  for (const known& c : cases) {
    EXPECT_NEAR(log10_chance_of_at_least(c.successes, c.trials, c.p), c.log10_tail,
                1e-9 * std::max(1.0, -c.log10_tail))
        << c.successes << " of " << c.trials << " at " << c.p;
  }
  // No successes, or no more than chance brings, is no evidence at all.
  EXPECT_EQ(log10_chance_of_at_least(0, 256, 0.3), 0.0) << "none";
  EXPECT_EQ(log10_chance_of_at_least(10, 100, 0.5), 0.0) << "below the mean";
  EXPECT_EQ(log10_chance_of_at_least(5, 5, 1.0), 0.0) << "certain";
  // A weak code's share that looks good is still chance; a strong code's three successes are
  // not (one alone would come by chance once in 30,000 tries of 256 steps).
  EXPECT_GT(log10_chance_of_at_least(141, 256, 4201.0 / 8192.0), kEvidenceBar) << "t 1, 55 %";
  EXPECT_LT(log10_chance_of_at_least(3, 256, 1.233374971754832e-07), kEvidenceBar) << "t 8, three";
}
