// Hex output of bit vectors in two digit orders, and conversion between hex digit characters
// and their values.
#include "bch/bch.h"

#include <cstdio>  // std::FILE, std::fputc

namespace {

// Number of hex digits for n bits, ceil(n / 4); 0 for n <= 0. Integer form of the rounding up,
// free of overflow near the top of the int range.
int digit_count(int n) {
  return n <= 0 ? 0 : n / 4 + (n % 4 != 0 ? 1 : 0);
}

// Weighs four elements with the given bit weights. Unsigned so that elements outside 0 and 1
// wrap instead of overflowing; for 0 and 1 the value is the plain sum.
int weigh(const int v[], unsigned w0, unsigned w1, unsigned w2, unsigned w3) {
  return static_cast<int>(w0 * static_cast<unsigned>(v[0]) + w1 * static_cast<unsigned>(v[1]) +
                          w2 * static_cast<unsigned>(v[2]) + w3 * static_cast<unsigned>(v[3]));
}

}  // namespace

void print_hex(int n, const int v[], std::FILE* stream) {
  for (int g = digit_count(n) - 1; g >= 0; --g) {
    std::fputc(' ', stream);
    std::fputc(inttohex(weigh(v + 4 * g, 1, 2, 4, 8)), stream);
  }
}

void print_hex_low(int n, const int v[], std::FILE* stream) {
  const int digits = digit_count(n);
  for (int g = 0; g < digits; ++g) {
    std::fputc(inttohex(weigh(v + 4 * g, 8, 4, 2, 1)), stream);
  }
}

int hextoint(int c) {
  const signed char ch = static_cast<signed char>(c);
  if (ch >= 'a' && ch <= 'f') {
    return ch - 'a' + 10;
  }
  if (ch >= 'A' && ch <= 'F') {
    return ch - 'A' + 10;
  }
  if (ch >= '0' && ch <= '9') {
    return ch - '0';
  }
  return -1;
}

char inttohex(int value) {
  // Unsigned so that out-of-range values wrap instead of overflowing.
  const unsigned u = static_cast<unsigned>(value);
  return static_cast<char>(value <= 9 ? '0' + u : 'A' + (u - 10u));
}
