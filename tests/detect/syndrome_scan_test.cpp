// Tests of the syndrome scan on words the engine encoded: the code's own field and span hit
// with its t, whatever the bit errors (up to t/2 a word); a shifted span or another field does
// not; the polynomial list against a textbook table; and the related fields by the divisibility
// of their generators.
#include "detect/syndrome_scan.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, ASSERT_*, SCOPED_TRACE

#include <cstdint>  // std::uint8_t, std::uint32_t
#include <random>   // std::mt19937
#include <vector>   // std::vector

#include "codec/codec.h"      // bch_code_init, bch_encode
#include "detect/gf2_poly.h"  // bch_generator, poly_divides

TEST(SyndromeScan, ListsThePrimitivePolynomialsOfADegree) {
  // x^4 + x + 1 and x^4 + x^3 + 1; x^4 + x^3 + x^2 + x + 1 is irreducible but not primitive.
  EXPECT_EQ(primitive_polynomials(4, 10), (std::vector<std::uint32_t>{0x13, 0x19}));
  EXPECT_EQ(primitive_polynomials(13, 3).size(), 3u);
  EXPECT_TRUE(primitive_polynomials(21, 3).empty());
}

TEST(SyndromeScan, HitsTheCodesFieldAndSpanOnly) {
  for (bool lsb : {false, true}) {
    SCOPED_TRACE(std::string("case ") + (lsb ? "lsb" : "msb") + " first");
    bch_code code;
    bch_code_options o;
    o.bit_order = lsb ? bch_bit_order::lsb_first : bch_bit_order::msb_first;
    ASSERT_TRUE(bch_code_init(code, 13, 8, o).ok());
    // Pages: 4 bytes of varying header, 512 data bytes, the ECC, 4 varying bytes after it.
    const std::size_t ecc = static_cast<std::size_t>(code.ecc_bytes);
    const std::size_t raw = 4 + 512 + ecc + 4;
    std::mt19937 rng(7);
    std::vector<std::vector<std::uint8_t>> pages(12, std::vector<std::uint8_t>(raw));
    for (auto& page : pages) {
      for (auto& b : page)
        b = static_cast<std::uint8_t>(rng());
      bch_encode(code, page.data() + 4, 512, page.data() + 516);
      // 1 ... 4 errors in the codeword, never in the unused pad bits of its last ECC byte.
      const int errors = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < errors; ++e) {
        const std::size_t bit = rng() % (8 * 512 + static_cast<std::size_t>(code.parity_bits));
        const std::size_t byte = 4 + bit / 8;
        page[byte] =
            static_cast<std::uint8_t>(page[byte] ^ (lsb ? 1u << (bit % 8) : 0x80u >> (bit % 8)));
      }
    }
    word_shape exact, early;
    exact.lsb_first = early.lsb_first = lsb;
    exact.spans = {{4, static_cast<std::int64_t>(512 + ecc)}};
    early.spans = {{3, static_cast<std::int64_t>(512 + ecc)}};
    // The pad bits end the word: a power of x, which leaves the syndromes' LFSR as it is.
    const std::vector<word_shape> shapes = {early, exact};
    const std::vector<scan_field> fields = {{13, 0x201B}, {13, 0x25AF}};
    scan_limits limits;
    limits.data_bytes = 512;
    const std::vector<scan_hit> hits = syndrome_scan(pages, shapes, fields, limits);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].shape, 1u);
    EXPECT_EQ(hits[0].field.p, 0x25AFu);
    EXPECT_EQ(hits[0].t, 8);
    EXPECT_GE(hits[0].fits, 3);
  }
}

TEST(SyndromeScan, RelatedFieldsHoldTheCodeAtALargerT) {
  // A worn dump drawn with the code m = 15, t = 13 on 0xE879 hit first as t = 4 on 0xA523.
  const scan_field hit{15, 0xA523};
  const std::vector<scan_field> related = related_fields(hit, 25);
  ASSERT_GE(related.size(), 2u);
  bool names_truth = false;
  for (const scan_field& f : related)
    names_truth = names_truth || f.p == 0xE879;
  EXPECT_TRUE(names_truth);
  // j = 3: the roots alpha^1, 3, 5, 7 are beta^3, 9, 15, 21, all among beta^1 ... beta^26;
  // j = 5 leaves room for three; the t = 5 code's alpha^9 = beta^27 is not among them.
  const gf2_poly wide3 = bch_generator(15, related[0].p, 13);
  const gf2_poly wide5 = bch_generator(15, related[1].p, 13);
  EXPECT_TRUE(poly_divides(bch_generator(15, hit.p, 4), wide3));
  EXPECT_FALSE(poly_divides(bch_generator(15, hit.p, 5), wide3));
  EXPECT_TRUE(poly_divides(bch_generator(15, hit.p, 3), wide5));
  EXPECT_FALSE(poly_divides(bch_generator(15, hit.p, 4), wide5));
}
