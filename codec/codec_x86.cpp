// Parity kernels for x86-64 processors with carry-less multiplication: the message is folded
// into a state wider than the parity (bch_fold_words), a whole state's width per step, as fast
// CRCs do, then reduced modulo g with a Barrett step. Three tiers: PCLMULQDQ on 128-bit
// registers, VPCLMULQDQ with AVX2, two products per instruction, and with AVX-512, four. The
// functions carry their own target attributes, so the rest of the build assumes no such
// instructions; the processor is asked at run time.
#include "codec/codec_internal.h"  // bch_code_tables, bch_parity_kernel, bch_fold_words

#include <array>    // std::array
#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint64_t
#include <utility>  // std::index_sequence, std::make_index_sequence

#if defined(__GNUC__) && defined(__x86_64__)
#define PAGOLINTH_CODEC_CLMUL 1
// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined value, which
// -Wuninitialized reports where they are inlined; the report points into the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>  // _mm_clmulepi64_si128, _mm256_ and _mm512_clmulepi64_epi128, ...
#pragma GCC diagnostic pop
#else
#define PAGOLINTH_CODEC_CLMUL 0
#endif

// The 256-bit and 512-bit tiers are left out on Windows, where GCC does not keep the stack
// 32-byte aligned for the registers it spills.
#if PAGOLINTH_CODEC_CLMUL && !defined(_WIN32)
#define PAGOLINTH_CODEC_WIDE 1
#else
#define PAGOLINTH_CODEC_WIDE 0
#endif

#if PAGOLINTH_CODEC_CLMUL

#define CODEC_SSE_TARGET __attribute__((target("pclmul,ssse3,sse4.1")))
#define CODEC_AVX2_TARGET __attribute__((target("pclmul,vpclmulqdq,avx2,ssse3,sse4.1")))
// The kernels' helpers are inlined whatever their size: a call would pass the accumulators,
// some dozen registers, through memory on every block.
#define CODEC_INLINE inline __attribute__((always_inline))
#define CODEC_AVX512_TARGET \
  __attribute__((target("pclmul,vpclmulqdq,avx512f,avx512bw,avx2,ssse3,sse4.1")))

namespace {

// Reverses the bits within each byte, through two nibble lookups.
template <bool Reflect>
CODEC_SSE_TARGET CODEC_INLINE __m128i reflect_bytes(__m128i v) {
  if (!Reflect) {
    return v;
  }
  const __m128i low_nibbles = _mm_set1_epi8(0x0F);
  const __m128i reversed_low =
      _mm_setr_epi8(0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF);
  const __m128i reversed_high = _mm_slli_epi16(reversed_low, 4);
  const __m128i lo = _mm_and_si128(v, low_nibbles);
  const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), low_nibbles);
  return _mm_or_si128(_mm_shuffle_epi8(reversed_high, lo), _mm_shuffle_epi8(reversed_low, hi));
}

// Loads 8 W bytes as the polynomial of W words (W even), the first byte's top bit the highest
// coefficient, paired into registers: word 2q in the low lane of out[q], word 2q + 1 in the
// high lane. `invert` is XORed into the bytes as read.
template <int W, bool Reflect>
CODEC_SSE_TARGET CODEC_INLINE void load_block(const std::uint8_t* p, __m128i invert, __m128i* out) {
  const __m128i reverse16 = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  for (int q = 0; q < W / 2; ++q) {
    // Word 2q + 1 comes first in memory, word 2q right after it.
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8 * (W - 2 - 2 * q)));
    out[q] = reflect_bytes<Reflect>(_mm_shuffle_epi8(_mm_xor_si128(raw, invert), reverse16));
  }
}

// acc[c] += sum over the W words a_j of `words` of a_j * (word c of K_j), acc[c] at word
// offset c, with the constants laid out as in bch_code_tables::fold.
template <int R, int W>
CODEC_SSE_TARGET CODEC_INLINE void multiply_into(const __m128i* words,
                                                 const std::uint64_t* constants, __m128i* acc) {
  // Highest words first: only the low words of the state depend on the step before.
  for (int q = W / 2 - 1; q >= 0; --q) {
    for (int c = 0; c < R; ++c) {
      const __m128i k =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(constants + (c * (W / 2) + q) * 2));
      acc[c] = _mm_xor_si128(acc[c], _mm_xor_si128(_mm_clmulepi64_si128(words[q], k, 0x11),
                                                   _mm_clmulepi64_si128(words[q], k, 0x00)));
    }
  }
}

// The R + 1 words that acc[0 ... R-1] add up to, paired as the state is, the higher pairs zero.
template <int R, int W>
CODEC_SSE_TARGET CODEC_INLINE void combine(const __m128i* acc, __m128i* out) {
  for (int q = 0; q < W / 2; ++q) {
    __m128i v = 2 * q < R ? acc[2 * q] : _mm_setzero_si128();
    if (2 * q + 1 < R) {
      v = _mm_xor_si128(v, _mm_slli_si128(acc[2 * q + 1], 8));
    }
    if (2 * q >= 1 && 2 * q - 1 < R) {
      v = _mm_xor_si128(v, _mm_srli_si128(acc[2 * q - 1], 8));
    }
    out[q] = v;
  }
}

CODEC_SSE_TARGET CODEC_INLINE __m128i clmul_words(std::uint64_t a, std::uint64_t b) {
  return _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(a)),
                              _mm_cvtsi64_si128(static_cast<long long>(b)), 0x00);
}

CODEC_SSE_TARGET CODEC_INLINE std::uint64_t low_word(__m128i v) {
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
}

CODEC_SSE_TARGET CODEC_INLINE std::uint64_t high_word(__m128i v) {
  return static_cast<std::uint64_t>(_mm_extract_epi64(v, 1));
}

// The left-aligned parity of T mod g, T = sum over c of acc[c] x^(64 c), of degree below
// r + 64.
template <int R, int W>
CODEC_SSE_TARGET CODEC_INLINE void reduce_parity(const bch_code_tables& tb, const __m128i* acc,
                                                 std::uint64_t* aligned) {
  __m128i t_pairs[W / 2];
  combine<R, W>(acc, t_pairs);
  std::uint64_t t[W];
  for (int q = 0; q < W / 2; ++q) {
    t[2 * q] = low_word(t_pairs[q]);
    t[2 * q + 1] = high_word(t_pairs[q]);
  }
  // Barrett: H = T div x^r has 64 bits, q = floor(H x^r / g) = H + floor(H mu / x^64), and
  // T mod g = (T + q g) mod x^r.
  const int r = tb.r;
  const int w = r / 64;
  const int sh = r % 64;
  std::uint64_t high = t[w] >> sh;
  if (sh != 0) {
    high |= t[w + 1] << (64 - sh);
  }
  const std::uint64_t quotient = high ^ high_word(clmul_words(high, tb.barrett));
  std::uint64_t p[R];
  for (int c = 0; c < R; ++c) {
    p[c] = t[c];
  }
  for (int c = 0; c < R; ++c) {
    const __m128i prod = clmul_words(quotient, tb.generator[c]);
    p[c] ^= low_word(prod);
    if (c + 1 < R) {
      p[c + 1] ^= high_word(prod);
    }
  }
  if (sh != 0) {
    p[R - 1] &= (std::uint64_t{1} << sh) - 1;
  }
  const int align = 64 * R - r;
  for (int c = R - 1; c >= 0; --c) {
    aligned[c] = align == 0 ? p[c] : (p[c] << align) | (c > 0 ? p[c - 1] >> (64 - align) : 0);
  }
}

// The left-aligned parity of a state A of W words, paired: A x^r mod g.
template <int R, int W>
CODEC_SSE_TARGET CODEC_INLINE void finish_parity(const bch_code_tables& tb, const __m128i* state,
                                                 std::uint64_t* aligned) {
  // A x^r is congruent to T = sum a_j (x^(64 j + r) mod g), of degree below r + 64.
  __m128i acc[R];
  for (int c = 0; c < R; ++c) {
    acc[c] = _mm_setzero_si128();
  }
  multiply_into<R, W>(state, tb.finish.data(), acc);
  reduce_parity<R, W>(tb, acc, aligned);
}

// The leading bytes that do not fill a block, zero-extended upwards, as a block; the mask goes
// onto those bytes only.
template <int W>
inline std::size_t head_block(const bch_code_tables& tb, const std::uint8_t* data,
                              std::size_t bytes, std::uint8_t* first) {
  constexpr std::size_t kBlock = 8 * W;
  const std::size_t head = bytes % kBlock;
  const auto flip = static_cast<std::uint8_t>(tb.invert);
  for (std::size_t i = 0; i < kBlock - head; ++i) {
    first[i] = 0;
  }
  for (std::size_t i = 0; i < head; ++i) {
    first[kBlock - head + i] = static_cast<std::uint8_t>(data[i] ^ flip);
  }
  return head;
}

template <int R, bool Reflect>
CODEC_SSE_TARGET void clmul_parity(const bch_code_tables& tb, const std::uint8_t* data,
                                   std::size_t bytes, std::uint64_t* aligned) {
  constexpr int kState = bch_fold_words(R);
  constexpr int kPairs = kState / 2;
  constexpr std::size_t kBlock = 8 * kState;
  constexpr std::size_t kSet = static_cast<std::size_t>(kPairs) * R * 2;  // words per shift
  const std::uint64_t* fold = tb.fold.data();
  const __m128i invert = _mm_set1_epi64x(static_cast<long long>(tb.invert));

  __m128i state[kPairs];
  std::uint8_t first[kBlock];
  std::size_t i = head_block<kState>(tb, data, bytes, first);
  if (i == 0 && bytes != 0) {
    // Whole blocks only: the first is the state, not a zero state folded over it.
    load_block<kState, Reflect>(data, invert, state);
    i = kBlock;
  } else {
    load_block<kState, Reflect>(first, _mm_setzero_si128(), state);
  }
  // S x^(64 W span) + sum of the blocks B_u x^(64 W (span-1-u)): every block but the last is
  // moved up by its own constants, the state by those of the whole span, last.
  for (; bytes - i >= kFoldSpan * kBlock; i += kFoldSpan * kBlock) {
    __m128i acc[R];
    for (int c = 0; c < R; ++c) {
      acc[c] = _mm_setzero_si128();
    }
    __m128i block[kPairs];
    for (int u = 0; u + 1 < kFoldSpan; ++u) {
      load_block<kState, Reflect>(data + i + u * kBlock, invert, block);
      multiply_into<R, kState>(block, fold + (kFoldSpan - 2 - u) * kSet, acc);
    }
    multiply_into<R, kState>(state, fold + (kFoldSpan - 1) * kSet, acc);
    load_block<kState, Reflect>(data + i + (kFoldSpan - 1) * kBlock, invert, block);
    combine<R, kState>(acc, state);
    for (int q = 0; q < kPairs; ++q) {
      state[q] = _mm_xor_si128(state[q], block[q]);
    }
  }
  for (; i < bytes; i += kBlock) {
    __m128i acc[R];
    for (int c = 0; c < R; ++c) {
      acc[c] = _mm_setzero_si128();
    }
    multiply_into<R, kState>(state, fold, acc);
    __m128i block[kPairs];
    load_block<kState, Reflect>(data + i, invert, block);
    combine<R, kState>(acc, state);
    for (int q = 0; q < kPairs; ++q) {
      state[q] = _mm_xor_si128(state[q], block[q]);
    }
  }
  finish_parity<R, kState>(tb, state, aligned);
}

#if PAGOLINTH_CODEC_WIDE

template <bool Reflect>
CODEC_AVX2_TARGET CODEC_INLINE __m256i reflect_bytes(__m256i v) {
  if (!Reflect) {
    return v;
  }
  const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
  const __m256i reversed_low = _mm256_setr_epi8(
      0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF, 0x0, 0x8, 0x4,
      0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF);
  const __m256i reversed_high = _mm256_slli_epi16(reversed_low, 4);
  const __m256i lo = _mm256_and_si256(v, low_nibbles);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibbles);
  return _mm256_or_si256(_mm256_shuffle_epi8(reversed_high, lo),
                         _mm256_shuffle_epi8(reversed_low, hi));
}

// As load_block, four words to a register: words 4u ... 4u + 3 in out[u], lowest first.
template <int W, bool Reflect>
CODEC_AVX2_TARGET CODEC_INLINE void load_block(const std::uint8_t* p, __m256i invert,
                                               __m256i* out) {
  const __m256i reverse16 = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                                             15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  for (int u = 0; u < W / 4; ++u) {
    const __m256i raw =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8 * (W - 4 - 4 * u)));
    // Reversing each 16-byte half leaves words 4u + 2, 4u + 3 low and 4u, 4u + 1 high.
    const __m256i halves = _mm256_shuffle_epi8(_mm256_xor_si256(raw, invert), reverse16);
    out[u] = reflect_bytes<Reflect>(_mm256_permute4x64_epi64(halves, 0x4E));
  }
}

template <int R, int W>
CODEC_AVX2_TARGET CODEC_INLINE void multiply_into(const __m256i* words,
                                                  const std::uint64_t* constants, __m256i* acc) {
  for (int u = W / 4 - 1; u >= 0; --u) {
    for (int c = 0; c < R; ++c) {
      const __m256i k = _mm256_loadu_si256(
          reinterpret_cast<const __m256i*>(constants + (c * (W / 2) + 2 * u) * 2));
      acc[c] =
          _mm256_xor_si256(acc[c], _mm256_xor_si256(_mm256_clmulepi64_epi128(words[u], k, 0x11),
                                                    _mm256_clmulepi64_epi128(words[u], k, 0x00)));
    }
  }
}

// One step's end: the R sums, each in two halves, added up; the new low words as in the
// 128-bit kernel; the last block on top.
template <int R, int W>
CODEC_AVX2_TARGET CODEC_INLINE void wide_step(const __m256i* acc, const __m256i* last,
                                              __m256i* state) {
  __m128i sums[R];
  for (int c = 0; c < R; ++c) {
    sums[c] = _mm_xor_si128(_mm256_castsi256_si128(acc[c]), _mm256_extracti128_si256(acc[c], 1));
  }
  __m128i pairs[W / 2];
  combine<R, W>(sums, pairs);
  for (int u = 0; u < W / 4; ++u) {
    state[u] = _mm256_xor_si256(_mm256_set_m128i(pairs[2 * u + 1], pairs[2 * u]), last[u]);
  }
}

template <int R, bool Reflect>
CODEC_AVX2_TARGET void clmul_wide_parity(const bch_code_tables& tb, const std::uint8_t* data,
                                         std::size_t bytes, std::uint64_t* aligned) {
  constexpr int kState = bch_fold_words(R);
  constexpr int kQuads = kState / 4;
  constexpr int kPairs = kState / 2;
  constexpr std::size_t kBlock = 8 * kState;
  constexpr std::size_t kSet = static_cast<std::size_t>(kPairs) * R * 2;
  const std::uint64_t* fold = tb.fold.data();
  const __m256i invert = _mm256_set1_epi64x(static_cast<long long>(tb.invert));

  __m256i state[kQuads];
  std::uint8_t first[kBlock];
  std::size_t i = head_block<kState>(tb, data, bytes, first);
  if (i == 0 && bytes != 0) {
    // Whole blocks only: the first is the state, not a zero state folded over it.
    load_block<kState, Reflect>(data, invert, state);
    i = kBlock;
  } else {
    load_block<kState, Reflect>(first, _mm256_setzero_si256(), state);
  }
  for (; bytes - i >= kFoldSpan * kBlock; i += kFoldSpan * kBlock) {
    __m256i acc[R];
    for (int c = 0; c < R; ++c) {
      acc[c] = _mm256_setzero_si256();
    }
    __m256i block[kQuads];
    for (int u = 0; u + 1 < kFoldSpan; ++u) {
      load_block<kState, Reflect>(data + i + u * kBlock, invert, block);
      multiply_into<R, kState>(block, fold + (kFoldSpan - 2 - u) * kSet, acc);
    }
    multiply_into<R, kState>(state, fold + (kFoldSpan - 1) * kSet, acc);
    load_block<kState, Reflect>(data + i + (kFoldSpan - 1) * kBlock, invert, block);
    wide_step<R, kState>(acc, block, state);
  }
  for (; i < bytes; i += kBlock) {
    __m256i acc[R];
    for (int c = 0; c < R; ++c) {
      acc[c] = _mm256_setzero_si256();
    }
    multiply_into<R, kState>(state, fold, acc);
    __m256i block[kQuads];
    load_block<kState, Reflect>(data + i, invert, block);
    wide_step<R, kState>(acc, block, state);
  }
  __m128i pairs[kPairs];
  for (int u = 0; u < kQuads; ++u) {
    pairs[2 * u] = _mm256_castsi256_si128(state[u]);
    pairs[2 * u + 1] = _mm256_extracti128_si256(state[u], 1);
  }
  finish_parity<R, kState>(tb, pairs, aligned);
}

template <bool Reflect>
CODEC_AVX512_TARGET CODEC_INLINE __m512i reflect_bytes(__m512i v) {
  if (!Reflect) {
    return v;
  }
  const __m512i low_nibbles = _mm512_set1_epi8(0x0F);
  const __m512i reversed_low = _mm512_broadcast_i32x4(_mm_setr_epi8(
      0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF));
  const __m512i reversed_high = _mm512_slli_epi16(reversed_low, 4);
  const __m512i lo = _mm512_and_si512(v, low_nibbles);
  const __m512i hi = _mm512_and_si512(_mm512_srli_epi16(v, 4), low_nibbles);
  return _mm512_or_si512(_mm512_shuffle_epi8(reversed_high, lo),
                         _mm512_shuffle_epi8(reversed_low, hi));
}

// As load_block, eight words to a register: words 8u ... 8u + 7 in out[u], lowest first.
template <int W, bool Reflect>
CODEC_AVX512_TARGET CODEC_INLINE void load_block(const std::uint8_t* p, __m512i invert,
                                                 __m512i* out) {
  const __m512i reverse16 =
      _mm512_broadcast_i32x4(_mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
  for (int u = 0; u < W / 8; ++u) {
    const __m512i raw = _mm512_loadu_si512(p + 8 * (W - 8 - 8 * u));
    // Reversing each 16-byte lane, then the order of the lanes, reverses all 64 bytes.
    const __m512i lanes = _mm512_shuffle_epi8(_mm512_xor_si512(raw, invert), reverse16);
    out[u] = reflect_bytes<Reflect>(_mm512_shuffle_i64x2(lanes, lanes, 0x1B));
  }
}

template <int R, int W>
CODEC_AVX512_TARGET CODEC_INLINE void multiply_into(const __m512i* words,
                                                    const std::uint64_t* constants, __m512i* acc) {
  for (int u = W / 8 - 1; u >= 0; --u) {
    for (int c = 0; c < R; ++c) {
      const __m512i k = _mm512_loadu_si512(constants + (c * (W / 2) + 4 * u) * 2);
      acc[c] =
          _mm512_xor_si512(acc[c], _mm512_xor_si512(_mm512_clmulepi64_epi128(words[u], k, 0x11),
                                                    _mm512_clmulepi64_epi128(words[u], k, 0x00)));
    }
  }
}

// One step's end: the R sums, each in four lanes, added up; the new low words as in the
// 128-bit kernel; the last block on top.
template <int R, int W>
CODEC_AVX512_TARGET CODEC_INLINE void step_512(const __m512i* acc, const __m512i* last,
                                               __m512i* state) {
  __m128i sums[R];
  for (int c = 0; c < R; ++c) {
    const __m256i half =
        _mm256_xor_si256(_mm512_castsi512_si256(acc[c]), _mm512_extracti64x4_epi64(acc[c], 1));
    sums[c] = _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
  }
  __m128i pairs[W / 2];
  combine<R, W>(sums, pairs);
  for (int u = 0; u < W / 8; ++u) {
    __m512i v = _mm512_castsi128_si512(pairs[4 * u]);
    v = _mm512_inserti32x4(v, pairs[4 * u + 1], 1);
    v = _mm512_inserti32x4(v, pairs[4 * u + 2], 2);
    v = _mm512_inserti32x4(v, pairs[4 * u + 3], 3);
    state[u] = _mm512_xor_si512(v, last[u]);
  }
}

template <int R, bool Reflect>
CODEC_AVX512_TARGET void clmul_512_parity(const bch_code_tables& tb, const std::uint8_t* data,
                                          std::size_t bytes, std::uint64_t* aligned) {
  constexpr int kState = bch_fold_words_512(R);
  constexpr int kOctets = kState / 8;
  constexpr std::size_t kBlock = 8 * kState;
  constexpr std::size_t kSet = static_cast<std::size_t>(kState / 2) * R * 2;
  const std::uint64_t* fold = tb.fold.data();
  const __m512i invert = _mm512_set1_epi64(static_cast<long long>(tb.invert));

  __m512i state[kOctets];
  std::uint8_t first[kBlock];
  std::size_t i = head_block<kState>(tb, data, bytes, first);
  if (i == 0 && bytes != 0) {
    // Whole blocks only: the first is the state, not a zero state folded over it.
    load_block<kState, Reflect>(data, invert, state);
    i = kBlock;
  } else {
    load_block<kState, Reflect>(first, _mm512_setzero_si512(), state);
  }
  for (; bytes - i >= kFoldSpan * kBlock; i += kFoldSpan * kBlock) {
    __m512i acc[R];
    for (int c = 0; c < R; ++c) {
      acc[c] = _mm512_setzero_si512();
    }
    __m512i block[kOctets];
    for (int u = 0; u + 1 < kFoldSpan; ++u) {
      load_block<kState, Reflect>(data + i + u * kBlock, invert, block);
      multiply_into<R, kState>(block, fold + (kFoldSpan - 2 - u) * kSet, acc);
    }
    multiply_into<R, kState>(state, fold + (kFoldSpan - 1) * kSet, acc);
    load_block<kState, Reflect>(data + i + (kFoldSpan - 1) * kBlock, invert, block);
    step_512<R, kState>(acc, block, state);
  }
  for (; i < bytes; i += kBlock) {
    __m512i acc[R];
    for (int c = 0; c < R; ++c) {
      acc[c] = _mm512_setzero_si512();
    }
    multiply_into<R, kState>(state, fold, acc);
    __m512i block[kOctets];
    load_block<kState, Reflect>(data + i, invert, block);
    step_512<R, kState>(acc, block, state);
  }
  // The state times x^r, as in finish_parity, four products to an instruction.
  __m512i acc[R];
  for (int c = 0; c < R; ++c) {
    acc[c] = _mm512_setzero_si512();
  }
  multiply_into<R, kState>(state, tb.finish.data(), acc);
  __m128i sums[R];
  for (int c = 0; c < R; ++c) {
    const __m256i half =
        _mm256_xor_si256(_mm512_castsi512_si256(acc[c]), _mm512_extracti64x4_epi64(acc[c], 1));
    sums[c] = _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
  }
  reduce_parity<R, kState>(tb, sums, aligned);
}

#endif  // PAGOLINTH_CODEC_WIDE

template <bool Reflect, std::size_t... I>
constexpr std::array<bch_parity_kernel, sizeof...(I)> narrow_kernels(std::index_sequence<I...>) {
  return {&clmul_parity<static_cast<int>(I) + 1, Reflect>...};
}

constexpr auto kNarrow = std::array<std::array<bch_parity_kernel, kCodecMaxWords>, 2>{
    narrow_kernels<false>(std::make_index_sequence<kCodecMaxWords>()),
    narrow_kernels<true>(std::make_index_sequence<kCodecMaxWords>())};

#if PAGOLINTH_CODEC_WIDE
template <bool Reflect, std::size_t... I>
constexpr std::array<bch_parity_kernel, sizeof...(I)> wide_kernels(std::index_sequence<I...>) {
  return {&clmul_wide_parity<static_cast<int>(I) + 1, Reflect>...};
}

constexpr auto kWide = std::array<std::array<bch_parity_kernel, kCodecMaxWords>, 2>{
    wide_kernels<false>(std::make_index_sequence<kCodecMaxWords>()),
    wide_kernels<true>(std::make_index_sequence<kCodecMaxWords>())};

template <bool Reflect, std::size_t... I>
constexpr std::array<bch_parity_kernel, sizeof...(I)> kernels_512(std::index_sequence<I...>) {
  return {&clmul_512_parity<static_cast<int>(I) + 1, Reflect>...};
}

constexpr auto k512 = std::array<std::array<bch_parity_kernel, kCodecMaxWords>, 2>{
    kernels_512<false>(std::make_index_sequence<kCodecMaxWords>()),
    kernels_512<true>(std::make_index_sequence<kCodecMaxWords>())};
#endif

}  // namespace

bool bch_kernel_supported(bch_kernel kernel) {
  static const bool narrow = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3") &&
           __builtin_cpu_supports("sse4.1");
  }();
  static const bool wide = [] {
    __builtin_cpu_init();
    return PAGOLINTH_CODEC_WIDE && narrow && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("vpclmulqdq");
  }();
  static const bool widest = [] {
    __builtin_cpu_init();
    return PAGOLINTH_CODEC_WIDE && wide && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw");
  }();
  switch (kernel) {
    case bch_kernel::clmul:
      return narrow;
    case bch_kernel::clmul_wide:
      return wide;
    case bch_kernel::clmul_512:
      return widest;
    default:
      return true;
  }
}

bch_parity_kernel bch_clmul_kernel(bch_kernel kernel, int words, bool lsb_first) {
  if (words < 1 || words > kCodecMaxWords || !bch_kernel_supported(kernel)) {
    return nullptr;
  }
  if (kernel == bch_kernel::clmul) {
    return kNarrow[lsb_first ? 1 : 0][words - 1];
  }
#if PAGOLINTH_CODEC_WIDE
  if (kernel == bch_kernel::clmul_wide) {
    return kWide[lsb_first ? 1 : 0][words - 1];
  }
  if (kernel == bch_kernel::clmul_512) {
    return k512[lsb_first ? 1 : 0][words - 1];
  }
#endif
  return nullptr;
}

#else  // no carry-less kernels in this build

bool bch_kernel_supported(bch_kernel kernel) {
  return kernel == bch_kernel::automatic || kernel == bch_kernel::portable;
}

bch_parity_kernel bch_clmul_kernel(bch_kernel, int, bool) {
  return nullptr;
}

#endif
