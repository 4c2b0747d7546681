// Polynomial arithmetic over GF(2) on 64-bit words, and the small-field work that names a BCH
// code from its generator: primitivity, minimal polynomials, roots in a row.
#include "detect/gf2_poly.h"

#include <algorithm>  // std::max, std::min, std::swap
#include <cstdio>     // std::snprintf

namespace {

int top_bit(std::uint64_t v) {
  return 63 - __builtin_clzll(v);
}

// Degree of `a`, looking no higher than word `from`.
int degree_below(const gf2_poly& a, std::size_t from) {
  for (std::size_t i = std::min(from + 1, a.size()); i-- > 0;) {
    if (a[i] != 0)
      return static_cast<int>(64 * i) + top_bit(a[i]);
  }
  return -1;
}

// a ^= b * x^shift, where b has degree db >= 0 and a holds word (db + shift) / 64.
void xor_shifted(gf2_poly& a, const gf2_poly& b, int db, int shift) {
  const std::size_t ws = static_cast<std::size_t>(shift) / 64;
  const int bs = shift % 64;
  const std::size_t top = static_cast<std::size_t>(db) / 64;
  std::uint64_t* out = a.data() + ws;
  const std::uint64_t* in = b.data();
  if (bs == 0) {
    for (std::size_t i = 0; i <= top; ++i)
      out[i] ^= in[i];
    return;
  }
  // Word i of the shifted b is b[i] << bs joined with the high bits of b[i - 1].
  out[0] ^= in[0] << bs;
  for (std::size_t i = 1; i <= top; ++i)
    out[i] ^= (in[i] << bs) | (in[i - 1] >> (64 - bs));
  if (static_cast<std::size_t>(db + shift) / 64 > top + ws)
    out[top + 1] ^= in[top] >> (64 - bs);
}

std::uint64_t mulmod_small(std::uint64_t a, std::uint64_t b, std::uint64_t p, int m) {
  std::uint64_t product = 0;
  for (int i = 0; i < m; ++i) {
    if ((b >> i) & 1)
      product ^= a << i;
  }
  for (int i = 2 * m - 2; i >= m; --i) {
    if ((product >> i) & 1)
      product ^= p << (i - m);
  }
  return product;
}

std::uint64_t powmod_small(std::uint64_t e, std::uint64_t p, int m) {
  std::uint64_t result = 1, base = 2;  // x, as m >= 2
  while (e > 0) {
    if (e & 1)
      result = mulmod_small(result, base, p, m);
    base = mulmod_small(base, base, p, m);
    e >>= 1;
  }
  return result;
}

// The field GF(2^m) on a primitive p: powers of alpha and their logarithms.
struct small_field {
  int m = 0;
  int n = 0;
  std::vector<int> exp, log;
  bool build(int degree, std::uint32_t p) {
    if (degree < 2 || degree > 20 || !poly_is_primitive(p, degree))
      return false;
    m = degree;
    n = (1 << m) - 1;
    exp.assign(static_cast<std::size_t>(n), 0);
    log.assign(static_cast<std::size_t>(n) + 1, -1);
    int x = 1;
    for (int i = 0; i < n; ++i) {
      exp[i] = x;
      log[x] = i;
      x <<= 1;
      if (x >> m)
        x ^= static_cast<int>(p);
    }
    return true;
  }
  int mul(int a, int b) const {
    if (a == 0 || b == 0)
      return 0;
    return exp[(log[a] + log[b]) % n];
  }
};

// g evaluated at alpha^i.
int evaluate(const gf2_poly& g, int dg, const small_field& f, int i) {
  const int beta = f.exp[static_cast<std::size_t>(i % f.n)];
  int acc = 0;
  for (int k = dg; k >= 0; --k) {
    acc = f.mul(acc, beta) ^ static_cast<int>((g[k / 64] >> (k % 64)) & 1);
  }
  return acc;
}

}  // namespace

int poly_degree(const gf2_poly& a) {
  return a.empty() ? -1 : degree_below(a, a.size() - 1);
}

int poly_trailing_zeros(const gf2_poly& a) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != 0)
      return static_cast<int>(64 * i) + __builtin_ctzll(a[i]);
  }
  return -1;
}

void poly_shift_right(gf2_poly& a, int bits) {
  const std::size_t ws = static_cast<std::size_t>(bits) / 64;
  const int bs = bits % 64;
  if (ws >= a.size()) {
    a.clear();
    return;
  }
  const std::size_t n = a.size() - ws;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t v = a[i + ws] >> bs;
    if (bs != 0 && i + ws + 1 < a.size())
      v |= a[i + ws + 1] << (64 - bs);
    a[i] = v;
  }
  a.resize(n);
}

gf2_poly poly_shift_left(const gf2_poly& a, int bits) {
  const int d = poly_degree(a);
  if (d < 0)
    return {};
  gf2_poly out(static_cast<std::size_t>(d + bits) / 64 + 1, 0);
  xor_shifted(out, a, d, bits);
  return out;
}

gf2_poly poly_from_bytes(const std::uint8_t* bytes, std::size_t count, bool lsb_first) {
  gf2_poly out((count + 7) / 8, 0);
  // Byte q of the string holds coefficients 8 (count - 1 - q) ... + 7, its first bit highest.
  for (std::size_t q = 0; q < count; ++q) {
    std::uint64_t b = bytes[q];
    if (lsb_first) {
      b = ((b & 0xF0) >> 4) | ((b & 0x0F) << 4);
      b = ((b & 0xCC) >> 2) | ((b & 0x33) << 2);
      b = ((b & 0xAA) >> 1) | ((b & 0x55) << 1);
    }
    const std::size_t at = count - 1 - q;
    out[at / 8] |= b << (8 * (at % 8));
  }
  return out;
}

void poly_truncate(gf2_poly& a, int bits) {
  const std::size_t words = (static_cast<std::size_t>(bits) + 63) / 64;
  if (a.size() > words)
    a.resize(words);
  if (bits % 64 != 0 && a.size() == words && words > 0)
    a[words - 1] &= (std::uint64_t{1} << (bits % 64)) - 1;
}

void poly_add(gf2_poly& a, const gf2_poly& b) {
  if (a.size() < b.size())
    a.resize(b.size(), 0);
  for (std::size_t i = 0; i < b.size(); ++i)
    a[i] ^= b[i];
}

gf2_poly poly_mod(gf2_poly a, const gf2_poly& b) {
  const int db = poly_degree(b);
  if (db < 0)
    return a;
  int da = poly_degree(a);
  while (da >= db) {
    xor_shifted(a, b, db, da - db);
    da = degree_below(a, static_cast<std::size_t>(da) / 64);
  }
  a.resize(static_cast<std::size_t>(std::max(da, 0)) / 64 + 1);
  return a;
}

gf2_poly poly_mul(const gf2_poly& a, const gf2_poly& b) {
  const int da = poly_degree(a), db = poly_degree(b);
  if (da < 0 || db < 0)
    return {};
  gf2_poly out(static_cast<std::size_t>(da + db) / 64 + 1, 0);
  for (int i = 0; i <= db; ++i) {
    if ((b[i / 64] >> (i % 64)) & 1)
      xor_shifted(out, a, da, i);
  }
  return out;
}

gf2_poly poly_gcd(gf2_poly a, gf2_poly b) {
  int da = poly_degree(a), db = poly_degree(b);
  if (da < db) {
    std::swap(a, b);
    std::swap(da, db);
  }
  while (db >= 0) {
    // a mod b, in place.
    while (da >= db) {
      xor_shifted(a, b, db, da - db);
      da = degree_below(a, static_cast<std::size_t>(da) / 64);
    }
    std::swap(a, b);
    std::swap(da, db);
  }
  a.resize(da < 0 ? 0 : static_cast<std::size_t>(da) / 64 + 1);
  return a;
}

bool poly_divides(const gf2_poly& d, const gf2_poly& a) {
  if (poly_degree(d) < 0)
    return poly_degree(a) < 0;
  return poly_degree(poly_mod(a, d)) < 0;
}

std::uint32_t poly_mod_small(const gf2_poly& a, std::uint32_t p, int m) {
  std::uint64_t rem = 0;
  for (int k = poly_degree(a); k >= 0; --k) {
    rem = (rem << 1) | ((a[k / 64] >> (k % 64)) & 1);
    if ((rem >> m) & 1)
      rem ^= p;
  }
  return static_cast<std::uint32_t>(rem);
}

std::uint64_t poly_low_word(const gf2_poly& a) {
  return a.empty() ? 0 : a[0];
}

std::string poly_hex(const gf2_poly& a) {
  const int d = poly_degree(a);
  if (d < 0)
    return "0";
  std::string out;
  for (int digit = d / 4; digit >= 0; --digit) {
    const int nibble = static_cast<int>((a[digit / 16] >> (4 * (digit % 16))) & 0xF);
    out += "0123456789ABCDEF"[nibble];
  }
  return out;
}

bool poly_is_primitive(std::uint32_t p, int m) {
  if (m < 2 || m > 20 || (p >> m) != 1 || (p & 1) == 0)
    return false;
  const std::uint64_t n = (std::uint64_t{1} << m) - 1;
  if (powmod_small(n, p, m) != 1)
    return false;
  std::uint64_t rest = n;
  for (std::uint64_t q = 2; q * q <= rest; ++q) {
    if (rest % q != 0)
      continue;
    while (rest % q == 0)
      rest /= q;
    if (powmod_small(n / q, p, m) == 1)
      return false;
  }
  return rest == 1 || powmod_small(n / rest, p, m) != 1;
}

gf2_poly bch_generator(int m, std::uint32_t p, int t) {
  small_field f;
  if (!f.build(m, p) || t < 1 || 2 * t >= f.n)
    return {};
  gf2_poly g = {1};
  std::vector<char> used(static_cast<std::size_t>(f.n), 0);
  for (int i = 1; i <= 2 * t; ++i) {
    if (used[i])
      continue;
    // The minimal polynomial of alpha^i: the product of x + its conjugates.
    std::vector<int> coef = {1};  // coefficients in the field, lowest first
    for (int c = i; !used[c]; c = (2 * c) % f.n) {
      used[c] = 1;
      const int root = f.exp[c];
      std::vector<int> next(coef.size() + 1, 0);
      for (std::size_t k = 0; k < coef.size(); ++k) {
        next[k + 1] ^= coef[k];
        next[k] ^= f.mul(coef[k], root);
      }
      coef = next;
    }
    gf2_poly minimal((coef.size() + 63) / 64, 0);
    for (std::size_t k = 0; k < coef.size(); ++k) {
      if (coef[k] != 0)
        minimal[k / 64] |= std::uint64_t{1} << (k % 64);
    }
    g = poly_mul(g, minimal);
  }
  return g;
}

int consecutive_roots(const gf2_poly& g, int m, std::uint32_t p) {
  small_field f;
  const int dg = poly_degree(g);
  if (!f.build(m, p) || dg < 1)
    return 0;
  int run = 0;
  while (run + 1 < f.n && evaluate(g, dg, f, run + 1) == 0)
    ++run;
  return run;
}
