// Polynomial arithmetic over GF(2) on 64-bit words, and the small-field work that names a BCH
// code from its generator: primitivity, minimal polynomials, roots in a row.
#include "detect/gf2_poly.h"

#include <algorithm>  // std::max, std::min, std::swap

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>  // _mm_clmulepi64_si128
#define PAGOLINTH_DETECT_CLMUL 1
#define DETECT_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))
#else
#define PAGOLINTH_DETECT_CLMUL 0
#endif

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

namespace {

// Euclid's algorithm one shifted XOR at a time.
gf2_poly gcd_plain(gf2_poly a, gf2_poly b) {
  int da = poly_degree(a), db = poly_degree(b);
  if (da < db) {
    std::swap(a, b);
    std::swap(da, db);
  }
  while (db >= 0) {
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

#if PAGOLINTH_DETECT_CLMUL

using u128 = unsigned __int128;

// 128 bits of `a` from coefficient `from` >= 0 up.
u128 bits_at(const gf2_poly& a, int from) {
  const std::size_t w = static_cast<std::size_t>(from) / 64;
  const int b = from % 64;
  const auto word = [&a](std::size_t i) { return i < a.size() ? a[i] : std::uint64_t{0}; };
  u128 v = (static_cast<u128>(word(w + 1)) << 64) | word(w);
  if (b != 0)
    v = (v >> b) | (static_cast<u128>(word(w + 2)) << (128 - b));
  return v;
}

// out ^= x * m + y * n over the first `words` words of x and y (both at least that long);
// out holds words + 1.
DETECT_CLMUL_TARGET void mul_add2(std::uint64_t* out, const std::uint64_t* x, std::uint64_t m,
                                  const std::uint64_t* y, std::uint64_t n, std::size_t words) {
  const __m128i mn = _mm_set_epi64x(static_cast<long long>(n), static_cast<long long>(m));
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < words; ++i) {
    const __m128i xy = _mm_set_epi64x(static_cast<long long>(y[i]), static_cast<long long>(x[i]));
    const __m128i p =
        _mm_xor_si128(_mm_clmulepi64_si128(xy, mn, 0x00), _mm_clmulepi64_si128(xy, mn, 0x11));
    out[i] ^= static_cast<std::uint64_t>(_mm_cvtsi128_si64(p)) ^ carry;
    carry = static_cast<std::uint64_t>(_mm_extract_epi64(p, 1));
  }
  out[words] ^= carry;
}

int degree64(std::uint64_t v) {
  return v == 0 ? -1 : 63 - __builtin_clzll(v);
}

int degree128(u128 v) {
  const auto high = static_cast<std::uint64_t>(v >> 64);
  return high != 0 ? 64 + degree64(high) : degree64(static_cast<std::uint64_t>(v));
}

// Lehmer's scheme: the steps Euclid would take are worked out on the top 128 bits of both
// polynomials, for as long as those bits decide them, collected in a 2 x 2 matrix of
// polynomials below degree 64, and applied to the whole polynomials at once by carry-less
// multiplication: one pass over the words for some 60 steps.
gf2_poly gcd_lehmer(gf2_poly a, gf2_poly b) {
  int da = poly_degree(a), db = poly_degree(b);
  gf2_poly na, nb;
  for (;;) {
    if (da < db) {
      std::swap(a, b);
      std::swap(da, db);
    }
    if (db < 0)
      break;
    if (da < 256 || da - db >= 64) {
      // Short or far apart: plain steps.
      xor_shifted(a, b, db, da - db);
      da = degree_below(a, static_cast<std::size_t>(da) / 64);
      continue;
    }
    const int base = da - 127;
    u128 x = bits_at(a, base), y = bits_at(b, base);
    // Rows: x = m11 a + m12 b, y = m21 a + m22 b (window parts); exact from bit ex, ey up.
    std::uint64_t m11 = 1, m12 = 0, m21 = 0, m22 = 1;
    int ex = 0, ey = 0, steps = 0;
    for (;;) {
      const int dx = degree128(x), dy = degree128(y);
      if (dx < ex || dy < ey)
        break;
      if (dx >= dy) {
        const int s = dx - dy;
        if (degree64(m21) + s > 63 || degree64(m22) + s > 63)
          break;
        x ^= y << s;
        m11 ^= m21 << s;
        m12 ^= m22 << s;
        ex = std::max(ex, ey + s);
      } else {
        const int s = dy - dx;
        if (degree64(m11) + s > 63 || degree64(m12) + s > 63)
          break;
        y ^= x << s;
        m21 ^= m11 << s;
        m22 ^= m12 << s;
        ey = std::max(ey, ex + s);
      }
      ++steps;
    }
    if (steps == 0) {
      xor_shifted(a, b, db, da - db);
      da = degree_below(a, static_cast<std::size_t>(da) / 64);
      continue;
    }
    const std::size_t words = std::max(a.size(), b.size());
    a.resize(words, 0);
    b.resize(words, 0);
    na.assign(words + 1, 0);
    nb.assign(words + 1, 0);
    mul_add2(na.data(), a.data(), m11, b.data(), m12, words);
    mul_add2(nb.data(), a.data(), m21, b.data(), m22, words);
    a.swap(na);
    b.swap(nb);
    da = poly_degree(a);
    db = poly_degree(b);
    a.resize(static_cast<std::size_t>(std::max(da, 0)) / 64 + 1);
    b.resize(static_cast<std::size_t>(std::max(db, 0)) / 64 + 1);
  }
  a.resize(da < 0 ? 0 : static_cast<std::size_t>(da) / 64 + 1);
  return a;
}

bool have_clmul() {
  static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return have;
}

#endif

}  // namespace

gf2_poly poly_gcd(gf2_poly a, gf2_poly b) {
#if PAGOLINTH_DETECT_CLMUL
  if (have_clmul())
    return gcd_lehmer(std::move(a), std::move(b));
#endif
  return gcd_plain(std::move(a), std::move(b));
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
