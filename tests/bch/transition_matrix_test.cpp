// Tests of the matrix stage of gen_poly: the worked examples, and the fast power against the
// plain product for many codes and powers, with the storage outside the rr x rr corners intact.
#include "bch/bch.h"
#include "tests/bch/reference.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE

#include <algorithm>  // std::fill, std::min
#include <vector>     // std::vector

namespace {

using bch_reference::Matrix;
using Storage = int[kBchMatrixSize][kBchMatrixSize];

constexpr int kMark = 5;  // fills the matrices before a build, to find stray writes

void build(int m, int t, int parallel) {
  mm = m;
  nn = (1 << m) - 1;
  tt = t;
  Parallel = parallel;
  Verbose = 0;
  for (auto* matrix : {T_G, T_G_R, T_G_R_Temp}) {
    std::fill(&matrix[0][0], &matrix[0][0] + kBchMatrixSize * kBchMatrixSize, kMark);
  }
  generate_gf();
  gen_poly();
}

Matrix corner(const Storage& matrix) {
  Matrix out;
  for (int i = 0; i < rr; ++i) {
    out.insert(out.end(), matrix[i], matrix[i] + rr);
  }
  return out;
}

// Entries outside the corner that differ from kMark.
int stray_writes(const Storage& matrix) {
  int count = 0;
  for (int i = 0; i < kBchMatrixSize; ++i) {
    for (int j = i < rr ? rr : 0; j < kBchMatrixSize; ++j) {
      count += matrix[i][j] != kMark;
    }
  }
  return count;
}

TEST(TransitionMatrix, WorkedExamplesForM4T1) {
  const Matrix step = {0, 0, 0, 1, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0};
  build(4, 1, 8);
  EXPECT_EQ(Parallel, 4);
  EXPECT_EQ(corner(T_G), step);
  EXPECT_EQ(corner(T_G_R), (Matrix{1, 0, 0, 1, 1, 1, 0, 1, 0, 1, 1, 0, 0, 0, 1, 1}));
  build(4, 1, 2);
  EXPECT_EQ(corner(T_G_R), (Matrix{0, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0, 1, 0, 1, 0, 0}));
  for (int parallel : {1, 0, -3}) {
    build(4, 1, parallel);
    EXPECT_EQ(Parallel, parallel);
    EXPECT_EQ(corner(T_G_R), step) << "P=" << parallel;
  }
}

TEST(TransitionMatrix, FastPowerEqualsPlainProduct) {
  const int codes[][3] = {{2, 1, 2},  {3, 3, 6},  {4, 2, 8},   {5, 3, 15},   {6, 2, 12},
                          {7, 3, 21}, {8, 5, 40}, {13, 4, 52}, {13, 8, 104}, {17, 1, 17}};
  for (const auto& code : codes) {
    const int r = code[2];
    for (int parallel : {0, 1, 2, 3, 8, r - 1, r, r + 1, -7}) {
      SCOPED_TRACE(testing::Message() << "m=" << code[0] << " t=" << code[1] << " P=" << parallel);
      build(code[0], code[1], parallel);
      ASSERT_EQ(rr, r);
      const Matrix step = bch_reference::one_step(std::vector<int>(gg, gg + r), r);
      const Matrix expected = bch_reference::power(step, r, std::min(parallel, r));
      EXPECT_EQ(Parallel, std::min(parallel, r));
      EXPECT_EQ(corner(T_G), step);
      EXPECT_EQ(corner(T_G_R), expected);
      // The scratch ends as the last product, or untouched when no product is formed.
      EXPECT_EQ(corner(T_G_R_Temp), parallel > 1 ? expected : Matrix(r * r, kMark));
      EXPECT_EQ(stray_writes(T_G) + stray_writes(T_G_R) + stray_writes(T_G_R_Temp), 0);
    }
  }
}

}  // namespace
