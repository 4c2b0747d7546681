// Reference material for the BCH tests and benchmark, independent of bch/: the plain matrix
// product over GF(2), the known generator polynomials made by PARI/GP, and the exact verbose
// text for the field GF(2^4) and its one-error code.
#ifndef PAGOLINTH_TESTS_BCH_REFERENCE_H_
#define PAGOLINTH_TESTS_BCH_REFERENCE_H_

#include <cstddef>  // std::size_t
#include <fstream>  // std::ifstream
#include <sstream>  // std::istringstream
#include <string>   // std::string, std::getline
#include <vector>   // std::vector

namespace bch_reference {

using Matrix = std::vector<int>;  // r x r over GF(2), row by row

// The one-step register matrix built from g[0 ... r-1]: ones below the diagonal, g in the last
// column.
inline Matrix one_step(const std::vector<int>& g, int r) {
  Matrix m(static_cast<std::size_t>(r) * r, 0);
  for (int i = 0; i < r; ++i) {
    if (i > 0) {
      m[i * r + i - 1] = 1;
    }
    m[i * r + r - 1] = g[i];
  }
  return m;
}

// out = a * b over GF(2) by the plain triple loop.
inline void product(const Matrix& a, const Matrix& b, int r, Matrix* out) {
  for (int i = 0; i < r; ++i) {
    for (int j = 0; j < r; ++j) {
      int sum = 0;
      for (int l = 0; l < r; ++l) {
        sum ^= a[i * r + l] * b[l * r + j];
      }
      (*out)[i * r + j] = sum;
    }
  }
}

// step^power by power - 1 plain products; step itself for power <= 1.
inline Matrix power(const Matrix& step, int r, int exponent) {
  Matrix result = step;
  Matrix next(result.size());
  for (int s = 1; s < exponent; ++s) {
    product(result, step, r, &next);
    result.swap(next);
  }
  return result;
}

// One line of tests/bch/generator_polynomials.txt.
struct KnownCode {
  int m = 0;
  int t = 0;
  int r = 0;
  std::string hex;  // g(x) as a hex number, bit i = coefficient of x^i
};

// Reads the known-answer file; empty when it cannot be read.
inline std::vector<KnownCode> known_codes(const char* path) {
  std::vector<KnownCode> codes;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    KnownCode code;
    std::istringstream fields(line);
    if (line.empty() || line[0] == '#' || !(fields >> code.m >> code.t >> code.r >> code.hex)) {
      continue;
    }
    codes.push_back(code);
  }
  return codes;
}

// Coefficients of a hex number, element i = bit i, padded with zeros to `count` elements.
inline std::vector<int> hex_to_bits(const std::string& hex, int count) {
  std::vector<int> bits(static_cast<std::size_t>(count), 0);
  for (std::size_t k = 0; k < hex.size(); ++k) {
    const int value = std::stoi(hex.substr(hex.size() - 1 - k, 1), nullptr, 16);
    for (int b = 0; b < 4 && static_cast<int>(4 * k) + b < count; ++b) {
      bits[4 * k + b] = (value >> b) & 1;
    }
  }
  return bits;
}

// Verbose text of generate_gf for m = 4 on a first construction, from the field's worked example.
inline const char kVerboseFieldM4[] =
    "# The Galois field is GF(2**4);\n\n"
    "# The primitive polynomial is: p(x) =  1 1 0 0 1\n\n"
    "# Look-up tables for GF(2** 4)\n"
    "  i   alpha_to[i]  index_of[i]\n"
    "  0        1           -1\n"
    "  1        2            0\n"
    "  2        4            1\n"
    "  3        8            4\n"
    "  4        3            2\n"
    "  5        6            8\n"
    "  6       12            5\n"
    "  7       11           10\n"
    "  8        5            3\n"
    "  9       10           14\n"
    " 10        7            9\n"
    " 11       14            7\n"
    " 12       15            6\n"
    " 13       13           13\n"
    " 14        9           11\n"
    " 15        0           12\n"
    "\n";

// Verbose text of gen_poly for m = 4, t = 1: g(x) = x^4 + x + 1.
inline const char kVerboseGeneratorM4T1[] = "# The Generator Polynomial is:\n 1 1 0 0 1\n\n";

}  // namespace bch_reference

#endif  // PAGOLINTH_TESTS_BCH_REFERENCE_H_
