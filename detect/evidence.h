// How far a count of steps that decode stands above what random data would reach by chance:
// the evidence behind a claim that a dump was written with a given code. A word of random
// bits decodes under a t-error code when it lies within t bits of a codeword, which for a
// weak code and a long step is nearly a coin toss, so a share of decoded steps means nothing
// until it is set against that rate.
#pragma once

#include <cstdint>  // std::int64_t
#include <string>   // std::string

// The probability that a random word of `word_bits` bits (data plus parity) decodes as clean
// or corrected under a code with `parity_bits` parity bits that corrects `t` errors: the
// number of words within t bits of a codeword over all words, sum C(word_bits, i) for
// i = 0..t over 2^parity_bits, capped at 1 (the sphere bound; exact for a perfect code).
// REQUIRES: 1 <= parity_bits <= word_bits, 0 <= t <= word_bits.
double chance_of_decoding(std::int64_t word_bits, int parity_bits, int t);

// log10 of the probability that at least `successes` of `trials` independent tries succeed
// when each succeeds with probability `p`: the binomial upper tail, computed in log space so
// that it stays finite far below 1e-308. 0 when successes <= 0; 0 or a small negative
// number when successes is at or below the expected count.
// REQUIRES: 0 <= successes <= trials, 0 <= p <= 1.
double log10_chance_of_at_least(std::int64_t successes, std::int64_t trials, double p);

// A probability given as its log10, for reports: "0.16", "0.0025", then "1e-1738" once too
// small to write as a decimal.
std::string odds_text(double log10_p);

// The bar a candidate must clear to count as a finding: its count would arise from random data
// with a probability below 10^-6, which leaves room for the few hundred candidates a search
// tries (their chance findings add up to well under one in a thousand).
constexpr double kEvidenceBar = -6.0;
