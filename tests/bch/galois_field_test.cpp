// Tests of generate_gf: every degree 2 ... 20 against plain polynomial arithmetic modulo its
// primitive polynomial, the worked examples, and the exact verbose text.
#include "bch/bch.h"
#include "tests/bch/reference.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE, testing::internal::CaptureStderr

#include <vector>  // std::vector

namespace {

void build_field(int m, int verbose = 0) {
  mm = m;
  nn = (1 << m) - 1;
  tt = 1;
  Verbose = verbose;
  generate_gf();
}

TEST(GenerateGf, EveryDegreeGivesAPrimitiveFieldOfItsTabledPolynomial) {
  const int primitive[] = {0x7,     0xB,     0x13,    0x25,    0x43,    0x83,   0x171,
                           0x211,   0x409,   0x805,   0x1099,  0x25AF,  0x41D5, 0x8003,
                           0x1002D, 0x20009, 0x40081, 0x80063, 0x100009};
  for (int m = 2; m <= 20; ++m) {
    SCOPED_TRACE(testing::Message() << "m=" << m);
    build_field(m);
    int poly = 0;
    for (int i = 0; i <= m; ++i) {
      poly |= p[i] << i;
    }
    ASSERT_EQ(poly, primitive[m - 2]);
    // alpha^i by repeated multiplication with x modulo p(x); each power must appear once.
    std::vector<bool> seen(nn + 1, false);
    int power = 1;
    int faults = index_of[0] != -1;
    for (int i = 0; i < nn; ++i) {
      faults += alpha_to[i] != power || seen[power] || index_of[power] != i;
      seen[power] = true;
      power = (power << 1) >> m ? (power << 1) ^ poly : power << 1;
    }
    EXPECT_EQ(faults, 0);
    EXPECT_EQ(power, 1) << "alpha^n != 1";
  }
  // The worked example for m = 13 (that for m = 4 is the verbose text below).
  build_field(13);
  EXPECT_EQ(std::vector<int>(alpha_to + 12, alpha_to + 15), (std::vector<int>{4096, 1455, 2910}));
}

TEST(GenerateGf, VerboseTextIsExactAndSilentOtherwise) {
  alpha_to[15] = 0;  // as on a first construction: slot nn is never written
  testing::internal::CaptureStderr();
  build_field(4, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), bch_reference::kVerboseFieldM4);
  testing::internal::CaptureStderr();
  build_field(4);
  build_field(13);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
