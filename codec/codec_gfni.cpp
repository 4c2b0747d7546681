// The locator's heavy parts on x86-64 processors with GFNI and AVX-512: Berlekamp-Massey, and
// the trace algorithm's powers x^(2^i) mod sigma, traces and Euclidean splits. Coefficients of
// GF(2^m), m <= 16, lie in two byte planes; multiplying a whole polynomial by one element is a
// GF(2)-linear map of each coefficient, which GF2P8AFFINEQB applies to 64 bytes at once. The
// functions carry their own target attributes; the processor is asked at run time.
#include "codec/codec_internal.h"  // bch_code_tables, bch_gfni_roots

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint16_t, std::uint64_t
#include <cstring>  // std::memset
#include <memory>   // std::unique_ptr
#include <new>      // std::nothrow
#include <utility>  // std::swap

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define PAGOLINTH_CODEC_GFNI 1
// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined value, which
// -Wuninitialized reports where they are inlined; the report points into the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>  // _mm512_gf2p8affine_epi64_epi8, _mm512_permutexvar_epi64, ...
#pragma GCC diagnostic pop
#else
#define PAGOLINTH_CODEC_GFNI 0
#endif

namespace {

// The four 8 x 8 bit matrices of the linear map whose column j (input bit j) is col[j]:
// out[2 o + s] takes input byte s to output byte o, row b (output bit 8 o + b) in byte 7 - b,
// as GF2P8AFFINEQB reads them.
void matrices(const std::uint32_t* col, std::uint64_t* out) {
  for (int o = 0; o < 2; ++o) {
    for (int s = 0; s < 2; ++s) {
      std::uint64_t a = 0;
      for (int b = 0; b < 8; ++b) {
        std::uint64_t row = 0;
        for (int jj = 0; jj < 8; ++jj) {
          row |= static_cast<std::uint64_t>((col[8 * s + jj] >> (8 * o + b)) & 1) << jj;
        }
        a |= row << (8 * (7 - b));
      }
      out[2 * o + s] = a;
    }
  }
}

}  // namespace

void bch_build_gfni_tables(bch_code_tables& tb) {
  tb.gfni.clear();
  if (tb.m > 16 || !bch_gfni_supported()) {
    return;
  }
  // gfni[4 v ...]: multiplication by v (v < 256), gfni[4 (256 + v) ...]: by v x^8, so that the
  // matrices of c are the XOR of those of its two bytes; gfni[4 * 512 ...]: squaring.
  tb.gfni.assign(4 * 513, 0);
  std::uint64_t basis[16][4];
  for (int k = 0; k < tb.m; ++k) {
    std::uint32_t col[16] = {};
    for (int j = 0; j < tb.m; ++j) {
      col[j] = bch_times_x_power(std::uint32_t{1} << k, j, tb.polynomial, tb.m);
    }
    matrices(col, basis[k]);
  }
  for (int v = 0; v < 512; ++v) {
    const int low = v < 256 ? v : 0;
    const int high = v < 256 ? 0 : v - 256;
    const std::uint32_t element = static_cast<std::uint32_t>(low) | static_cast<std::uint32_t>(high)
                                                                        << 8;
    for (int k = 0; k < tb.m; ++k) {
      if ((element >> k) & 1) {
        for (int q = 0; q < 4; ++q) {
          tb.gfni[4 * static_cast<std::size_t>(v) + q] ^= basis[k][q];
        }
      }
    }
  }
  std::uint32_t square[16] = {};
  for (int j = 0; j < tb.m; ++j) {
    square[j] = bch_times_x_power(1, 2 * j, tb.polynomial, tb.m);
  }
  matrices(square, &tb.gfni[4 * 512]);
}

#if PAGOLINTH_CODEC_GFNI

#define CODEC_GFNI_TARGET __attribute__((target("gfni,avx512f,avx512bw,avx512vbmi,avx2")))
#define CODEC_GFNI_INLINE inline __attribute__((always_inline))

namespace {

constexpr int kChunks = 2;                  // 64-coefficient registers per plane
constexpr int kCapacity = 64 * kChunks;     // coefficients of a polynomial
constexpr int kGuard = kCapacity;           // zero bytes before each plane, for shifted loads
constexpr int kPlane = kGuard + kCapacity;  // bytes of a plane

// A polynomial of degree below kCapacity in two planes: coefficient k has the bytes lo(k),
// hi(k). Every byte outside the polynomial's degree is zero, guard included, so that shifted
// and whole-register operations read zeros there.
struct alignas(64) vpoly {
  std::uint8_t lo_plane[kPlane];
  std::uint8_t hi_plane[kPlane];
  std::uint8_t* lo() { return lo_plane + kGuard; }
  std::uint8_t* hi() { return hi_plane + kGuard; }
  const std::uint8_t* lo() const { return lo_plane + kGuard; }
  const std::uint8_t* hi() const { return hi_plane + kGuard; }
  int at(int k) const { return lo()[k] | hi()[k] << 8; }
  void set(int k, int v) {
    lo()[k] = static_cast<std::uint8_t>(v);
    hi()[k] = static_cast<std::uint8_t>(v >> 8);
  }
};

// The polynomial in registers: lo[c], hi[c] hold coefficients 64 c ... 64 c + 63.
struct vregs {
  __m512i lo[kChunks];
  __m512i hi[kChunks];
};

// Loads the polynomial times x^shift (shift 0 ... kCapacity - 1): the guard supplies zeros.
CODEC_GFNI_TARGET CODEC_GFNI_INLINE void load(const vpoly& p, vregs& r, int shift = 0) {
  for (int c = 0; c < kChunks; ++c) {
    r.lo[c] = _mm512_loadu_si512(p.lo() + 64 * c - shift);
    r.hi[c] = _mm512_loadu_si512(p.hi() + 64 * c - shift);
  }
}

CODEC_GFNI_TARGET CODEC_GFNI_INLINE void store(const vregs& r, vpoly& p) {
  for (int c = 0; c < kChunks; ++c) {
    _mm512_store_si512(p.lo() + 64 * c, r.lo[c]);
    _mm512_store_si512(p.hi() + 64 * c, r.hi[c]);
  }
}

CODEC_GFNI_TARGET CODEC_GFNI_INLINE void clear(vregs& r) {
  for (int c = 0; c < kChunks; ++c) {
    r.lo[c] = _mm512_setzero_si512();
    r.hi[c] = _mm512_setzero_si512();
  }
}

// acc += the polynomial x with each coefficient mapped by the matrices m (four qwords).
CODEC_GFNI_TARGET CODEC_GFNI_INLINE void add_mapped(const std::uint64_t* m, const vregs& x,
                                                    vregs& acc) {
  const __m512i ll = _mm512_set1_epi64(static_cast<long long>(m[0]));
  const __m512i lh = _mm512_set1_epi64(static_cast<long long>(m[1]));
  const __m512i hl = _mm512_set1_epi64(static_cast<long long>(m[2]));
  const __m512i hh = _mm512_set1_epi64(static_cast<long long>(m[3]));
  for (int c = 0; c < kChunks; ++c) {
    const __m512i lo = _mm512_xor_si512(_mm512_gf2p8affine_epi64_epi8(x.lo[c], ll, 0),
                                        _mm512_gf2p8affine_epi64_epi8(x.hi[c], lh, 0));
    const __m512i hi = _mm512_xor_si512(_mm512_gf2p8affine_epi64_epi8(x.lo[c], hl, 0),
                                        _mm512_gf2p8affine_epi64_epi8(x.hi[c], hh, 0));
    acc.lo[c] = _mm512_xor_si512(acc.lo[c], lo);
    acc.hi[c] = _mm512_xor_si512(acc.hi[c], hi);
  }
}

// Degree of the polynomial in registers, -1 for zero.
CODEC_GFNI_TARGET CODEC_GFNI_INLINE int degree(const vregs& r) {
  for (int c = kChunks - 1; c >= 0; --c) {
    const std::uint64_t nonzero =
        _mm512_test_epi8_mask(_mm512_or_si512(r.lo[c], r.hi[c]), _mm512_set1_epi8(-1));
    if (nonzero != 0) {
      return 64 * c + 63 - __builtin_clzll(nonzero);
    }
  }
  return -1;
}

// x times the polynomial: every coefficient one place up, across the registers.
CODEC_GFNI_TARGET CODEC_GFNI_INLINE void shift_up(const vregs& x, vregs& out) {
  const __m512i up = _mm512_set_epi8(62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47,
                                     46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31,
                                     30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                     14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0);
  // Byte 0 of chunk c comes from byte 63 of chunk c - 1 (index 63 of the first table).
  const __m512i carry =
      _mm512_set_epi8(126, 125, 124, 123, 122, 121, 120, 119, 118, 117, 116, 115, 114, 113, 112,
                      111, 110, 109, 108, 107, 106, 105, 104, 103, 102, 101, 100, 99, 98, 97, 96,
                      95, 94, 93, 92, 91, 90, 89, 88, 87, 86, 85, 84, 83, 82, 81, 80, 79, 78, 77,
                      76, 75, 74, 73, 72, 71, 70, 69, 68, 67, 66, 65, 64, 63);
  out.lo[0] = _mm512_maskz_permutexvar_epi8(~std::uint64_t{1}, up, x.lo[0]);
  out.hi[0] = _mm512_maskz_permutexvar_epi8(~std::uint64_t{1}, up, x.hi[0]);
  for (int c = 1; c < kChunks; ++c) {
    out.lo[c] = _mm512_permutex2var_epi8(x.lo[c - 1], carry, x.lo[c]);
    out.hi[c] = _mm512_permutex2var_epi8(x.hi[c - 1], carry, x.hi[c]);
  }
}

// Coefficients 0 ... 31 (half = 0) or 32 ... 63 (half = 1) of a register moved to the even
// places of a register, the odd ones zero: c_k goes to place 2 (k - 32 half).
CODEC_GFNI_TARGET CODEC_GFNI_INLINE __m512i spread(__m512i v, int half) {
  const __m512i order = half == 0 ? _mm512_set_epi64(0, 3, 0, 2, 0, 1, 0, 0)
                                  : _mm512_set_epi64(0, 7, 0, 6, 0, 5, 0, 4);
  return _mm512_unpacklo_epi8(_mm512_permutexvar_epi64(order, v), _mm512_setzero_si512());
}

// Vector polynomials the finder may take: rows (fewer than kCapacity / 2), powers 0 ... m,
// traces, sigma, scratch, and six per level of splitting, m + 1 levels at most; m <= 16.
constexpr int kPoolSize = kCapacity / 2 + 2 * 16 + 3 + 6 * 18;

// The finder's vector polynomials: one pool per thread, made and zeroed on first use and kept,
// since zeroing them on every call cost a tenth of locating 40 errors. Nothing writes a
// guard, so the guards stay zero; every coefficient is written before it is read. nullptr
// when memory runs out.
vpoly* thread_pool() {
  thread_local std::unique_ptr<vpoly[]> pool;
  if (!pool) {
    vpoly* fresh = new (std::nothrow) vpoly[kPoolSize];
    if (fresh == nullptr) {
      return nullptr;
    }
    std::memset(static_cast<void*>(fresh), 0, sizeof(vpoly) * kPoolSize);
    pool.reset(fresh);
  }
  return pool.get();
}

// The trace algorithm of codec_locate.cpp on vector polynomials: powers of x by squaring,
// traces, and splits by Euclid's algorithm, each step a whole-polynomial operation.
class gfni_finder {
 public:
  gfni_finder(const bch_code_tables& tb, bch_small_roots solve, void* context)
      : tb_(tb), tables_(tb.gfni.data()), solve_(solve), context_(context) {
    std::memset(static_cast<void*>(&pair_), 0, sizeof pair_);  // its guard is read as zeros
  }

  CODEC_GFNI_TARGET int run(const int* sigma, int d) {
    const int m = tb_.m;
    const int half = (d + 1) / 2;
    const int rows = d - half;
    free_ = thread_pool();
    if (free_ == nullptr) {
      return -1;
    }
    end_ = free_ + kPoolSize;
    vpoly* q = take(rows);
    vpoly* powers = take(m + 1);
    traces_ = take(m);
    vpoly* sig = take(1);
    clear_coefficients(*sig);
    for (int k = 0; k <= d; ++k) {
      sig->set(k, sigma[k]);
    }
    vregs s;
    load(*sig, s);

    // Rows x^(2k) mod sigma for k = half ... d-1, by x^e = x x^(e-1), whose x^d term cancels
    // against that multiple of sigma (monic).
    vregs v;
    clear(v);
    vpoly* scratch = take(1);
    clear_coefficients(*scratch);
    scratch->set(d - 1, 1);
    load(*scratch, v);
    int top = 1;
    for (int e = d; e <= 2 * d - 2; ++e) {
      vregs next;
      shift_up(v, next);
      add_times(top, s, next);
      v = next;
      store(v, *scratch);
      top = scratch->at(d - 1);
      if (e % 2 == 0) {
        store(v, q[e / 2 - half]);
      }
    }

    // Squaring takes a_k to a_k^2 x^(2k): the squares of all coefficients at once, the low half
    // spread to the even places, the high half through the rows.
    const std::uint64_t* square = tables_ + 4 * 512;
    const __m512i low_half = _mm512_maskz_mov_epi8(
        half >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << half) - 1, _mm512_set1_epi8(-1));
    clear_coefficients(powers[0]);
    powers[0].set(1, 1);
    for (int i = 1; i <= m; ++i) {
      vregs a;
      load(powers[i - 1], a);
      vregs sq;
      clear(sq);
      add_mapped(square, a, sq);
      store(sq, *scratch);
      vregs acc;
      const __m512i lo = _mm512_and_si512(sq.lo[0], low_half);
      const __m512i hi = _mm512_and_si512(sq.hi[0], low_half);
      acc.lo[0] = spread(lo, 0);
      acc.hi[0] = spread(hi, 0);
      acc.lo[1] = spread(lo, 1);
      acc.hi[1] = spread(hi, 1);
      for (int k = half; k < d; ++k) {
        const int c = scratch->at(k);
        if (c != 0) {
          vregs row;
          load(q[k - half], row);
          add_times(c, row, acc);
        }
      }
      store(acc, powers[i]);
    }
    // sigma splits into distinct linear factors exactly when x^(2^m) = x mod sigma.
    for (int k = 0; k < d; ++k) {
      if (powers[m].at(k) != (k == 1 ? 1 : 0)) {
        return 0;
      }
    }
    // Tr(beta x) = sum over i of beta^(2^i) x^(2^i), beta = alpha^j.
    for (int j = 0; j < m; ++j) {
      vregs acc;
      clear(acc);
      const int* logs = tb_.trace_logs.data() + static_cast<std::size_t>(j) * m;
      for (int i = 0; i < m; ++i) {
        vregs x;
        load(powers[i], x);
        add_times(element(logs[i]), x, acc);
      }
      store(acc, traces_[j]);
    }
    degree_ = d;
    return split(*sig, d, 0) ? 1 : 0;
  }

 private:
  // n vpolys from the pool, their guards zero, their coefficients as the last call left them.
  vpoly* take(int n) {
    vpoly* p = free_;
    free_ += n;
    return p;
  }

  CODEC_GFNI_TARGET static void clear_coefficients(vpoly& p) {
    vregs r;
    clear(r);
    store(r, p);
  }

  // to = from, coefficients only: the guards are zero in both.
  CODEC_GFNI_TARGET static void copy(const vpoly& from, vpoly& to) {
    vregs r;
    load(from, r);
    store(r, to);
  }

  int element(int log) const { return tb_.exp16.empty() ? tb_.exp[log] : tb_.exp16[log]; }
  int logarithm(int e) const { return tb_.exp16.empty() ? tb_.log[e] : tb_.log16[e]; }

  // acc += e * x, for a field element e.
  CODEC_GFNI_TARGET CODEC_GFNI_INLINE void add_times(int e, const vregs& x, vregs& acc) const {
    const auto* a = reinterpret_cast<const long long*>(tables_ + 4 * (e & 0xFF));
    const auto* b = reinterpret_cast<const long long*>(tables_ + 4 * (256 + (e >> 8)));
    __m512i m[4];
    for (int q = 0; q < 4; ++q) {
      m[q] = _mm512_xor_si512(_mm512_set1_epi64(a[q]), _mm512_set1_epi64(b[q]));
    }
    for (int c = 0; c < kChunks; ++c) {
      const __m512i lo = _mm512_xor_si512(_mm512_gf2p8affine_epi64_epi8(x.lo[c], m[0], 0),
                                          _mm512_gf2p8affine_epi64_epi8(x.hi[c], m[1], 0));
      const __m512i hi = _mm512_xor_si512(_mm512_gf2p8affine_epi64_epi8(x.lo[c], m[2], 0),
                                          _mm512_gf2p8affine_epi64_epi8(x.hi[c], m[3], 0));
      acc.lo[c] = _mm512_xor_si512(acc.lo[c], lo);
      acc.hi[c] = _mm512_xor_si512(acc.hi[c], hi);
    }
  }

  // a mod b in place, a of degree da, b monic of degree db; returns the remainder's degree.
  // With `quotient` (zero on entry), also the quotient a div b. Each elimination waits for the
  // one before, through the coefficient it reads: on longer reductions two are made at once
  // with the pair row x b + b[db-1] b, whose x^db term is zero, so that the two leading
  // coefficients are read together.
  CODEC_GFNI_TARGET int reduce(vpoly& a, int da, const vpoly& b, int db,
                               vpoly* quotient = nullptr) {
    vregs r;
    load(a, r);
    int e = da;
    if (da - db >= 3) {
      vregs row;
      load(b, row);
      vregs pair;
      shift_up(row, pair);
      const int below = b.at(db - 1);
      add_times(below, row, pair);
      store(pair, pair_);
      for (; e > db; e -= 2) {
        const int high = a.at(e);
        const int low = a.at(e - 1);
        vregs shifted;
        load(pair_, shifted, e - 1 - db);
        add_times(high, shifted, r);
        load(b, shifted, e - 1 - db);
        add_times(low, shifted, r);
        store(r, a);
        if (quotient != nullptr) {
          // high x^(s+1) b + (low + high b[db-1]) x^s b was taken away, s = e - 1 - db.
          quotient->set(e - db, high);
          quotient->set(e - 1 - db, low ^ multiply(high, below));
        }
      }
    }
    for (; e >= db; --e) {
      const int c = a.at(e);
      if (c != 0) {
        vregs shifted;
        load(b, shifted, e - db);
        add_times(c, shifted, r);
        store(r, a);
        if (quotient != nullptr) {
          quotient->set(e - db, c);
        }
      }
    }
    return degree(r);
  }

  int multiply(int x, int y) const {
    if (x == 0 || y == 0) {
      return 0;
    }
    return element(logarithm(x) + logarithm(y));
  }

  // p times the inverse of its leading coefficient, in place.
  CODEC_GFNI_TARGET void make_monic(vpoly& p, int dp) const {
    const int lead = p.at(dp);
    if (lead == 1) {
      return;
    }
    vregs x;
    load(p, x);
    vregs out;
    clear(out);
    add_times(element(tb_.n - logarithm(lead)), x, out);
    store(out, p);
  }

  // Splits poly (monic, degree d, a factor of sigma) with beta = alpha^j, alpha^(j+1), ...;
  // factors of degree 4 or less go to the small solver. `hint`, when not null, is
  // Tr(alpha^j x) modulo a multiple of poly, of degree hint_degree: the parent's, from which
  // the reduction is shorter than from the trace modulo sigma.
  CODEC_GFNI_TARGET bool split(const vpoly& poly, int d, int j, const vpoly* hint = nullptr,
                               int hint_degree = 0) {
    if (d <= 4) {
      int coefficients[5];
      for (int k = 0; k <= d; ++k) {
        coefficients[k] = poly.at(k);
      }
      return solve_(context_, coefficients, d);
    }
    vpoly* const mark = free_;
    if (end_ - free_ < 6) {
      return false;
    }
    vpoly* next = take(1);
    vpoly* b = take(1);
    vpoly* x = take(1);
    vpoly* y = take(1);
    vpoly* quotient = take(1);
    vpoly* factor = take(1);
    for (; j < tb_.m; ++j) {
      // b = Tr(beta x) mod poly; gcd(poly, b) by Euclid's algorithm.
      copy(hint != nullptr ? *hint : traces_[j], *b);
      int db = hint != nullptr ? hint_degree : degree_ - 1;
      hint = nullptr;
      while (db >= 0 && b->at(db) == 0) {
        --db;
      }
      if (db >= d) {
        db = reduce(*b, db, poly, d);
      }
      if (db <= 0) {
        continue;  // the trace is constant on every root: no split
      }
      copy(poly, *x);
      copy(*b, *y);
      vpoly* u = x;
      vpoly* w = y;
      int du = d;
      int dw = db;
      while (dw >= 0) {
        make_monic(*w, dw);
        du = reduce(*u, du, *w, dw);
        std::swap(u, w);
        std::swap(du, dw);
      }
      if (du <= 0 || du >= d) {
        continue;
      }
      make_monic(*u, du);
      copy(*u, *factor);
      // quotient = poly / factor, exact; the remainder is worked out in y's place.
      copy(poly, *y);
      clear_coefficients(*quotient);
      reduce(*y, d, *factor, du, quotient);
      // Both parts start from the next trace modulo this poly, reduced once for the two.
      int dn = -1;
      if (j + 1 < tb_.m && d > 8) {
        copy(traces_[j + 1], *next);
        dn = reduce(*next, degree_ - 1, poly, d);
      }
      const vpoly* h = dn >= 0 ? next : nullptr;
      const bool ok = split(*factor, du, j + 1, h, dn) && split(*quotient, d - du, j + 1, h, dn);
      free_ = mark;
      return ok;
    }
    free_ = mark;
    return false;
  }

  const bch_code_tables& tb_;
  const std::uint64_t* tables_;
  bch_small_roots solve_;
  void* context_;
  vpoly* free_ = nullptr;
  vpoly* end_ = nullptr;
  vpoly* traces_ = nullptr;  // Tr(alpha^j x) mod sigma, j = 0 ... m-1
  vpoly pair_;               // reduce's pair row
  int degree_ = 0;           // of sigma
};

// Berlekamp-Massey as in codec_locate.cpp, with each discrepancy read off Omega = lambda S
// instead of summed: Omega and Theta = b S follow lambda and b through the same updates, so
// that every step is a few whole-polynomial operations.
CODEC_GFNI_TARGET int berlekamp_massey(const bch_code_tables& tb, const int* s, int t,
                                       int* lambda_out, int* degree_out) {
  const std::uint64_t* tables = tb.gfni.data();
  auto add_times = [tables](int e, const vregs& x, vregs& acc) CODEC_GFNI_TARGET {
    const std::uint64_t* a = tables + 4 * (e & 0xFF);
    const std::uint64_t* b = tables + 4 * (256 + (e >> 8));
    const std::uint64_t m[4] = {a[0] ^ b[0], a[1] ^ b[1], a[2] ^ b[2], a[3] ^ b[3]};
    add_mapped(m, x, acc);
  };
  vpoly lambda;
  vpoly b;
  vpoly omega;
  vpoly theta;
  std::memset(static_cast<void*>(&lambda), 0, sizeof lambda);
  std::memset(static_cast<void*>(&b), 0, sizeof b);
  std::memset(static_cast<void*>(&omega), 0, sizeof omega);
  lambda.set(0, 1);
  b.set(0, 1);
  for (int j = 1; j <= 2 * t; ++j) {
    omega.set(j, s[j]);
  }
  theta = omega;
  const int cap = 2 * t + 3;
  int length = 0;
  int dl = 0;     // degree bound of lambda
  int db = 0;     // degree bound of the stored coefficients of b
  int shift = 0;  // b stands for x^shift times them
  for (int r = 1; r <= 2 * t; r += 2) {
    const int d = omega.at(r);
    if (d == 0) {
      if (db + shift + 2 >= cap) {
        return -1;
      }
      shift += 2;
      continue;
    }
    const int dt = db + shift + 1 > dl ? db + shift + 1 : dl;
    if (dt >= cap) {
      return -1;
    }
    vregs next_lambda;
    vregs next_omega;
    vregs moved;
    load(lambda, next_lambda);
    load(omega, next_omega);
    load(b, moved, shift + 1);
    add_times(d, moved, next_lambda);
    load(theta, moved, shift + 1);
    add_times(d, moved, next_omega);
    if (2 * length <= r - 1) {
      // b = lambda / d, then one place for the skipped even step.
      const int inverse =
          tb.exp16.empty() ? tb.exp[tb.n - tb.log[d]] : tb.exp16[tb.n - tb.log16[d]];
      vregs old;
      vregs scaled;
      load(lambda, old);
      clear(scaled);
      add_times(inverse, old, scaled);
      store(scaled, b);
      load(omega, old);
      clear(scaled);
      add_times(inverse, old, scaled);
      store(scaled, theta);
      db = dl;
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
    store(next_lambda, lambda);
    store(next_omega, omega);
    dl = dt;
  }
  for (int k = 0; k <= dl; ++k) {
    lambda_out[k] = lambda.at(k);
  }
  *degree_out = dl;
  return length;
}

}  // namespace

bool bch_gfni_supported() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("gfni") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
  }();
  return supported;
}

int bch_gfni_roots(const bch_code_tables& tb, const int* sigma, int d, bch_small_roots solve,
                   void* context) {
  if (tb.gfni.empty() || d < 9 || d >= kCapacity) {
    return -1;
  }
  gfni_finder finder(tb, solve, context);
  return finder.run(sigma, d);
}

int bch_gfni_berlekamp_massey(const bch_code_tables& tb, const int* s, int t, int* lambda,
                              int* degree) {
  // Below t = 16 the scalar form, whose products stay in the first-level cache there, is as
  // fast.
  if (tb.gfni.empty() || t < 16 || 2 * t + 3 > kCapacity) {
    return -2;
  }
  return berlekamp_massey(tb, s, t, lambda, degree);
}

#else  // no GFNI path in this build

bool bch_gfni_supported() {
  return false;
}

int bch_gfni_roots(const bch_code_tables&, const int*, int, bch_small_roots, void*) {
  return -1;
}

int bch_gfni_berlekamp_massey(const bch_code_tables&, const int*, int, int*, int*) {
  return -2;
}

#endif
