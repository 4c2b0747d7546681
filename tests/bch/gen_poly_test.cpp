// Tests of gen_poly's generator polynomial against PARI/GP's known answers for every degree
// 2 ... 20 and against the worked examples.
#include "bch/bch.h"
#include "tests/bch/reference.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE

#include <set>     // std::set
#include <vector>  // std::vector

namespace {

void build_code(int m, int t) {
  mm = m;
  nn = (1 << m) - 1;
  tt = t;
  Parallel = 1;
  Verbose = 0;
  generate_gf();
  gen_poly();
}

TEST(GenPoly, MatchesKnownAnswersForEveryDegree) {
  auto codes = bch_reference::known_codes(PAGOLINTH_KNOWN_CODES);
  std::set<int> degrees;
  for (const auto& code : codes) {
    degrees.insert(code.m);
  }
  EXPECT_EQ(degrees.size(), 19u) << "the known answers must cover m = 2 ... 20";
  // The worked examples, from the construction's own description.
  codes.insert(
      codes.end(),
      {{4, 1, 4, "13"}, {4, 2, 8, "1D1"}, {5, 3, 15, "8FAF"}, {13, 4, 52, "1000061B19E2E9"}});
  for (const auto& code : codes) {
    SCOPED_TRACE(testing::Message() << "m=" << code.m << " t=" << code.t);
    build_code(code.m, code.t);
    ASSERT_EQ(rr, code.r);
    EXPECT_EQ(kk, nn - code.r);
    EXPECT_EQ(std::vector<int>(gg, gg + rr + 1), bch_reference::hex_to_bits(code.hex, rr + 1));
  }
  build_code(13, 8);
  EXPECT_TRUE(rr == 104 && kk == 8087) << "m=13 t=8";
}

}  // namespace
