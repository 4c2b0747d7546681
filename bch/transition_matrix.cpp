// Transition matrix of the shift register that divides by the generator polynomial, and its
// power for Parallel steps at once, computed column by column from powers of x modulo gg.
#include "bch/bch.h"
#include "bch/bch_internal.h"

#include <algorithm>  // std::copy, std::max
#include <cstdint>    // std::uint64_t

namespace {

constexpr int kWords = (kBchMatrixSize + 63) / 64;  // 64-bit words of a packed column

// Packed columns of T_G_R, column j = x^(j + power) mod gg with bit i = row i. Static storage,
// as for the matrices themselves: nothing is allocated while the matrix is formed.
std::uint64_t g_columns[kBchMatrixSize][kWords];

// v = x * v mod g for packed polynomials of degree below r; g holds gg[0 ... r-1].
void times_x_mod_g(std::uint64_t v[], const std::uint64_t g[], int r) {
  const int words = (r + 63) / 64;
  const std::uint64_t top = (v[(r - 1) / 64] >> ((r - 1) % 64)) & 1;
  for (int w = words - 1; w > 0; --w) {
    v[w] = (v[w] << 1) | (v[w - 1] >> 63);
  }
  v[0] <<= 1;
  if (r % 64 != 0) {
    v[r / 64] &= ~(std::uint64_t{1} << (r % 64));
  }
  // x^r = gg[0] + ... + gg[r-1] x^(r-1) over GF(2), since gg[r] = 1.
  if (top != 0) {
    for (int w = 0; w < words; ++w) {
      v[w] ^= g[w];
    }
  }
}

}  // namespace

void build_transition_matrix() {
  if (Parallel > rr) {
    Parallel = rr;
  }
  // One register step: every bit moves up one place, the top bit feeds back where gg has a 1.
  for (int i = 0; i < rr; ++i) {
    std::fill(T_G[i], T_G[i] + rr, 0);
  }
  for (int i = 1; i < rr; ++i) {
    T_G[i][i - 1] = 1;
  }
  for (int i = 0; i < rr; ++i) {
    T_G[i][rr - 1] = gg[i];
  }

  // T_G is multiplication by x modulo gg on the coefficient vector, so column j of T_G^P is
  // x^(j + P) mod gg: rr + P steps of O(rr / 64) instead of P - 1 matrix products. Powers
  // below 1 leave T_G_R = T_G.
  std::uint64_t g[kWords] = {};
  std::uint64_t v[kWords] = {};
  for (int i = 0; i < rr; ++i) {
    if (gg[i] != 0) {
      g[i / 64] |= std::uint64_t{1} << (i % 64);
    }
  }
  v[0] = 1;
  const int power = std::max(Parallel, 1);
  for (int s = 0; s < power; ++s) {
    times_x_mod_g(v, g, rr);
  }
  for (int j = 0; j < rr; ++j) {
    std::copy(v, v + kWords, g_columns[j]);
    times_x_mod_g(v, g, rr);
  }
  for (int i = 0; i < rr; ++i) {
    const int w = i / 64;
    const int b = i % 64;
    for (int j = 0; j < rr; ++j) {
      T_G_R[i][j] = static_cast<int>((g_columns[j][w] >> b) & 1);
    }
  }
  // The product loop would leave its last product in the scratch matrix.
  if (Parallel > 1) {
    for (int i = 0; i < rr; ++i) {
      std::copy(T_G_R[i], T_G_R[i] + rr, T_G_R_Temp[i]);
    }
  }
}
