// Tests of the parameter check: every limit accepted at its edge and refused past it, with the
// refused state left untouched by generate_gf and gen_poly.
#include "bch/bch.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE, testing::internal::CaptureStderr

#include <algorithm>  // std::count, std::fill
#include <climits>    // INT_MAX, INT_MIN
#include <cstring>    // std::strchr, std::strstr

namespace {

int length(int m) {
  return m >= 0 && m < 31 ? (1 << m) - 1 : 0;
}

TEST(CheckParams, AcceptsEveryLimitAtItsEdgeAndRefusesPastItTouchingNothing) {
  struct Case {
    int m, n, t;
    const char* fault;  // part of the expected message; nullptr: accepted
  };
  const Case cases[] = {{2, 3, 1, nullptr},
                        {3, 7, 3, nullptr},
                        {20, length(20), 1, nullptr},
                        {15, 32767, 66, nullptr},       // rr = 990
                        {20, length(20), 49, nullptr},  // rr = 980
                        {1, 1, 1, "field degree"},
                        {21, length(21), 1, "field degree"},
                        {INT_MIN, 0, 1, "field degree"},
                        {4, 16, 1, "code length"},
                        {13, 8192, 4, "code length"},
                        {13, 8191, 0, "below 1"},
                        {4, 15, INT_MIN, "below 1"},
                        {2, 3, 2, "2t < n"},
                        {4, 15, 8, "2t < n"},
                        {20, length(20), INT_MAX, "2t < n"},
                        {15, 32767, 67, "parity bits"},
                        {20, length(20), 50, "parity bits"}};
  const int kMark = 7;
  int* const tables[] = {p, alpha_to, index_of, gg, &T_G[0][0], &T_G_R[0][0], &T_G_R_Temp[0][0]};
  const int kSquare = kBchMatrixSize * kBchMatrixSize;
  const int sizes[] = {kBchMaxDegree + 1, kBchFieldSize, kBchFieldSize, kBchMatrixSize,
                       kSquare,           kSquare,       kSquare};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "m=" << c.m << " n=" << c.n << " t=" << c.t);
    mm = c.m;
    nn = c.n;
    tt = c.t;
    const char* message = check_params();
    if (c.fault == nullptr) {
      EXPECT_EQ(message, nullptr) << message;
      continue;
    }
    ASSERT_NE(message, nullptr);
    EXPECT_NE(std::strstr(message, c.fault), nullptr) << message;
    EXPECT_EQ(std::strchr(message, '\n'), nullptr) << message;

    rr = kk = Parallel = kMark;
    Verbose = 1;
    for (int k = 0; k < 7; ++k) {
      std::fill(tables[k], tables[k] + sizes[k], kMark);
    }
    testing::internal::CaptureStderr();
    generate_gf();
    gen_poly();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(mm == c.m && nn == c.n && tt == c.t && rr == kMark && kk == kMark &&
                Parallel == kMark);
    for (int k = 0; k < 7; ++k) {
      EXPECT_EQ(std::count(tables[k], tables[k] + sizes[k], kMark), sizes[k]) << "table " << k;
    }
  }
}

}  // namespace
