// Tests of the GF(2) polynomials behind the search: generators against PARI/GP's known answers
// (tabled and chosen primitive polynomials), primitivity against PARI/GP's verdicts and the
// count of primitive polynomials number theory gives, and gcd, division and products checked
// against each other on random polynomials.
#include "detect/gf2_poly.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, ASSERT_*, SCOPED_TRACE

#include <cstdint>  // std::uint32_t, std::uint64_t
#include <fstream>  // std::ifstream
#include <random>   // std::mt19937_64
#include <sstream>  // std::istringstream
#include <string>   // std::string

#include "bch/bch.h"              // bch_primitive_polynomial: the polynomial the known answers use
#include "tests/bch/reference.h"  // known_codes

namespace {

gf2_poly random_poly(std::mt19937_64& rng, int degree) {
  gf2_poly p(static_cast<std::size_t>(degree) / 64 + 1);
  for (auto& w : p)
    w = rng();
  poly_truncate(p, degree + 1);
  p[static_cast<std::size_t>(degree) / 64] |= std::uint64_t{1} << (degree % 64);
  return p;
}

// Euclid's algorithm by plain remainders: a second route to the gcd, apart from the fast one.
gf2_poly gcd_by_remainders(gf2_poly a, gf2_poly b) {
  while (poly_degree(b) >= 0) {
    gf2_poly r = poly_mod(a, b);
    a = b;
    b = r;
  }
  return a;
}

}  // namespace

TEST(Gf2Poly, GeneratorsMatchKnownAnswers) {
  const auto codes = bch_reference::known_codes(PAGOLINTH_KNOWN_CODES);
  ASSERT_GT(codes.size(), 40u) << "case known-answer file";
  for (const auto& code : codes) {
    SCOPED_TRACE("case m " + std::to_string(code.m) + " t " + std::to_string(code.t));
    const auto field = static_cast<std::uint32_t>(bch_primitive_polynomial(code.m));
    const gf2_poly g = bch_generator(code.m, field, code.t);
    EXPECT_EQ(poly_degree(g), code.r);
    EXPECT_EQ(poly_hex(g), code.hex);
    // A BCH generator has at least 2t roots in a row, and the engine's t is recovered from it.
    EXPECT_GE(consecutive_roots(g, code.m, field), 2 * code.t);
  }

  std::ifstream in(PAGOLINTH_CUSTOM_CODES);
  std::string line;
  int custom = 0, bad = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    SCOPED_TRACE("case " + line);
    if (first == "bad") {
      int m = 0;
      std::string hex;
      fields >> m >> hex;
      EXPECT_FALSE(poly_is_primitive(static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16)), m));
      EXPECT_TRUE(
          bch_generator(m, static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16)), 2).empty());
      ++bad;
      continue;
    }
    const int m = std::stoi(first);
    std::string p_hex, g_hex;
    int t = 0, r = 0;
    fields >> p_hex >> t >> r >> g_hex;
    const auto field = static_cast<std::uint32_t>(std::stoul(p_hex, nullptr, 16));
    EXPECT_TRUE(poly_is_primitive(field, m));
    const gf2_poly g = bch_generator(m, field, t);
    EXPECT_EQ(poly_degree(g), r);
    EXPECT_EQ(poly_hex(g), g_hex);
    EXPECT_EQ(poly_mod_small(g, field, m), 0u) << "the field polynomial divides g";
    ++custom;
  }
  EXPECT_GT(custom, 10) << "case custom known-answer file";
  EXPECT_GT(bad, 3) << "case custom known-answer file";
}

TEST(Gf2Poly, PrimitiveCountsMatchNumberTheory) {
  // phi(2^m - 1) / m primitive polynomials of degree m.
  const int counts[][2] = {{2, 1},  {3, 2},  {4, 2},   {5, 6},    {6, 6},    {7, 18},
                           {8, 16}, {9, 48}, {10, 60}, {11, 176}, {12, 144}, {13, 630}};
  for (const auto& known : counts) {
    const int m = known[0];
    int found = 0;
    for (std::uint32_t poly = 1u << m; poly < (2u << m); ++poly)
      found += poly_is_primitive(poly, m);
    EXPECT_EQ(found, known[1]) << "case m " << m;
    EXPECT_TRUE(poly_is_primitive(static_cast<std::uint32_t>(bch_primitive_polynomial(m)), m))
        << "case tabled m " << m;
  }
  EXPECT_FALSE(poly_is_primitive(0x201B, 12)) << "case wrong degree";
  EXPECT_FALSE(poly_is_primitive(0x201A, 13)) << "case x divides it";
}

TEST(Gf2Poly, GcdDivisionAndProductAgree) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("case round " + std::to_string(round));
    const gf2_poly g = random_poly(rng, 20 + static_cast<int>(rng() % 300));
    const gf2_poly a = random_poly(rng, 1 + static_cast<int>(rng() % 3000));
    const gf2_poly b = random_poly(rng, 1 + static_cast<int>(rng() % 3000));
    const gf2_poly ga = poly_mul(g, a), gb = poly_mul(g, b);
    EXPECT_EQ(poly_degree(ga), poly_degree(g) + poly_degree(a));
    EXPECT_TRUE(poly_divides(g, ga));
    EXPECT_TRUE(poly_divides(a, ga));
    // The gcd of two multiples of g is g times the gcd of the cofactors.
    const gf2_poly h = poly_gcd(ga, gb);
    EXPECT_EQ(poly_hex(h), poly_hex(poly_mul(g, poly_gcd(a, b))));
    EXPECT_EQ(poly_hex(h), poly_hex(gcd_by_remainders(ga, gb)));
    // Words of equal length with a long common factor, as the search meets them.
    const gf2_poly c = random_poly(rng, poly_degree(ga));
    const gf2_poly gc = poly_mul(g, c);
    EXPECT_EQ(poly_hex(poly_gcd(gc, ga)), poly_hex(gcd_by_remainders(gc, ga)));
    EXPECT_TRUE(poly_divides(h, ga) && poly_divides(h, gb));
    // Division with remainder: ga + r is left with r modulo g.
    const gf2_poly r = random_poly(rng, poly_degree(g) - 1);
    gf2_poly sum = ga;
    poly_add(sum, r);
    EXPECT_EQ(poly_hex(poly_mod(sum, g)), poly_hex(r));
    // Shifts move the trailing zeros and nothing else.
    const int k = static_cast<int>(rng() % 130);
    gf2_poly shifted = poly_shift_left(a, k);
    EXPECT_EQ(poly_trailing_zeros(shifted), poly_trailing_zeros(a) + k);
    poly_shift_right(shifted, k);
    EXPECT_EQ(poly_hex(shifted), poly_hex(a));
  }
  EXPECT_EQ(poly_degree(poly_gcd({}, {})), -1) << "case gcd of zeros";
  EXPECT_EQ(poly_hex(poly_gcd({0x6}, {})), "6") << "case gcd with zero";
}

TEST(Gf2Poly, BytesReadInEitherBitOrder) {
  const std::uint8_t bytes[] = {0x80, 0x01, 0xC3};
  // msb first: 1000 0000 0000 0001 1100 0011, the first bit the highest.
  EXPECT_EQ(poly_hex(poly_from_bytes(bytes, 3, false)), "8001C3") << "case msb";
  // lsb first: each byte reversed.
  EXPECT_EQ(poly_hex(poly_from_bytes(bytes, 3, true)), "180C3") << "case lsb";
  EXPECT_EQ(poly_mod_small({0x201B}, 0x201B, 13), 0u) << "case p mod p";
  EXPECT_EQ(poly_mod_small({0x201A}, 0x201B, 13), 1u) << "case p + 1 mod p";
}
