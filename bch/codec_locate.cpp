// The error locator: syndromes from the remainder modulo g, binary Berlekamp-Massey, and the
// roots of the locator found algebraically instead of by a search over every position: split
// by traces (Berlekamp's trace algorithm) down to factors of degree 1 and 2, which are solved
// directly. Its cost grows with t and m, not with the sector's length.
#include "bch/codec_internal.h"  // bch_code_tables, bch_locate_errors

#include <algorithm>  // std::fill, std::copy, std::max
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint8_t, std::uint32_t, std::uint64_t
#include <utility>    // std::swap
#include <vector>     // std::vector

namespace {

// GF(2^m) arithmetic on the code's tables; elements are ints in polynomial form. Passed by
// value: a copy in registers is not reloaded after every store to a coefficient.
struct field {
  const int* exp;
  const int* log;
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
      heap_.resize(size);
      base_ = heap_.data();
    } else {
      base_ = local_;
    }
  }
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  // Zeroed ints, or nullptr when the block is used up (the size bound makes that unreachable).
  int* take(std::size_t count) {
    if (count > size_ - used_) {
      return nullptr;
    }
    int* p = base_ + used_;
    used_ += count;
    std::fill(p, p + count, 0);
    return p;
  }
  std::size_t mark() const { return used_; }
  void release(std::size_t mark) { used_ = mark; }

 private:
  static constexpr std::size_t kLocal = 4096;
  int local_[kLocal];
  std::vector<int> heap_;
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
int reduce(field f, int* a, int da, const int* b, int db, int* b_log) {
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

// Syndromes S_1 ... S_2t of the remainder (ecc_bytes logical bytes) into s[1 ... 2t]: the odd
// ones as one table lookup per nibble, the even ones as squares, S_2i = S_i^2, which holds for
// every binary word.
void syndromes(const bch_code_tables& tb, field f, const std::uint8_t* remainder, int* s) {
  const int words = tb.syndrome_words;
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
    s[2 * i + 1] = static_cast<int>(v & mask);
  }
  for (int j = 2; j <= 2 * tb.t; j += 2) {
    s[j] = f.square(s[j / 2]);
  }
}

// Berlekamp-Massey over S_1 ... S_2t for a binary code: every even step has zero discrepancy
// (S_2i = S_i^2), so only odd steps are computed and the correction term moves two places per
// step. lambda, b, tmp have `cap` >= 2t + 3 entries. Returns the register length L with
// lambda of degree at most L, or -1 when the correction term would overflow.
int berlekamp_massey(field f, const int* s, int t, int* lambda, int* b, int* tmp, int cap) {
  std::fill(lambda, lambda + cap, 0);
  std::fill(b, b + cap, 0);
  lambda[0] = 1;
  b[0] = 1;
  int length = 0;
  int dl = 0;  // degree bound of lambda
  int db = 0;  // degree bound of b
  auto shift_b = [&](int places) {
    if (db + places >= cap) {
      return false;
    }
    for (int k = db; k >= 0; --k) {
      b[k + places] = b[k];
    }
    std::fill(b, b + places, 0);
    db += places;
    return true;
  };
  for (int r = 1; r <= 2 * t; r += 2) {
    int d = 0;
    for (int i = 0; i <= dl && i < r; ++i) {
      d ^= f.mul(lambda[i], s[r - i]);
    }
    if (d == 0) {
      if (!shift_b(2)) {
        return -1;
      }
      continue;
    }
    const int ld = f.log[d];
    // tmp = lambda + d x b
    const int dt = std::max(dl, db + 1);
    if (dt >= cap) {
      return -1;
    }
    std::copy(lambda, lambda + dt + 1, tmp);
    for (int k = 0; k <= db; ++k) {
      tmp[k + 1] ^= f.mul_log(b[k], ld);
    }
    if (2 * length <= r - 1) {
      // b = lambda / d, then one place for the skipped even step.
      const int inverse = f.n - ld;
      std::fill(b, b + cap, 0);
      for (int k = 0; k <= dl; ++k) {
        b[k] = f.mul_log(lambda[k], inverse);
      }
      db = dl;
      length = r - length;
      if (!shift_b(1)) {
        return -1;
      }
    } else if (!shift_b(2)) {
      return -1;
    }
    std::fill(lambda, lambda + cap, 0);
    std::copy(tmp, tmp + dt + 1, lambda);
    dl = dt;
  }
  return length;
}

// Finds the roots of a monic polynomial sigma whose roots must all be distinct and lie in the
// field, failing on anything else. Degree 1 and 2 are solved directly; from degree 3 on,
// sigma is split by gcd(factor, Tr(beta x)) for beta = alpha^j, j = 0, 1, ...: the roots whose
// trace is 0 go to one side. Any two distinct elements differ in the trace of some basis
// element alpha^j, j < m, so the splits end in factors of degree 2 or 1 before j runs out.
class root_finder {
 public:
  root_finder(const bch_code_tables& tb, field f, scratch& mem, int* roots, int capacity)
      : tb_(tb), f_(f), mem_(mem), roots_(roots), capacity_(capacity) {}

  // Roots of sigma (monic, degree d >= 1) into roots[0 ... d-1]; false unless there are d
  // distinct nonzero ones.
  bool find(const int* sigma, int d) {
    if (d <= 2) {
      return small(sigma, d) && count_ == d;
    }
    // x^(2^i) mod sigma for i = 0 ... m-1; sigma splits into distinct linear factors exactly
    // when x^(2^m) = x mod sigma.
    const int m = f_.m;
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
    // Squaring takes a_k to a_k^2 x^(2k); the rows x^(2k) mod sigma for 2k >= d are made once,
    // as logarithms, by multiplying x^(d-1) by x step by step.
    v[d - 1] = 1;
    for (int e = d; e <= 2 * d - 2; ++e) {
      const int top = v[d - 1];
      for (int c = d - 1; c > 0; --c) {
        v[c] = v[c - 1];
      }
      v[0] = 0;
      for (int c = 0; c < d; ++c) {
        v[c] ^= f_.mul(top, sigma[c]);
      }
      if (e % 2 == 0) {
        int* row = q_log + static_cast<std::size_t>(e / 2 - half) * d;
        for (int c = 0; c < d; ++c) {
          row[c] = f_.log[v[c]];
        }
      }
    }
    powers_[1] = 1;
    for (int i = 1; i <= m; ++i) {
      const int* a = powers_ + static_cast<std::size_t>(i - 1) * d;
      int* out = i < m ? powers_ + static_cast<std::size_t>(i) * d : last;
      for (int k = 0; k < half; ++k) {
        out[2 * k] = f_.square(a[k]);
        if (2 * k + 1 < d) {
          out[2 * k + 1] = 0;
        }
      }
      // a_k^2 as logarithms (2n for zero), then each coefficient summed in a register.
      for (int k = half; k < d; ++k) {
        const int l2 = 2 * f_.log[a[k]];
        squares[k - half] = a[k] == 0 ? 2 * f_.n : l2 >= f_.n ? l2 - f_.n : l2;
      }
      for (int c = 0; c < d; ++c) {
        int sum = out[c];
        for (int k = half; k < d; ++k) {
          sum ^= f_.exp[squares[k - half] + q_log[static_cast<std::size_t>(k - half) * d + c]];
        }
        out[c] = sum;
      }
    }
    for (int c = 0; c < d; ++c) {
      if (last[c] != (c == 1 ? 1 : 0)) {
        return false;
      }
    }
    return split(sigma, d, 0) && count_ == d;
  }

 private:
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
    const int* logs = tb_.trace_logs.data() + static_cast<std::size_t>(j) * m;
    for (int k = 0; k < degree_; ++k) {
      int sum = 0;
      for (int i = 0; i < m; ++i) {
        const int power = powers_[static_cast<std::size_t>(i) * degree_ + k];
        sum ^= j == 0 ? power : f_.mul_log(power, logs[i]);  // beta = 1 needs no products
      }
      t[k] = sum;
    }
    return t;
  }

  // Splits poly (monic, degree d, a factor of sigma) with beta = alpha^j, alpha^(j+1), ...
  bool split(const int* poly, int d, int j) {
    if (d <= 2) {
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
      std::fill(a, a + std::max(d, degree_) + 1, 0);
      std::fill(b, b + std::max(d, degree_) + 1, 0);
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
      std::fill(y, y + std::max(d, degree_) + 1, 0);
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

  // Roots of x + c, or of x^2 + a x + b through y = x / a: y^2 + y = b / a^2, whose solution
  // y0 (when there is one) comes from the code's linear solver; the roots are a y0, a y0 + a.
  bool small(const int* poly, int d) {
    if (d == 1) {
      return add(poly[0]);
    }
    const int a = poly[1];
    const int b = poly[0];
    if (a == 0 || b == 0) {
      return false;  // a double root, or the root 0
    }
    const int la = f_.log[a];
    int lc = f_.log[b] - 2 * la;  // log of b / a^2
    while (lc < 0) {
      lc += f_.n;
    }
    const int c = f_.exp[lc];
    int y = 0;
    for (int shift = 0; shift < f_.m; shift += 8) {
      y ^= tb_.quadratic[static_cast<std::size_t>(shift / 8) * 256 + ((c >> shift) & 0xFF)];
    }
    if ((f_.square(y) ^ y) != c) {
      return false;  // trace of c is 1: no root in the field
    }
    const int root = f_.mul_log(y, la);
    return add(root) && add(root ^ a);
  }

  const bch_code_tables& tb_;
  const field f_;  // a copy, so that stores through int pointers cannot touch it
  scratch& mem_;
  int* roots_;
  int capacity_;
  int count_ = 0;
  int* powers_ = nullptr;  // x^(2^i) mod sigma, m rows of degree_ coefficients
  int* traces_ = nullptr;  // Tr(alpha^j x) mod sigma, m rows, made as needed
  std::uint32_t made_ = 0;
  int degree_ = 0;  // degree of sigma
};

}  // namespace

void bch_build_locator_tables(bch_code_tables& tb) {
  const int n = tb.n;
  const int m = tb.m;
  const int words = (tb.t * m + 63) / 64;
  const auto stride = static_cast<std::size_t>(words);
  tb.syndrome_words = words;
  tb.syndrome_nibbles.assign(static_cast<std::size_t>(2 * tb.ecc_bytes) * 16 * stride, 0);
  std::vector<std::uint64_t> share(stride);
  for (int q = 0; q < 2 * tb.ecc_bytes; ++q) {
    const int byte = q / 2;
    for (int b = 0; b < 4; ++b) {
      // Bit k of byte `byte` is the coefficient of x^power; pad bits have none.
      const int k = b + (q % 2 == 0 ? 4 : 0);
      const long power = 8L * (tb.ecc_bytes - 1 - byte) + k - tb.pad_bits;
      if (power < 0) {
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
      for (int v = 0; v < 16; ++v) {
        if ((v >> b) & 1) {
          std::uint64_t* entry =
              &tb.syndrome_nibbles[(static_cast<std::size_t>(q) * 16 + v) * stride];
          for (int w = 0; w < words; ++w) {
            entry[w] ^= share[w];
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
}

int bch_locate_errors(const bch_code_tables& tb, const std::uint8_t* remainder, long limit,
                      int* positions) {
  const field f{tb.exp.data(), tb.log.data(), tb.n, tb.m};
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
  syndromes(tb, f, remainder, s);
  const int length = berlekamp_massey(f, s, t, lambda, b, tmp, cap);
  if (length < 1 || length > t || degree(lambda, cap) != length) {
    return -1;
  }
  // sigma(x) = x^L lambda(1/x) = prod (x - X_l) has the error locators X_l = alpha^position
  // as its roots; lambda(0) = 1 makes it monic.
  for (int k = 0; k <= length; ++k) {
    sigma[k] = lambda[length - k];
  }
  root_finder finder(tb, f, mem, roots, length);
  if (!finder.find(sigma, length)) {
    return -1;
  }
  for (int i = 0; i < length; ++i) {
    const int position = tb.log[roots[i]];
    if (position >= limit) {
      return -1;
    }
    positions[i] = position;
  }
  return length;
}
