// GF(2^m) arithmetic tables: the primitive polynomial of each supported degree, and the power
// and logarithm tables that the rest of the module multiplies with.
#include "bch/bch.h"

#include <cstddef>  // std::size_t
#include <cstdio>   // std::fprintf, std::fputs, std::fwrite, std::snprintf, stderr

namespace {

// Primitive polynomial of each degree, read as a binary number (bit i = coefficient of x^i).
// The entries for 13 and 14 are not the sparsest of their degree: they fix the field
// representation, and with it every table value and generator polynomial built on it.
constexpr int kPrimitive[kBchMaxDegree + 1] = {
    0,     0,      0x7,    0xB,    0x13,   0x25,    0x43,    0x83,    0x171,   0x211,   0x409,
    0x805, 0x1099, 0x25AF, 0x41D5, 0x8003, 0x1002D, 0x20009, 0x40081, 0x80063, 0x100009};

// Prints the table of nn + 1 rows. stderr is unbuffered, so rows are gathered into blocks;
// at mm = 20 that is a million rows, which one write each would make slow.
void print_tables() {
  char block[1 << 14];
  std::size_t used = 0;
  std::fprintf(stderr, "# Look-up tables for GF(2**%2d)\n", mm);
  std::fputs("  i   alpha_to[i]  index_of[i]\n", stderr);
  for (int i = 0; i <= nn; ++i) {
    if (sizeof block - used < 64) {
      std::fwrite(block, 1, used, stderr);
      used = 0;
    }
    const int written = std::snprintf(block + used, sizeof block - used,
                                      "%3d      %3d          %3d\n", i, alpha_to[i], index_of[i]);
    used += static_cast<std::size_t>(written);
  }
  std::fwrite(block, 1, used, stderr);
  std::fputs("\n", stderr);
}

}  // namespace

int bch_primitive_polynomial(int m) {
  return m >= kBchMinDegree && m <= kBchMaxDegree ? kPrimitive[m] : 0;
}

void generate_gf() {
  if (check_params() != nullptr) {
    return;
  }
  for (int i = 1; i < mm; ++i) {
    p[i] = 0;
  }
  p[0] = 1;
  p[mm] = 1;
  for (int i = 1; i < mm; ++i) {
    if ((kPrimitive[mm] >> i) & 1) {
      p[i] = 1;
    }
  }
  if (Verbose) {
    std::fprintf(stderr, "# The Galois field is GF(2**%d);\n\n", mm);
    std::fputs("# The primitive polynomial is: p(x) = ", stderr);
    for (int i = 0; i <= mm; ++i) {
      std::fprintf(stderr, " %d", p[i]);
    }
    std::fputs("\n\n", stderr);
  }

  // alpha^0 ... alpha^(mm-1) are the single bits; alpha^mm is p(x) without its top term.
  int mask = 1;
  alpha_to[mm] = 0;
  for (int i = 0; i < mm; ++i) {
    alpha_to[i] = mask;
    index_of[mask] = i;
    if (p[i] != 0) {
      alpha_to[mm] ^= mask;
    }
    mask <<= 1;
  }
  index_of[alpha_to[mm]] = mm;
  mask >>= 1;
  // Each further power is the previous one times x, reduced by p(x) when it reaches x^mm.
  for (int i = mm + 1; i < nn; ++i) {
    if (alpha_to[i - 1] >= mask) {
      alpha_to[i] = alpha_to[mm] ^ ((alpha_to[i - 1] ^ mask) << 1);
    } else {
      alpha_to[i] = alpha_to[i - 1] << 1;
    }
    index_of[alpha_to[i]] = i;
  }
  index_of[0] = -1;
  if (Verbose) {
    print_tables();
  }
}
