// Sums of products in GF(2^m), m <= 16, for the root finder's powers and traces on x86-64
// processors with carry-less multiplication: the products of a row are summed unreduced, two
// in each 64-bit word, and reduced once per sum, where the tables would take one lookup per
// product. The functions carry their own target attributes; the processor is asked at run time.
#include "codec/codec_internal.h"  // bch_code_tables, bch_sum_products

#include <algorithm>  // std::min
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint16_t, std::uint32_t

#if defined(__GNUC__) && defined(__x86_64__)
#define PAGOLINTH_CODEC_PRODUCTS 1
#include <immintrin.h>  // _mm_clmulepi64_si128, _mm_loadu_si128, ...
#else
#define PAGOLINTH_CODEC_PRODUCTS 0
#endif

namespace {

#if PAGOLINTH_CODEC_PRODUCTS

// out[w] ^= sums[w] reduced modulo the field polynomial, w < width: each sum's bits from x^m up
// folded back through the two tables.
inline void add_reduced(const std::uint16_t* fold, int m, const std::uint32_t* sums, int width,
                        int* out) {
  const std::uint32_t low = (std::uint32_t{1} << m) - 1;
  for (int w = 0; w < width; ++w) {
    const std::uint32_t high = sums[w] >> m;
    out[w] ^= static_cast<int>((sums[w] & low) ^ fold[high & 0xFF] ^ fold[256 + (high >> 8)]);
  }
}

bool products_supported() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return supported;
}

// out[w] ^= the sum for column w < width (1 ... 4) of the rows q[k * stride ...]: the products
// of a row's four columns with s[k] in two carry-less multiplications. Each product of two
// elements below 2^16 has 31 bits at most: the two in a word, 32 bits apart, stay apart.
// Inlined, so that a caller with AVX2 encodes it as its own.
__attribute__((target("pclmul,sse4.1"), always_inline)) inline void four_columns(
    const std::uint16_t* fold, int m, const int* s, int rows, const int* q, std::size_t stride,
    int width, int* out) {
  __m128i even = _mm_setzero_si128();  // sums 0 and 1 in the low word
  __m128i odd = _mm_setzero_si128();   // sums 2 and 3 in the low word
  for (int k = 0; k < rows; ++k) {
    const int* from = q + static_cast<std::size_t>(k) * stride;
    __m128i v;
    if (width == 4) {
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    } else {
      // The last columns are read no further than the row goes.
      int part[4] = {0, 0, 0, 0};
      for (int w = 0; w < width; ++w) {
        part[w] = from[w];
      }
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(part));
    }
    const __m128i sk = _mm_cvtsi32_si128(s[k]);
    even = _mm_xor_si128(even, _mm_clmulepi64_si128(sk, v, 0x00));
    odd = _mm_xor_si128(odd, _mm_clmulepi64_si128(sk, v, 0x10));
  }
  alignas(16) std::uint32_t sums[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(sums), _mm_unpacklo_epi64(even, odd));
  add_reduced(fold, m, sums, width, out);
}

__attribute__((target("pclmul,sse4.1"))) void sum_products(const std::uint16_t* fold, int m,
                                                           const int* s, int rows, const int* q,
                                                           std::size_t stride, int d, int* out) {
  for (int c = 0; c < d; c += 4) {
    four_columns(fold, m, s, rows, q + c, stride, std::min(4, d - c), out + c);
  }
}

#if !defined(_WIN32)
// As sum_products, eight columns at a time in 256-bit registers. Left out on Windows, where GCC
// does not keep the stack 32-byte aligned for the registers it spills.
#define PAGOLINTH_CODEC_PRODUCTS_WIDE 1

bool wide_products_supported() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return products_supported() && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("vpclmulqdq");
  }();
  return supported;
}

__attribute__((target("pclmul,vpclmulqdq,avx2"))) void sum_products_wide(const std::uint16_t* fold,
                                                                         int m, const int* s,
                                                                         int rows, const int* q,
                                                                         std::size_t stride, int d,
                                                                         int* out) {
  int c = 0;
  for (; c + 8 <= d; c += 8) {
    __m256i even = _mm256_setzero_si256();  // per half: sums c, c + 1 (+ 4) in the low word
    __m256i odd = _mm256_setzero_si256();   // per half: sums c + 2, c + 3 (+ 4)
    for (int k = 0; k < rows; ++k) {
      const __m256i v = _mm256_loadu_si256(
          reinterpret_cast<const __m256i*>(q + static_cast<std::size_t>(k) * stride + c));
      const __m256i sk = _mm256_set1_epi64x(s[k]);
      even = _mm256_xor_si256(even, _mm256_clmulepi64_epi128(sk, v, 0x00));
      odd = _mm256_xor_si256(odd, _mm256_clmulepi64_epi128(sk, v, 0x10));
    }
    alignas(32) std::uint32_t sums[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums), _mm256_unpacklo_epi64(even, odd));
    add_reduced(fold, m, sums, 8, out + c);
  }
  // The last columns, fewer than eight, four at a time.
  for (; c < d; c += 4) {
    four_columns(fold, m, s, rows, q + c, stride, std::min(4, d - c), out + c);
  }
}
#else
#define PAGOLINTH_CODEC_PRODUCTS_WIDE 0
#endif

#else

bool products_supported() {
  return false;
}

void sum_products(const std::uint16_t*, int, const int*, int, const int*, std::size_t, int, int*) {}

#endif

}  // namespace

void bch_build_product_tables(bch_code_tables& tb) {
  tb.product_fold.clear();
  tb.product_wide = false;
  if (tb.m > 16 || !products_supported()) {
    return;
  }
#if PAGOLINTH_CODEC_PRODUCTS && PAGOLINTH_CODEC_PRODUCTS_WIDE
  tb.product_wide = wide_products_supported();
#endif
  // fold[h] = h(x) x^m mod p and fold[256 + h] = h(x) x^(m + 8) mod p, h of degree below 8.
  tb.product_fold.assign(512, 0);
  for (int part = 0; part < 2; ++part) {
    for (std::uint32_t h = 0; h < 256; ++h) {
      std::uint32_t sum = 0;
      for (int b = 0; b < 8; ++b) {
        if ((h >> b) & 1) {
          sum ^= bch_times_x_power(1, tb.m + 8 * part + b, tb.polynomial, tb.m);
        }
      }
      tb.product_fold[static_cast<std::size_t>(part) * 256 + h] = static_cast<std::uint16_t>(sum);
    }
  }
}

bool bch_sum_products(const bch_code_tables& tb, const int* s, int rows, const int* q,
                      std::size_t stride, int d, int* out) {
  if (tb.product_fold.empty()) {
    return false;
  }
#if PAGOLINTH_CODEC_PRODUCTS && PAGOLINTH_CODEC_PRODUCTS_WIDE
  if (tb.product_wide) {
    sum_products_wide(tb.product_fold.data(), tb.m, s, rows, q, stride, d, out);
    return true;
  }
#endif
  sum_products(tb.product_fold.data(), tb.m, s, rows, q, stride, d, out);
  return true;
}
