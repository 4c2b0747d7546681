// The engine's own field and generator polynomial: any primitive polynomial of degree m is
// checked (degree, irreducibility, order of x), GF(2^m) is tabled on it, and g is multiplied
// out from the minimal polynomials of the odd powers of alpha. Nothing here touches shared
// state, so codes may be built from several threads at once.
#include "codec/codec_internal.h"  // bch_code_tables, kCodecMaxParity

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint32_t, std::uint64_t
#include <cstdio>   // std::snprintf
#include <string>   // std::string
#include <vector>   // std::vector

namespace {

// Degree of a binary polynomial (bit i = coefficient of x^i), -1 for zero.
int poly_degree(std::uint64_t a) {
  int d = -1;
  while (a != 0) {
    a >>= 1;
    ++d;
  }
  return d;
}

// a * b mod p over GF(2), a and b of degree below m = deg p <= 20.
std::uint32_t mul_mod(std::uint32_t a, std::uint32_t b, std::uint32_t p, int m) {
  std::uint32_t r = 0;
  for (int i = m - 1; i >= 0; --i) {
    r <<= 1;
    if ((r >> m) & 1) {
      r ^= p;
    }
    if ((b >> i) & 1) {
      r ^= a;
    }
  }
  return r;
}

std::uint32_t gcd(std::uint32_t a, std::uint32_t b) {
  while (b != 0) {
    const int db = poly_degree(b);
    for (int d = poly_degree(a); d >= db; d = poly_degree(a)) {
      a ^= b << (d - db);
    }
    const std::uint32_t r = a;
    a = b;
    b = r;
  }
  return a;
}

// Rabin: p of degree m is irreducible exactly when x^(2^m) = x mod p and, for each prime q
// dividing m, x^(2^(m/q)) - x is prime to p.
bool irreducible(std::uint32_t p, int m) {
  std::vector<std::uint32_t> frobenius(static_cast<std::size_t>(m) + 1);  // x^(2^i) mod p
  frobenius[0] = 2;
  for (int i = 1; i <= m; ++i) {
    frobenius[i] = mul_mod(frobenius[i - 1], frobenius[i - 1], p, m);
  }
  if (frobenius[m] != 2) {
    return false;
  }
  for (int q = 2; q <= m; ++q) {
    bool prime = true;
    for (int f = 2; f * f <= q; ++f) {
      prime = prime && q % f != 0;
    }
    if (prime && m % q == 0 && gcd(p, frobenius[m / q] ^ 2) != 1) {
      return false;
    }
  }
  return true;
}

// Order of x modulo an irreducible p of degree m: the least i >= 1 with x^i = 1.
int order_of_x(std::uint32_t p, int m) {
  const std::uint32_t top = std::uint32_t{1} << m;
  std::uint32_t v = 1;
  for (int i = 1;; ++i) {
    v <<= 1;
    if (v & top) {
      v ^= p;
    }
    if (v == 1) {
      return i;
    }
  }
}

}  // namespace

std::string bch_check_polynomial(int m, std::uint32_t polynomial) {
  char message[160];
  const int degree = poly_degree(polynomial);
  if (degree != m) {
    std::snprintf(message, sizeof message, "primitive polynomial 0x%X has degree %d, not m = %d",
                  polynomial, degree, m);
    return message;
  }
  if (!irreducible(polynomial, m)) {
    std::snprintf(message, sizeof message,
                  "primitive polynomial 0x%X is not primitive: it is reducible", polynomial);
    return message;
  }
  const int n = (1 << m) - 1;
  const int order = order_of_x(polynomial, m);
  if (order != n) {
    std::snprintf(message, sizeof message,
                  "primitive polynomial 0x%X is not primitive: x has order %d, not 2^%d - 1 = %d",
                  polynomial, order, m, n);
    return message;
  }
  return {};
}

int bch_generator_degree(int m, int t, int limit) {
  const int n = (1 << m) - 1;
  int r = 0;
  for (int i = 1; i <= 2 * t - 1; i += 2) {
    // Every class has an odd least member (halving an even one stays in the class), so i
    // opens a new class exactly when no smaller member exists.
    bool least = true;
    int size = 0;
    int e = i;
    do {
      if (e < i) {
        least = false;
        break;
      }
      ++size;
      e = 2 * e % n;
    } while (e != i);
    if (least) {
      r += size;
      if (r > limit) {
        return limit + 1;
      }
    }
  }
  return r;
}

void bch_build_field(bch_code_tables& tb, std::uint32_t polynomial) {
  const auto n = static_cast<std::size_t>(tb.n);
  tb.exp.assign(4 * n + 1, 0);
  tb.log.assign(n + 1, 0);
  const std::uint32_t top = std::uint32_t{1} << tb.m;
  std::uint32_t v = 1;
  for (std::size_t i = 0; i < n; ++i) {
    tb.exp[i] = static_cast<int>(v);
    tb.exp[i + n] = static_cast<int>(v);
    tb.log[v] = static_cast<int>(i);
    v <<= 1;
    if (v & top) {
      v ^= polynomial;
    }
  }
  tb.log[0] = static_cast<int>(2 * n);
}

std::vector<int> bch_build_generator(const bch_code_tables& tb) {
  const int n = tb.n;
  std::vector<int> g{1};  // over GF(2), bit i of the product = g[i]
  std::vector<int> minimal;
  for (int i = 1; i <= 2 * tb.t - 1; i += 2) {
    bool least = true;
    std::vector<int> members;
    int e = i;
    do {
      if (e < i) {
        least = false;
        break;
      }
      members.push_back(e);
      e = 2 * e % n;
    } while (e != i);
    if (!least) {
      continue;
    }
    // The minimal polynomial of alpha^i: the product of (x - alpha^e) over its class, whose
    // coefficients are fixed by squaring and so lie in GF(2).
    minimal.assign(1, 1);
    for (int member : members) {
      // Times (x + alpha^member), from the top so that each coefficient is read before it is
      // overwritten; a zero has no logarithm to add to.
      auto times = [&](int a) { return a == 0 ? 0 : tb.exp[tb.log[a] + member]; };
      minimal.push_back(0);
      for (std::size_t k = minimal.size() - 1; k > 0; --k) {
        minimal[k] = minimal[k - 1] ^ times(minimal[k]);
      }
      minimal[0] = times(minimal[0]);
    }
    std::vector<int> product(g.size() + minimal.size() - 1, 0);
    for (std::size_t a = 0; a < g.size(); ++a) {
      if (g[a] == 0) {
        continue;
      }
      for (std::size_t b = 0; b < minimal.size(); ++b) {
        if (minimal[b] > 1) {
          return {};
        }
        product[a + b] ^= minimal[b];
      }
    }
    g.swap(product);
  }
  return g;
}
