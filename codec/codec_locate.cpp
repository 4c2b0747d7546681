// The error locator: syndromes from the remainder modulo g, binary Berlekamp-Massey, and the
// roots of the locator found algebraically instead of by a search over every position: split
// by traces (Berlekamp's trace algorithm) down to factors of degree 4 at most, which are solved
// directly. Its cost grows with t and m, not with the sector's length. Two to four errors
// also have a direct route from the first syndromes, without Berlekamp-Massey.
#include "codec/codec_internal.h"  // bch_code_tables, bch_locate_errors

#include <algorithm>  // std::fill, std::copy, std::max
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t
#include <memory>     // std::unique_ptr
#include <new>        // std::bad_alloc
#include <utility>    // std::swap
#include <vector>     // std::vector

namespace {

// GF(2^m) arithmetic on the code's tables, 16-bit or int (E); elements are ints in polynomial
// form. Passed by value: a copy in registers is not reloaded after every store to a
// coefficient.
template <class E>
struct field {
  const E* exp;
  const E* log;
  int n;
  int m;

  // Zero has the logarithm 2n, which the exponent table answers with 0 (bch_code_tables).
  int mul(int a, int b) const { return exp[log[a] + log[b]]; }
  // a * alpha^lb, 0 <= lb <= 2n (2n standing for a zero factor).
  int mul_log(int a, int lb) const { return exp[log[a] + lb]; }
  int square(int a) const { return exp[2 * log[a]]; }
};

// Stack-first scratch of ints: one block sized up front, handed out and taken back in order.
class scratch {
 public:
  explicit scratch(std::size_t size) : size_(size) {
    if (size > kLocal) {
      // Not value-initialized: every user writes before it reads, and zeroing tens of KB at
      // large t would cost more than the work done in them.
      heap_.reset(new int[size]);
      base_ = heap_.get();
    } else {
      base_ = local_;
    }
  }
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  // Ints left as they were (every user writes before it reads), or nullptr when the block is
  // used up (the size bound makes that unreachable).
  int* take(std::size_t count) {
    if (count > size_ - used_) {
      return nullptr;
    }
    int* p = base_ + used_;
    used_ += count;
    return p;
  }
  std::size_t mark() const { return used_; }
  void release(std::size_t mark) { used_ = mark; }

 private:
  static constexpr std::size_t kLocal = 4096;
  int local_[kLocal];
  std::unique_ptr<int[]> heap_;
  int* base_ = nullptr;
  std::size_t size_ = 0;
  std::size_t used_ = 0;
};

// Degree of a[0 ... cap-1], -1 for the zero polynomial.
int degree(const int* a, int cap) {
  int d = cap - 1;
  while (d >= 0 && a[d] == 0) {
    --d;
  }
  return d;
}

// a mod b in place, a of degree da, b of degree db >= 0 (any leading coefficient); returns the
// degree of the remainder. b_log has room for db + 1 logarithms.
template <class E>
int reduce(field<E> f, int* a, int da, const int* b, int db, int* b_log) {
  for (int k = 0; k <= db; ++k) {
    b_log[k] = f.log[b[k]];
  }
  const int lead_inverse_log = f.n - b_log[db];
  for (int e = da; e >= db; --e) {
    if (a[e] == 0) {
      continue;
    }
    const int q = f.log[a[e]] + lead_inverse_log;  // log of a[e] / lead(b), below 2n
    const int ql = q >= f.n ? q - f.n : q;
    for (int k = 0; k <= db; ++k) {
      a[e - db + k] ^= f.exp[ql + b_log[k]];
    }
  }
  return degree(a, db);
}

// Logarithms of the syndromes S_1 ... S_2t of the remainder (ecc_bytes logical bytes) into
// s[1 ... 2t] (2n for zero), the form Berlekamp-Massey multiplies by: the odd ones as one table
// lookup per nibble, the even ones as squares, S_2i = S_i^2, which holds for every binary word.
// W is the count of packed words when fixed at compile time (the small codes' one or two),
// else 0 and tb.syndrome_words holds it.
template <int W, class E>
void syndromes(const bch_code_tables& tb, field<E> f, const std::uint8_t* remainder, int* s) {
  const int words = W != 0 ? W : tb.syndrome_words;
  std::uint64_t packed[kCodecMaxSyndromeWords];
  std::fill(packed, packed + words, 0);
  const std::uint64_t* table = tb.syndrome_nibbles.data();
  const auto stride = static_cast<std::size_t>(words);
  for (int j = 0; j < tb.ecc_bytes; ++j) {
    // Entries for a zero nibble are zero, so every nibble is looked up without a test.
    const std::uint64_t* high =
        table + (static_cast<std::size_t>(2 * j) * 16 + (remainder[j] >> 4)) * stride;
    const std::uint64_t* low =
        table + (static_cast<std::size_t>(2 * j + 1) * 16 + (remainder[j] & 15)) * stride;
    for (int w = 0; w < words; ++w) {
      packed[w] ^= high[w] ^ low[w];
    }
  }
  const std::uint64_t mask = (std::uint64_t{1} << f.m) - 1;
  for (int i = 0; i < tb.t; ++i) {
    const int bit = i * f.m;
    const int w = bit / 64;
    const int offset = bit % 64;
    std::uint64_t v = packed[w] >> offset;
    if (offset + f.m > 64) {
      v |= packed[w + 1] << (64 - offset);
    }
    s[2 * i + 1] = f.log[v & mask];
  }
  // Squaring doubles a logarithm; zero keeps its 2n.
  const int zero = 2 * f.n;
  for (int j = 2; j <= 2 * tb.t; j += 2) {
    const int half = s[j / 2];
    const int twice = half == zero ? zero : 2 * half;
    s[j] = twice >= f.n && twice != zero ? twice - f.n : twice;
  }
}

// Berlekamp-Massey over S_1 ... S_2t for a binary code: every even step has zero discrepancy
// (S_2i = S_i^2), so only odd steps are computed and the correction term moves two places per
// step. The correction term is kept as x^shift times stored coefficients, so that moving it
// costs nothing, and its degree is bounded exactly as if it were stored in full, so that the
// overflow test stays as it was. lambda, b, tmp have `cap` >= 2t + 3 entries, only the first
// dl + 1 (db + 1) meaningful. s_log holds the syndromes' logarithms. Returns the register
// length L, with *out pointing at lambda (one of lambda, tmp) of degree bound *out_degree, or
// -1 when the correction term would overflow.
template <class E>
int berlekamp_massey(field<E> f, const int* s_log, int t, int* lambda, int* b, int* tmp, int cap,
                     int** out, int* out_degree) {
  lambda[0] = 1;
  b[0] = 1;
  int length = 0;
  int dl = 0;     // degree bound of lambda
  int db = 0;     // degree bound of the stored coefficients of b
  int shift = 0;  // b stands for x^shift times them
  for (int r = 1; r <= 2 * t; r += 2) {
    int d = 0;
    for (int i = 0; i <= dl && i < r; ++i) {
      d ^= f.mul_log(lambda[i], s_log[r - i]);
    }
    if (d == 0) {
      if (db + shift + 2 >= cap) {
        return -1;
      }
      shift += 2;
      continue;
    }
    const int ld = f.log[d];
    // tmp = lambda + d x b
    const int dt = std::max(dl, db + shift + 1);
    if (dt >= cap) {
      return -1;
    }
    for (int k = 0; k <= dl; ++k) {
      tmp[k] = lambda[k];
    }
    for (int k = dl + 1; k <= dt; ++k) {
      tmp[k] = 0;
    }
    for (int k = 0; k <= db; ++k) {
      tmp[k + shift + 1] ^= f.mul_log(b[k], ld);
    }
    if (2 * length <= r - 1) {
      // b = lambda / d, then one place for the skipped even step.
      const int inverse = f.n - ld;
      for (int k = 0; k <= dl; ++k) {
        b[k] = f.mul_log(lambda[k], inverse);
      }
      db = dl;
      shift = 0;
      length = r - length;
      if (db + 1 >= cap) {
        return -1;
      }
      shift = 1;
    } else {
      if (db + shift + 2 >= cap) {
        return -1;
      }
      shift += 2;
    }
    std::swap(lambda, tmp);
    dl = dt;
  }
  *out = lambda;
  *out_degree = dl;
  return length;
}

// Finds the roots of a monic polynomial sigma whose roots must all be distinct and lie in the
// field, failing on anything else. Degrees 1 ... 4 are solved directly; from degree 5 on,
// sigma is split by gcd(factor, Tr(beta x)) for beta = alpha^j, j = 0, 1, ...: the roots whose
// trace is 0 go to one side. Any two distinct elements differ in the trace of some basis
// element alpha^j, j < m, so the splits end in factors of degree 4 or less before j runs out.
template <class E>
class root_finder {
 public:
  root_finder(const bch_code_tables& tb, field<E> f, scratch& mem, int* roots, int capacity)
      : tb_(tb), f_(f), mem_(mem), roots_(roots), capacity_(capacity) {}

  // Roots of sigma (monic, degree d >= 1) into roots[0 ... d-1]; false unless there are d
  // distinct nonzero ones.
  bool find(const int* sigma, int d) {
    if (d <= 4) {
      return small(sigma, d) && count_ == d;
    }
    const int m = f_.m;
    // The same algorithm on whole-polynomial operations, where the processor has them.
    const int vector = bch_gfni_roots(
        tb_, sigma, d,
        [](void* self, const int* poly, int degree) {
          return static_cast<root_finder*>(self)->small(poly, degree);
        },
        this);
    if (vector >= 0) {
      return vector == 1 && count_ == d;
    }
    // x^(2^i) mod sigma for i = 0 ... m-1; sigma splits into distinct linear factors exactly
    // when x^(2^m) = x mod sigma.
    const int half = (d + 1) / 2;
    powers_ = mem_.take(static_cast<std::size_t>(m) * d);
    traces_ = mem_.take(static_cast<std::size_t>(m) * d);
    int* q_log = mem_.take(static_cast<std::size_t>(d - half) * d);
    int* v = mem_.take(d);
    int* last = mem_.take(d);
    int* squares = mem_.take(d);
    if (powers_ == nullptr || traces_ == nullptr || q_log == nullptr || v == nullptr ||
        last == nullptr || squares == nullptr) {
      return false;
    }
    degree_ = d;
    // Below degree 9 the tables' products stay in the first-level cache and are as fast.
    summed_ = summed_ && d >= 9;
    std::fill(v, v + d, 0);
    std::fill(powers_, powers_ + d, 0);
    // Squaring takes a_k to a_k^2 x^(2k); the rows x^(2k) mod sigma for 2k >= d are made once,
    // as logarithms, by multiplying x^(d-1) by x step by step.
    v[d - 1] = 1;
    // sigma's logarithms once, in the squares' place until square_rows writes them.
    for (int c = 0; c < d; ++c) {
      squares[c] = f_.log[sigma[c]];
    }
    // The rows whose power 2^i is below 2d - 1 need no squaring: x^(2^i) itself while below
    // degree d, from there on the v made here; squaring begins at row `first`. 2^m is past
    // 2d - 2 (d < n / 2), so row m is always squared.
    int first = 1;
    for (int i = 1; (1 << i) < d; ++i) {
      int* row = powers_ + static_cast<std::size_t>(i) * d;
      std::fill(row, row + d, 0);
      row[1 << i] = 1;
      first = i + 1;
    }
    for (int e = d; e <= 2 * d - 2; ++e) {
      const int top = f_.log[v[d - 1]];
      for (int c = d - 1; c > 0; --c) {
        v[c] = v[c - 1];
      }
      v[0] = 0;
      for (int c = 0; c < d; ++c) {
        v[c] ^= f_.exp[top + squares[c]];
      }
      if (e % 2 == 0) {
        int* row = q_log + static_cast<std::size_t>(e / 2 - half) * d;
        for (int c = 0; c < d; ++c) {
          row[c] = summed_ ? v[c] : f_.log[v[c]];
        }
      }
      if ((e & (e - 1)) == 0) {
        std::copy(v, v + d, powers_ + static_cast<std::size_t>(first) * d);
        ++first;
      }
    }
    powers_[1] = 1;
    if (summed_) {
      square_rows_summed(q_log, squares, last, d, first);
    } else {
      // The locator's usual degrees get loops of fixed length, which the compiler unrolls.
      square_rows_by_tables(q_log, squares, last, d, first);
    }
    for (int c = 0; c < d; ++c) {
      if (last[c] != (c == 1 ? 1 : 0)) {
        return false;
      }
    }
    return split(sigma, d, 0) && count_ == d;
  }

 private:
  void square_rows_by_tables(const int* q_log, int* squares, int* last, int d, int first) {
    switch (d) {
      case 5:
        square_rows<5>(q_log, squares, last, d, first);
        break;
      case 6:
        square_rows<6>(q_log, squares, last, d, first);
        break;
      case 7:
        square_rows<7>(q_log, squares, last, d, first);
        break;
      case 8:
        square_rows<8>(q_log, squares, last, d, first);
        break;
      default:
        square_rows<0>(q_log, squares, last, d, first);
        break;
    }
  }

  // As square_rows, the sums of products made by bch_sum_products; q holds the rows x^(2k) mod
  // sigma, k >= half, as values.
  void square_rows_summed(const int* q, int* squares, int* last, int d, int first) {
    const int half = (d + 1) / 2;
    const int m = f_.m;
    for (int i = first; i <= m; ++i) {
      const int* a = powers_ + static_cast<std::size_t>(i - 1) * d;
      int* out = i < m ? powers_ + static_cast<std::size_t>(i) * d : last;
      for (int k = 0; k < half; ++k) {
        out[2 * k] = f_.square(a[k]);
        if (2 * k + 1 < d) {
          out[2 * k + 1] = 0;
        }
      }
      for (int k = half; k < d; ++k) {
        squares[k - half] = f_.square(a[k]);
      }
      bch_sum_products(tb_, squares, d - half, q, static_cast<std::size_t>(d), d, out);
    }
  }

  // Rows first ... m of powers_ (x^(2^i) mod sigma), row m into last, each the square of the row
  // before; D is the degree when fixed at compile time, else 0 and d holds it.
  template <int D>
  void square_rows(const int* q_log, int* squares, int* last, int runtime_degree, int first) {
    const int d = D != 0 ? D : runtime_degree;
    const int half = (d + 1) / 2;
    const int m = f_.m;
    const int n = f_.n;
    const E* exp = f_.exp;
    const E* log = f_.log;
    for (int i = first; i <= m; ++i) {
      const int* a = powers_ + static_cast<std::size_t>(i - 1) * d;
      int* out = i < m ? powers_ + static_cast<std::size_t>(i) * d : last;
      for (int k = 0; k < half; ++k) {
        out[2 * k] = exp[2 * log[a[k]]];
        if (2 * k + 1 < d) {
          out[2 * k + 1] = 0;
        }
      }
      // a_k^2 as logarithms (2n for zero), then each coefficient summed in a register.
      for (int k = half; k < d; ++k) {
        const int l2 = 2 * log[a[k]];
        squares[k - half] = a[k] == 0 ? 2 * n : l2 >= n ? l2 - n : l2;
      }
      for (int c = 0; c < d; ++c) {
        int sum = out[c];
        for (int k = half; k < d; ++k) {
          sum ^= exp[squares[k - half] + q_log[static_cast<std::size_t>(k - half) * d + c]];
        }
        out[c] = sum;
      }
    }
  }

  bool add(int root) {
    if (root == 0 || count_ >= capacity_) {
      return false;
    }
    for (int i = 0; i < count_; ++i) {
      if (roots_[i] == root) {
        return false;
      }
    }
    roots_[count_++] = root;
    return true;
  }

  // Tr(alpha^j x) mod sigma, made on first use: sum over i of (alpha^j)^(2^i) x^(2^i).
  const int* trace(int j) {
    int* t = traces_ + static_cast<std::size_t>(j) * degree_;
    if ((made_ >> j) & 1) {
      return t;
    }
    made_ |= std::uint32_t{1} << j;
    const int m = f_.m;
    const int d = degree_;
    const int* logs = tb_.trace_logs.data() + static_cast<std::size_t>(j) * m;
    const E* exp = f_.exp;
    const E* log = f_.log;
    std::fill(t, t + d, 0);
    if (summed_ && j != 0) {
      int betas[32];
      for (int i = 0; i < m; ++i) {
        betas[i] = exp[logs[i]];
      }
      bch_sum_products(tb_, betas, m, powers_, static_cast<std::size_t>(d), d, t);
      return t;
    }
    // Row by row, so that the inner loop runs along contiguous coefficients.
    for (int i = 0; i < m; ++i) {
      const int* row = powers_ + static_cast<std::size_t>(i) * d;
      if (j == 0) {
        for (int k = 0; k < d; ++k) {
          t[k] ^= row[k];  // beta = 1 needs no products
        }
      } else {
        const int l = logs[i];
        for (int k = 0; k < d; ++k) {
          t[k] ^= exp[log[row[k]] + l];
        }
      }
    }
    return t;
  }

  // Splits poly (monic, degree d, a factor of sigma) with beta = alpha^j, alpha^(j+1), ...
  bool split(const int* poly, int d, int j) {
    if (d <= 4) {
      return small(poly, d);
    }
    const std::size_t mark = mem_.mark();
    int* a = mem_.take(std::max(d, degree_) + 1);
    int* b = mem_.take(std::max(d, degree_) + 1);
    int* quotient = mem_.take(d + 1);
    int* logs = mem_.take(d + 1);
    if (a == nullptr || b == nullptr || quotient == nullptr || logs == nullptr) {
      return false;
    }
    for (; j < f_.m; ++j) {
      // b = Tr(beta x) mod poly; gcd(poly, b) by Euclid's algorithm.
      const int* t = trace(j);
      std::copy(t, t + degree_, b);
      int db = degree(b, degree_);
      if (db >= d) {
        db = reduce(f_, b, db, poly, d, logs);
      }
      if (db <= 0) {
        continue;  // the trace is constant on every root: no split
      }
      std::copy(poly, poly + d + 1, a);
      int* x = a;
      int* y = b;
      int dx = d;
      int dy = db;
      while (dy >= 0) {
        dx = reduce(f_, x, dx, y, dy, logs);
        std::swap(x, y);
        std::swap(dx, dy);
      }
      if (dx <= 0 || dx >= d) {
        continue;
      }
      const int lead_inverse_log = f_.n - f_.log[x[dx]];
      for (int k = 0; k <= dx; ++k) {
        x[k] = f_.mul_log(x[k], lead_inverse_log);
      }
      // quotient = poly / x, exact; the remainder is worked out in y's place and dropped.
      std::copy(poly, poly + d + 1, y);
      for (int k = 0; k <= dx; ++k) {
        logs[k] = f_.log[x[k]];
      }
      for (int e = d; e >= dx; --e) {
        const int c = y[e];
        quotient[e - dx] = c;
        if (c != 0) {
          const int lc = f_.log[c];
          for (int k = 0; k <= dx; ++k) {
            y[e - dx + k] ^= f_.exp[lc + logs[k]];
          }
        }
      }
      const bool ok = split(x, dx, j + 1) && split(quotient, d - dx, j + 1);
      mem_.release(mark);
      return ok;
    }
    mem_.release(mark);
    return false;
  }

  // All four roots of y^4 + a y^2 + b y + c into out; false unless there are four distinct
  // ones in the field.
  bool affine4(int a, int b, int c, int* out) const {
    return tb_.cubic.empty() ? affine4_by_echelon(a, b, c, out) : affine4_by_cubic(a, b, c, out);
  }

  // One root y of y^2 + s y = v, s != 0 (the other is y + s): y = s z with z^2 + z = v / s^2
  // from the linear solver. False when there is none in the field.
  bool half_quadratic(int s, int v, int* y) const {
    const int n = f_.n;
    const int ls = f_.log[s];
    int l2 = 2 * ls;
    l2 = l2 >= n ? l2 - n : l2;
    const int c = f_.exp[f_.log[v] + (n - l2)];  // 0 for v = 0: log 0 = 2n
    int z = 0;
    for (int shift = 0; shift < f_.m; shift += 8) {
      z ^= tb_.quadratic[static_cast<std::size_t>(shift / 8) * 256 + ((c >> shift) & 0xFF)];
    }
    if ((f_.square(z) ^ z) != c) {
      return false;
    }
    *y = f_.mul_log(z, ls);
    return true;
  }

  // y -> L(y) = y^4 + a y^2 + b y is linear over GF(2); its kernel holds 0 and the roots of
  // w^3 + a w + b. With one such w != 0, L(y) = P(y)^2 + u P(y) for P(y) = y^2 + w y and
  // u = b / w, so L(y) = c takes three quadratics: P(y) = theta for the two roots theta of
  // theta^2 + u theta = c. w itself is sqrt(a) times a root of z^3 + z + b / sqrt(a)^3, one
  // lookup (cube roots when a = 0). Four distinct solutions of a quartic are all its roots;
  // any step without a solution means there are fewer.
  bool affine4_by_cubic(int a, int b, int c, int* out) const {
    const int n = f_.n;
    if (b == 0) {
      return false;  // L = (y^2 + sqrt(a) y)^2: a kernel of two elements at most
    }
    int w = 0;
    const int lb = f_.log[b];
    if (a == 0) {
      // w^3 = b: one cube root where 3 does not divide n (m odd), none or three where it does.
      if (n % 3 != 0) {
        w = f_.exp[static_cast<long long>(lb) * ((2LL * n + 1) / 3) % n];
      } else if (lb % 3 == 0) {
        w = f_.exp[lb / 3];
      } else {
        return false;
      }
    } else {
      const int la = f_.log[a];
      const int lh = la % 2 == 0 ? la / 2 : (la + n) / 2;  // log sqrt(a)
      int l3 = 3 * lh;  // below 3n: subtractions instead of a division
      l3 = l3 >= n ? l3 - n : l3;
      l3 = l3 >= n ? l3 - n : l3;
      const int beta = f_.exp[lb + (n - l3)];
      w = f_.mul_log(tb_.cubic[static_cast<std::size_t>(beta)], lh);
    }
    if (w == 0 || (f_.mul(f_.square(w), w) ^ f_.mul(a, w) ^ b) != 0) {
      return false;
    }
    const int u = f_.exp[lb + (n - f_.log[w])];
    int theta = 0;
    int y0 = 0;
    int y1 = 0;
    if (!half_quadratic(u, c, &theta) || !half_quadratic(w, theta, &y0) ||
        !half_quadratic(w, theta ^ u, &y1)) {
      return false;
    }
    out[0] = y0;
    out[1] = y0 ^ w;
    out[2] = y1;
    out[3] = y1 ^ w;
    return true;
  }

  // affine4 for fields without the cubic table: the images of the basis, brought to reduced
  // echelon form beside their preimages, give one solution and the kernel. Four distinct roots
  // exist exactly when the kernel has dimension 2 and c lies in the image; anything else fails.
  bool affine4_by_echelon(int a, int b, int c, int* out) const {
    // row[h]: an image leading with bit h and holding no other row's leading bit, its
    // preimage in the upper half. Kept that way, a vector is reduced by the rows of the bits
    // it has, each at once, instead of by a chain in which each step waits for the one before.
    std::uint64_t row[32];
    std::uint32_t have = 0;  // bit h: row[h] is set
    std::uint32_t kernel[2] = {0, 0};
    int dims = 0;
    // The images of the basis alpha^i = x^i: (alpha^i)^4 from the first entries of the
    // exponent table, which every call reads and so stay cached, and the terms in a and b moved
    // on by multiplying by x (a shift and at most one reduction) rather than looked up at
    // places that differ from call to call: the tables of the larger fields do not stay in the
    // first-level cache.
    const int modulus = static_cast<int>(tb_.polynomial);
    const int overflow = 1 << f_.m;
    auto times_x = [modulus, overflow](int v) {
      v <<= 1;
      return (v & overflow) != 0 ? v ^ modulus : v;
    };
    int a_term = a;  // a x^(2i)
    int b_term = b;  // b x^i
    for (int i = 0; i < f_.m; ++i) {
      const auto image = static_cast<std::uint32_t>(f_.exp[4 * i] ^ a_term ^ b_term);
      a_term = times_x(times_x(a_term));
      b_term = times_x(b_term);
      std::uint64_t v = (std::uint64_t{1} << (32 + i)) | image;
      // Over every row, without branches on the data: the count of rows is the same in every
      // call, so the loop's end is foreseen.
      for (std::uint32_t rows = have; rows != 0; rows &= rows - 1) {
        const int k = __builtin_ctz(rows);
        v ^= row[k] & (std::uint64_t{0} - ((image >> k) & 1));
      }
      const auto left = static_cast<std::uint32_t>(v);
      if (left == 0) {
        if (dims == 2) {
          return false;
        }
        kernel[dims++] = static_cast<std::uint32_t>(v >> 32);
        continue;
      }
      const int h = 31 - __builtin_clz(left);
      for (std::uint32_t rows = have; rows != 0; rows &= rows - 1) {
        const int k = __builtin_ctz(rows);
        row[k] ^= v & (std::uint64_t{0} - ((row[k] >> h) & 1));
      }
      row[h] = v;
      have |= std::uint32_t{1} << h;
    }
    if (dims != 2) {
      return false;
    }
    const auto want = static_cast<std::uint32_t>(c);
    std::uint64_t sum = 0;
    for (std::uint32_t rows = want & have; rows != 0; rows &= rows - 1) {
      sum ^= row[__builtin_ctz(rows)];
    }
    if (static_cast<std::uint32_t>(sum) != want) {
      return false;  // c has a bit that no row leads with: it is not an image
    }
    const int y = static_cast<int>(sum >> 32);
    out[0] = y;
    out[1] = y ^ static_cast<int>(kernel[0]);
    out[2] = y ^ static_cast<int>(kernel[1]);
    out[3] = y ^ static_cast<int>(kernel[0] ^ kernel[1]);
    return true;
  }

  // x^3 + a2 x^2 + a1 x + a0 times (x + a2) is affine. a2 is the sum of the roots, so it is
  // none of them when they are distinct, and is dropped from the four.
  bool cubic(const int* poly) {
    const int a2 = poly[2];
    const int a1 = poly[1];
    const int a0 = poly[0];
    int r[4];
    if (!affine4(a1 ^ f_.square(a2), a0 ^ f_.mul(a1, a2), f_.mul(a0, a2), r)) {
      return false;
    }
    int dropped = 0;
    for (int k = 0; k < 4; ++k) {
      if (r[k] == a2) {
        ++dropped;
      } else if (!add(r[k])) {
        return false;
      }
    }
    return dropped == 1;
  }

  // A quartic with a cubic term: x = z + e with a3 e^2 = a1 clears the linear term, and
  // w = 1 / z then makes it affine: w^4 + (b'/d') w^2 + (a3/d') w + 1/d', with
  // b' = a3 e + a2 and d' = sigma(e), which is zero only for a double root z = 0.
  bool quartic(const int* poly) {
    const int a3 = poly[3];
    const int a2 = poly[2];
    const int a1 = poly[1];
    const int a0 = poly[0];
    int r[4];
    if (a3 == 0) {
      if (!affine4(a2, a1, a0, r)) {
        return false;
      }
      for (int k = 0; k < 4; ++k) {
        if (!add(r[k])) {
          return false;
        }
      }
      return true;
    }
    const int n = f_.n;
    int e = 0;
    if (a1 != 0) {
      int l = f_.log[a1] - f_.log[a3];
      if (l < 0) {
        l += n;
      }
      if (l % 2 != 0) {
        l += n;  // n is odd: alpha^l = alpha^(l + n), and the square root halves an even log
      }
      e = f_.exp[l / 2];
    }
    const int b2 = f_.mul(a3, e) ^ a2;
    int value = e ^ a3;
    value = f_.mul(value, e) ^ a2;
    value = f_.mul(value, e) ^ a1;
    value = f_.mul(value, e) ^ a0;
    if (value == 0) {
      return false;
    }
    const int inverse = n - f_.log[value];
    if (!affine4(f_.mul_log(b2, inverse), f_.mul_log(a3, inverse), f_.exp[inverse], r)) {
      return false;
    }
    for (int k = 0; k < 4; ++k) {
      if (r[k] == 0 || !add(f_.exp[n - f_.log[r[k]]] ^ e)) {
        return false;
      }
    }
    return true;
  }

  // Roots of x + c, or of x^2 + a x + b through y = x / a: y^2 + y = b / a^2, whose solution
  // y0 (when there is one) comes from the code's linear solver; the roots are a y0, a y0 + a.
  // Degrees 3 and 4 go through affine polynomials.
  bool small(const int* poly, int d) {
    if (d == 1) {
      return add(poly[0]);
    }
    if (d == 3) {
      return cubic(poly);
    }
    if (d == 4) {
      return quartic(poly);
    }
    const int a = poly[1];
    const int b = poly[0];
    if (a == 0 || b == 0) {
      return false;  // a double root, or the root 0
    }
    int root = 0;
    if (!half_quadratic(a, b, &root)) {
      return false;  // trace of b / a^2 is 1: no root in the field
    }
    return add(root) && add(root ^ a);
  }

  const bch_code_tables& tb_;
  const field<E> f_;  // a copy, so that stores through int pointers cannot touch it
  scratch& mem_;
  int* roots_;
  int capacity_;
  int count_ = 0;
  int* powers_ = nullptr;  // x^(2^i) mod sigma, m rows of degree_ coefficients
  int* traces_ = nullptr;  // Tr(alpha^j x) mod sigma, m rows, made as needed
  std::uint32_t made_ = 0;
  int degree_ = 0;  // degree of sigma
  // Sums of products by carry-less multiplication (bch_sum_products) rather than by the tables.
  bool summed_ = !tb_.product_fold.empty();
};

}  // namespace

void bch_build_locator_tables(bch_code_tables& tb) {
  const int n = tb.n;
  const int m = tb.m;
  const int words = (tb.t * m + 63) / 64;
  const auto stride = static_cast<std::size_t>(words);
  tb.syndrome_words = words;
  tb.syndrome_nibbles.assign(static_cast<std::size_t>(2 * tb.ecc_bytes) * 16 * stride, 0);
  tb.first_syndromes.clear();
  tb.few_syndromes.clear();
  tb.ninth_syndromes.clear();
  // The direct route costs every step of more than four errors its lookups and a dozen
  // dependent products; that pays off on the small codes, where two to four errors are a fair
  // share of the steps, and slowed the larger ones measurably. Its table serves the test of a
  // single error too.
  if (tb.t >= 4 && tb.t <= kFewErrorsMaxT && m <= 16) {
    tb.few_syndromes.assign(static_cast<std::size_t>(2 * tb.ecc_bytes) * 16, 0);
  } else {
    tb.first_syndromes.assign(static_cast<std::size_t>(2 * tb.ecc_bytes) * 16, 0);
  }
  if (tb.t >= 5 && tb.t <= kFewErrorsMaxT && m <= 16) {
    tb.ninth_syndromes.assign(static_cast<std::size_t>(2 * tb.ecc_bytes) * 16, 0);
  }
  std::vector<std::uint64_t> share(stride);
  for (int q = 0; q < 2 * tb.ecc_bytes; ++q) {
    const int byte = q / 2;
    for (int b = 0; b < 4; ++b) {
      // Bit k of byte `byte` is the coefficient of x^power; unused bits have none.
      const int k = b + (q % 2 == 0 ? 4 : 0);
      const long power = 8L * (tb.ecc_bytes - 1 - byte) + k - tb.parity_shift;
      if (power < 0 || power >= tb.r) {
        continue;
      }
      std::fill(share.begin(), share.end(), 0);
      for (int i = 0; i < tb.t; ++i) {
        const auto value = static_cast<std::uint64_t>(tb.exp[((2L * i + 1) * power) % n]);
        const int bit = i * m;
        share[bit / 64] |= value << (bit % 64);
        if (bit % 64 + m > 64) {
          share[bit / 64 + 1] |= value >> (64 - bit % 64);
        }
      }
      const auto s1 = static_cast<std::uint64_t>(tb.exp[power % n]);
      const auto s3 = static_cast<std::uint64_t>(tb.exp[3 * power % n]);
      std::uint64_t four = 0;
      for (int i = 0; i < 4; ++i) {
        four |= static_cast<std::uint64_t>(tb.exp[(2L * i + 1) * power % n]) << (16 * i);
      }
      const auto ninth = static_cast<std::uint16_t>(tb.exp[9L * power % n]);
      for (int v = 0; v < 16; ++v) {
        if (!tb.few_syndromes.empty() && ((v >> b) & 1)) {
          tb.few_syndromes[static_cast<std::size_t>(q) * 16 + v] ^= four;
        }
        if (!tb.ninth_syndromes.empty() && ((v >> b) & 1)) {
          std::uint16_t& entry = tb.ninth_syndromes[static_cast<std::size_t>(q) * 16 + v];
          entry = static_cast<std::uint16_t>(entry ^ ninth);
        }
        if ((v >> b) & 1) {
          std::uint64_t* entry =
              &tb.syndrome_nibbles[(static_cast<std::size_t>(q) * 16 + v) * stride];
          for (int w = 0; w < words; ++w) {
            entry[w] ^= share[w];
          }
          if (!tb.first_syndromes.empty()) {
            tb.first_syndromes[static_cast<std::size_t>(q) * 16 + v] ^= s1 | s3 << 32;
          }
        }
      }
    }
  }
  tb.trace_logs.assign(static_cast<std::size_t>(tb.m) * tb.m, 0);
  for (int j = 0; j < tb.m; ++j) {
    long e = j;
    for (int i = 0; i < tb.m; ++i) {
      tb.trace_logs[static_cast<std::size_t>(j) * tb.m + i] = static_cast<int>(e);
      e = 2 * e % n;
    }
  }
  // y -> y^2 + y is linear with kernel {0, 1}; its image, the elements of trace 0, is brought
  // to reduced echelon form beside the preimages. A c of the image is then the sum of the rows
  // whose leading bits it has, so y is the sum of their preimages: linear in c, tabled by byte.
  std::vector<int> image(static_cast<std::size_t>(m));
  std::vector<int> preimage(static_cast<std::size_t>(m));
  std::vector<int> pivot_row(static_cast<std::size_t>(m), -1);
  std::vector<bool> used(static_cast<std::size_t>(m), false);
  for (int i = 0; i < m; ++i) {
    image[i] = tb.exp[2 * i] ^ tb.exp[i];
    preimage[i] = tb.exp[i];
  }
  for (int bit = m - 1; bit >= 0; --bit) {
    int p = -1;
    for (int i = 0; i < m && p < 0; ++i) {
      if (!used[i] && ((image[i] >> bit) & 1)) {
        p = i;
      }
    }
    if (p < 0) {
      continue;
    }
    used[p] = true;
    for (int i = 0; i < m; ++i) {
      if (i != p && ((image[i] >> bit) & 1)) {
        image[i] ^= image[p];
        preimage[i] ^= preimage[p];
      }
    }
    pivot_row[bit] = p;
  }
  // Later pivots clear their bits from earlier rows too, so the rows are read at the end.
  std::vector<int> of_bit(static_cast<std::size_t>(m), 0);
  for (int bit = 0; bit < m; ++bit) {
    if (pivot_row[bit] >= 0) {
      of_bit[bit] = preimage[pivot_row[bit]];
    }
  }
  const int chunks = (m + 7) / 8;
  tb.quadratic.assign(static_cast<std::size_t>(chunks) * 256, 0);
  for (int u = 0; u < chunks; ++u) {
    for (int v = 0; v < 256; ++v) {
      int y = 0;
      for (int b = 0; b < 8 && 8 * u + b < m; ++b) {
        if ((v >> b) & 1) {
          y ^= of_bit[8 * u + b];
        }
      }
      tb.quadratic[static_cast<std::size_t>(u) * 256 + v] = y;
    }
  }
  // A root of z^3 + z + beta for every beta that has one, 0 where none does; beta = 0 takes
  // the root 1, the one the solver can use.
  tb.cubic.clear();
  if (m <= 16) {
    tb.cubic.assign(static_cast<std::size_t>(n) + 1, 0);
    for (int z = n; z >= 1; --z) {
      const int cube = tb.exp[static_cast<std::size_t>(3L * tb.log[z] % n)];
      tb.cubic[static_cast<std::size_t>(cube ^ z)] = static_cast<std::uint16_t>(z);
    }
  }
  bch_build_gfni_tables(tb);
  bch_build_product_tables(tb);
  // While 4n and every logarithm fit 16 bits, the locator works on narrow copies, which keep
  // twice as many of its scattered lookups in the first-level cache; the int tables go.
  if (2 * static_cast<long>(n) <= 0xFFFF) {
    tb.exp16.resize(tb.exp.size());
    tb.log16.resize(tb.log.size());
    for (std::size_t i = 0; i < tb.exp.size(); ++i) {
      tb.exp16[i] = static_cast<std::uint16_t>(tb.exp[i]);
    }
    for (std::size_t i = 0; i < tb.log.size(); ++i) {
      tb.log16[i] = static_cast<std::uint16_t>(tb.log[i]);
    }
    std::vector<int>().swap(tb.exp);
    std::vector<int>().swap(tb.log);
  }
}

namespace {

template <class E>
int locate(const bch_code_tables& tb, field<E> f, const std::uint8_t* remainder, long limit,
           int* positions) {
  const int t = tb.t;
  const int cap = 2 * t + 3;
  // Syndromes, the three registers of Berlekamp-Massey, sigma and its roots, then the root
  // finder: m powers of x, m traces, the squaring rows (t/2 + 1) and three more rows, all of
  // at most t entries, and per level of splitting, at most m + 1 deep, four polynomials.
  const auto ut = static_cast<std::size_t>(t);
  const auto um = static_cast<std::size_t>(f.m);
  const std::size_t size = (2 * ut + 1) + 4 * static_cast<std::size_t>(cap) + (ut + 1) +
                           (2 * um + ut / 2 + 4) * ut + (um + 1) * (4 * ut + 4);
  scratch mem(size);
  int* s = mem.take(2 * t + 1);
  int* lambda = mem.take(cap);
  int* b = mem.take(cap);
  int* tmp = mem.take(cap);
  int* sigma = mem.take(cap);
  int* roots = mem.take(t + 1);
  if (s == nullptr || lambda == nullptr || b == nullptr || tmp == nullptr || sigma == nullptr ||
      roots == nullptr) {
    return -1;
  }
  switch (tb.syndrome_words) {
    case 1:
      syndromes<1>(tb, f, remainder, s);
      break;
    case 2:
      syndromes<2>(tb, f, remainder, s);
      break;
    default:
      syndromes<0>(tb, f, remainder, s);
      break;
  }
  int* register_poly = nullptr;
  int register_degree = 0;
  int length = -2;
  if (!tb.gfni.empty()) {
    // The vector form takes the syndromes themselves; b is free scratch for them.
    for (int j = 1; j <= 2 * t; ++j) {
      b[j] = f.exp[s[j]];
    }
    length = bch_gfni_berlekamp_massey(tb, b, t, lambda, &register_degree);
    register_poly = lambda;
  }
  if (length == -2) {
    length = berlekamp_massey(f, s, t, lambda, b, tmp, cap, &register_poly, &register_degree);
  }
  if (length < 1 || length > t || degree(register_poly, register_degree + 1) != length) {
    return -1;
  }
  lambda = register_poly;
  // sigma(x) = x^L lambda(1/x) = prod (x - X_l) has the error locators X_l = alpha^position
  // as its roots; lambda(0) = 1 makes it monic.
  for (int k = 0; k <= length; ++k) {
    sigma[k] = lambda[length - k];
  }
  root_finder<E> finder(tb, f, mem, roots, length);
  if (!finder.find(sigma, length)) {
    return -1;
  }
  for (int i = 0; i < length; ++i) {
    const int position = f.log[roots[i]];
    if (position >= limit) {
      return -1;
    }
    positions[i] = position;
  }
  return length;
}

// Two to four errors from S_1 ... S_7 (bch_few_errors), by Newton's identities for a binary
// code on sigma(x) = x^4 + s1 x^3 + s2 x^2 + s3 x + s4: s1 = S_1, and with D = S_3 + S_1^3,
// s3 = D + S_1 s2, leaving two equations in s2 and s4:
//   D s2 + S_1 s4 = S_5 + S_1^5 + D S_1^2,  (S_5 + S_1^5) s2 + S_3 s4 = S_7 + S_1 S_3^2 + D S_1^4.
// Their determinant is not zero for three or four errors (s4 = 0 for three). Otherwise, for
// two errors, s4 = 0 and the first alone gives s2, checked by the second; D, the product of
// the pairwise sums of the error locators, is not zero then. From t = 5 on, the identity of
// S_9 checks the solutions of the two equations, which have used every syndrome up to S_7.
template <class E>
int few_errors(const bch_code_tables& tb, field<E> f, std::uint64_t both,
               const std::uint8_t* remainder, long limit, int* positions) {
  const auto s1 = static_cast<int>(both & 0xFFFF);
  const auto s3 = static_cast<int>((both >> 16) & 0xFFFF);
  const auto s5 = static_cast<int>((both >> 32) & 0xFFFF);
  const auto s7 = static_cast<int>(both >> 48);
  const int s1_squared = f.square(s1);
  const int s1_fourth = f.square(s1_squared);
  const int d = s3 ^ f.mul(s1_squared, s1);
  const int e = s5 ^ f.mul(s1_fourth, s1);
  const int right1 = e ^ f.mul(d, s1_squared);
  const int right2 = s7 ^ f.mul(s1, f.square(s3)) ^ f.mul(d, s1_fourth);
  const int det = f.mul(d, s3) ^ f.mul(s1, e);
  int sigma2 = 0;
  int sigma4 = 0;
  if (det != 0) {
    const int inverse = f.n - f.log[det];
    sigma2 = f.mul_log(f.mul(right1, s3) ^ f.mul(s1, right2), inverse);
    sigma4 = f.mul_log(f.mul(d, right2) ^ f.mul(e, right1), inverse);
  } else {
    if (d == 0) {
      return -1;
    }
    sigma2 = f.mul_log(right1, f.n - f.log[d]);
    if (f.mul(e, sigma2) != right2) {
      return -1;
    }
  }
  const int sigma3 = d ^ f.mul(s1, sigma2);
  if (det != 0 && tb.t >= 5) {
    // S_9 + s1 S_8 + s2 S_7 + s3 S_6 + s4 S_5 = 0.
    int s9 = 0;
    const std::uint16_t* ninth = tb.ninth_syndromes.data();
    for (int j = 0; j < tb.ecc_bytes; ++j) {
      s9 ^= ninth[static_cast<std::size_t>(2 * j) * 16 + (remainder[j] >> 4)] ^
            ninth[static_cast<std::size_t>(2 * j + 1) * 16 + (remainder[j] & 15)];
    }
    if ((s9 ^ f.mul(s1, f.square(s1_fourth)) ^ f.mul(sigma2, s7) ^ f.mul(sigma3, f.square(s3)) ^
         f.mul(sigma4, s5)) != 0) {
      return -1;
    }
  }
  int sigma[5];
  int count = 0;
  if (sigma4 != 0) {
    count = 4;
    sigma[0] = sigma4;
    sigma[1] = sigma3;
    sigma[2] = sigma2;
    sigma[3] = s1;
    sigma[4] = 1;
  } else if (sigma3 != 0) {
    count = 3;
    sigma[0] = sigma3;
    sigma[1] = sigma2;
    sigma[2] = s1;
    sigma[3] = 1;
  } else {
    count = 2;
    sigma[0] = sigma2;
    sigma[1] = s1;
    sigma[2] = 1;
  }
  scratch mem(0);  // degrees up to 4 are solved without scratch
  int roots[4];
  root_finder<E> finder(tb, f, mem, roots, count);
  if (!finder.find(sigma, count)) {
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    const int position = f.log[roots[i]];
    if (position >= limit) {
      return -1;
    }
    positions[i] = position;
  }
  return count;
}

template <class E>
int find_roots(const bch_code_tables& tb, field<E> f, const int* sigma, int d, int* roots) {
  const auto ut = static_cast<std::size_t>(tb.t);
  const auto um = static_cast<std::size_t>(f.m);
  scratch mem((2 * um + ut / 2 + 4) * ut + (um + 1) * (4 * ut + 4));
  root_finder<E> finder(tb, f, mem, roots, d);
  return finder.find(sigma, d) ? d : -1;
}

}  // namespace

int bch_locate_errors(const bch_code_tables& tb, const std::uint8_t* remainder, long limit,
                      int* positions) {
  // Scratch beyond the stack block is allocated; running out of memory is a step not located,
  // not an exception out of the engine.
  try {
    if (!tb.exp16.empty()) {
      return locate(tb, field<std::uint16_t>{tb.exp16.data(), tb.log16.data(), tb.n, tb.m},
                    remainder, limit, positions);
    }
    return locate(tb, field<int>{tb.exp.data(), tb.log.data(), tb.n, tb.m}, remainder, limit,
                  positions);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

namespace {

// The single error's position from S_1 and S_3 (unused for t = 1), as bch_single_error.
int single_error(const bch_code_tables& tb, int s1, int s3, long limit) {
  if (s1 == 0) {
    return -1;
  }
  // One error at x^p has S_1 = alpha^p and S_3 = alpha^(3p).
  const long n = tb.n;
  const long p = tb.exp16.empty() ? tb.log[s1] : tb.log16[s1];
  // exp is tabled up to 2n: one subtraction instead of a division.
  const long cube = 3 * p >= 2 * n ? 3 * p - n : 3 * p;
  if (tb.t >= 2 && s3 != (tb.exp16.empty() ? tb.exp[cube] : tb.exp16[cube])) {
    return -1;
  }
  return p < limit ? static_cast<int>(p) : -1;
}

}  // namespace

int bch_single_error(const bch_code_tables& tb, const std::uint8_t* remainder, long limit) {
  if (!tb.few_syndromes.empty()) {
    return bch_single_error_of(tb, bch_early_syndromes(tb, remainder), limit);
  }
  std::uint64_t both = 0;
  const std::uint64_t* table = tb.first_syndromes.data();
  for (int j = 0; j < tb.ecc_bytes; ++j) {
    both ^= table[static_cast<std::size_t>(2 * j) * 16 + (remainder[j] >> 4)] ^
            table[static_cast<std::size_t>(2 * j + 1) * 16 + (remainder[j] & 15)];
  }
  return single_error(tb, static_cast<int>(both & 0xFFFFFFFFu), static_cast<int>(both >> 32),
                      limit);
}

std::uint64_t bch_early_syndromes(const bch_code_tables& tb, const std::uint8_t* remainder) {
  std::uint64_t both = 0;
  const std::uint64_t* table = tb.few_syndromes.data();
  for (int j = 0; j < tb.ecc_bytes; ++j) {
    both ^= table[static_cast<std::size_t>(2 * j) * 16 + (remainder[j] >> 4)] ^
            table[static_cast<std::size_t>(2 * j + 1) * 16 + (remainder[j] & 15)];
  }
  return both;
}

int bch_single_error_of(const bch_code_tables& tb, std::uint64_t early, long limit) {
  return single_error(tb, static_cast<int>(early & 0xFFFF),
                      static_cast<int>((early >> 16) & 0xFFFF), limit);
}

int bch_few_errors_of(const bch_code_tables& tb, std::uint64_t early, const std::uint8_t* remainder,
                      long limit, int* positions) {
  if (!tb.exp16.empty()) {
    return few_errors(tb, field<std::uint16_t>{tb.exp16.data(), tb.log16.data(), tb.n, tb.m}, early,
                      remainder, limit, positions);
  }
  return few_errors(tb, field<int>{tb.exp.data(), tb.log.data(), tb.n, tb.m}, early, remainder,
                    limit, positions);
}

int bch_few_errors(const bch_code_tables& tb, const std::uint8_t* remainder, long limit,
                   int* positions) {
  if (tb.few_syndromes.empty()) {
    return -1;
  }
  return bch_few_errors_of(tb, bch_early_syndromes(tb, remainder), remainder, limit, positions);
}

int bch_find_roots(const bch_code_tables& tb, const int* sigma, int d, int* roots) {
  if (d < 1 || d > tb.t) {
    return -1;
  }
  if (!tb.exp16.empty()) {
    return find_roots(tb, field<std::uint16_t>{tb.exp16.data(), tb.log16.data(), tb.n, tb.m}, sigma,
                      d, roots);
  }
  return find_roots(tb, field<int>{tb.exp.data(), tb.log.data(), tb.n, tb.m}, sigma, d, roots);
}
