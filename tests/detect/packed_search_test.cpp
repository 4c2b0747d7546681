// Tests of the search for codewords packed back to back by bits: pages encoded by the bit-level
// reference in packed layouts (both bit orders, either mask, metadata or none, a few bit errors
// in most steps, a polynomial of the controller's own) give back their layout exactly; random
// pages give nothing.
#include "detect/packed_search.h"

#include <gtest/gtest.h>

#include <random>  // std::mt19937
#include <string>  // std::string
#include <vector>  // std::vector

#include "detect/gf2_poly.h"            // bch_generator, poly_degree
#include "tests/codec/bit_reference.h"  // generator, encode_page, message_bits, ecc_bits

namespace {

struct packed_case {
  int m, t;
  std::int64_t page, spare, chunk, meta;
  bool lsb;
  layout_mask mask;
  std::uint32_t polynomial;  // 0: the tabled one
};

// g of the case's code, g[i] = coefficient of x^i: the construction library's for the tabled
// polynomial, the search's own generator (tested against known answers) for another.
std::vector<int> generator_of(const packed_case& c) {
  if (c.polynomial == 0)
    return bit_reference::generator(c.m, c.t);
  const gf2_poly g = bch_generator(c.m, c.polynomial, c.t);
  std::vector<int> out(static_cast<std::size_t>(poly_degree(g)) + 1);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<int>((g[i / 64] >> (i % 64)) & 1);
  return out;
}

nand_layout truth(const packed_case& c) {
  nand_layout l;
  l.page_size = static_cast<std::int32_t>(c.page);
  l.spare_size = static_cast<std::int32_t>(c.spare);
  l.block_pages = 64;
  l.code.m = c.m;
  l.code.t = c.t;
  l.code.lsb_first = c.lsb;
  l.code.mask = c.mask;
  l.code.primitive_polynomial = c.polynomial;
  const int r = static_cast<int>(generator_of(c).size()) - 1;
  std::int64_t at = 0;
  for (std::int64_t k = 0; k < c.page / c.chunk; ++k) {
    layout_step s;
    s.bits = true;
    s.data = {{at, 8 * c.chunk}};
    at += 8 * c.chunk;
    if (k == 0 && c.meta > 0) {
      s.protected_ = {{at, 8 * c.meta}};
      at += 8 * c.meta;
    }
    s.ecc = {at, r};
    at += r;
    l.steps.push_back(s);
  }
  return l;
}

// Random pages in the layout, 0 to 2 bit errors a step.
std::vector<std::vector<std::uint8_t>> pages_in(const nand_layout& l, const std::vector<int>& g,
                                                int count, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::vector<std::uint8_t>> pages;
  for (int i = 0; i < count; ++i) {
    std::vector<std::uint8_t> page(static_cast<std::size_t>(l.page_size + l.spare_size));
    for (auto& b : page)
      b = static_cast<std::uint8_t>(gen());
    bit_reference::encode_page(page, l, g);
    for (const layout_step& s : l.steps) {
      std::vector<std::int64_t> bits = bit_reference::message_bits(s);
      for (int e = static_cast<int>(gen() % 3); e > 0; --e) {
        const std::int64_t b = bits[gen() % bits.size()];
        bit_reference::put(page, b, 1 - bit_reference::bit(page, b, l.code.lsb_first),
                           l.code.lsb_first);
      }
    }
    pages.push_back(std::move(page));
  }
  return pages;
}

std::string step_text(const layout_step& s) {
  std::string text = s.bits ? "bits" : "bytes";
  for (const auto* spans : {&s.data, &s.protected_})
    for (const layout_span& x : *spans)
      text += " [" + std::to_string(x.offset) + ", " + std::to_string(x.length) + "]";
  return text + " ecc [" + std::to_string(s.ecc.offset) + ", " + std::to_string(s.ecc.length) + "]";
}

TEST(PackedSearch, FindsPackedLayoutsExactly) {
  const packed_case cases[] = {
      {13, 5, 2048, 64, 512, 4, false, layout_mask::none, 0},
      {13, 7, 2048, 64, 512, 0, true, layout_mask::erased_ff, 0},
      {14, 9, 4096, 224, 1024, 8, false, layout_mask::erased_ff, 0},
      // A polynomial of the controller's own, found by the syndromes of first chunks.
      {13, 5, 2048, 64, 512, 2, true, layout_mask::none, 0x3F91},
  };
  for (const packed_case& c : cases) {
    const nand_layout want = truth(c);
    SCOPED_TRACE(testing::Message() << "m " << c.m << " t " << c.t << " chunk " << c.chunk
                                    << " meta " << c.meta << (c.lsb ? " lsb" : " msb"));
    const packed_finding r = find_packed_layout(
        pages_in(want, generator_of(c), 24, static_cast<unsigned>(c.t)),
        {static_cast<std::int32_t>(c.page), static_cast<std::int32_t>(c.spare), 64});
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.layout.code.m, c.m);
    EXPECT_EQ(r.layout.code.t, c.t);
    EXPECT_EQ(r.layout.code.lsb_first, c.lsb);
    EXPECT_EQ(r.layout.code.mask, c.mask);
    EXPECT_EQ(r.layout.code.primitive_polynomial, c.polynomial);
    ASSERT_EQ(r.layout.steps.size(), want.steps.size());
    for (std::size_t k = 0; k < want.steps.size(); ++k)
      EXPECT_EQ(step_text(r.layout.steps[k]), step_text(want.steps[k])) << "step " << k;
    EXPECT_EQ(r.count.usable, r.count.tried);
  }
}

TEST(PackedSearch, FindsNothingInRandomPages) {
  std::mt19937 gen(3);
  std::vector<std::vector<std::uint8_t>> pages(24, std::vector<std::uint8_t>(2112));
  for (auto& page : pages)
    for (auto& b : page)
      b = static_cast<std::uint8_t>(gen());
  const packed_finding r = find_packed_layout(pages, {2048, 64, 64});
  EXPECT_FALSE(r.found);
  EXPECT_GT(r.candidates, 1000);
}

}  // namespace
