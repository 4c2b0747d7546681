// Internals of the error-correction engine, shared by its sources, its tests and its benchmark:
// the tables a built code carries, the field and generator polynomial, the parity kernels
// (portable slicing, x86-64 carry-less folding) with their run-time choice, and the error
// locator.
#pragma once

#include "codec/codec.h"  // bch_code, bch_code_options

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint16_t, std::uint64_t
#include <string>   // std::string
#include <vector>   // std::vector

inline constexpr int kCodecMinDegree = 5;   // smallest field degree the engine takes
inline constexpr int kCodecMaxDegree = 20;  // largest field degree the engine takes
inline constexpr int kCodecMaxWords = 16;   // 64-bit words of the widest parity
inline constexpr int kCodecMaxParity = 64 * kCodecMaxWords;    // parity bits, 1024
inline constexpr int kCodecMaxEccBytes = kCodecMaxParity / 8;  // bytes of the widest parity
inline constexpr std::size_t kSliceTableWords = 8 * 256;       // entries of the 8 slicing tables
// Largest byte_powers table a code carries (bch_code_tables); wider codes re-encode instead.
inline constexpr std::size_t kPowerTableBytes = 256 * 1024;
// Largest t for which decoding tries two to four errors directly (bch_few_errors).
inline constexpr int kFewErrorsMaxT = 16;
// ceil(t m / 64) at most: t = 511 at m = 10 is the most that 1024 parity bits allow.
inline constexpr int kCodecMaxSyndromeWords = 80;

struct bch_code_tables;

// Reverses the bits within each byte of v.
inline std::uint64_t bch_reverse_bits_in_bytes(std::uint64_t v) {
  v = ((v >> 1) & 0x5555555555555555u) | ((v & 0x5555555555555555u) << 1);
  v = ((v >> 2) & 0x3333333333333333u) | ((v & 0x3333333333333333u) << 2);
  return ((v >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((v & 0x0F0F0F0F0F0F0F0Fu) << 4);
}

// Computes the parity of `bytes` data bytes, with the code's bit order and mask applied to the
// input, as the left-aligned remainder: `words` 64-bit words, the coefficient of x^(r-1) in bit
// 63 of word words-1, x^0 in bit 64*words-r of word 0, every bit below it zero. The mask
// enters as inverted input: with erased_ff the kernel returns parity(NOT data); the caller
// inverts the result, since parity XOR NOT parity(all 0xFF) = NOT parity(NOT data).
// REQUIRES: the tables built by bch_code_init; `data` readable for `bytes` bytes.
using bch_parity_kernel = void (*)(const bch_code_tables& tables, const std::uint8_t* data,
                                   std::size_t bytes, std::uint64_t* aligned);

// Carries a parity as the kernels leave it (aligned, `words` words) on over `bytes` more data
// bytes, with the same bit order and mask: afterwards it is the parity of the data the kernel
// took followed by these. The portable kernel's table steps, one per eight bytes and one per
// byte left over: for the few bytes of a message's second piece.
// REQUIRES: the tables built; `data` readable for `bytes` bytes.
void bch_parity_continue(const bch_code_tables& tables, const std::uint8_t* data, std::size_t bytes,
                         std::uint64_t* aligned);

// Words of the carry-less kernels' state for a parity of `words` words: more than the parity,
// so that a state word times a constant below x^r fits; at least 8, so that a block is 64
// bytes; a multiple of 4, so that the 256-bit kernel takes whole registers.
constexpr int bch_fold_words(int words) {
  return words + 1 < 8 ? 8 : (words + 4) / 4 * 4;
}

// The same for the 512-bit kernel, whose registers take eight words: a multiple of 8.
constexpr int bch_fold_words_512(int words) {
  return (words + 8) / 8 * 8;
}

// Blocks of bch_fold_words words that the carry-less kernel's main loop takes per step: each
// block is moved up by its own constants, so that only one multiplication per step depends
// on the step before.
inline constexpr int kFoldSpan = 4;

// Which parity kernel a code uses: slicing tables, PCLMULQDQ on 128-bit registers, or
// VPCLMULQDQ on 256-bit or 512-bit ones. automatic takes the fastest that the processor runs.
enum class bch_kernel { automatic, portable, clmul, clmul_wide, clmul_512 };

struct bch_code_tables {
  int m = 0;               // field degree
  int t = 0;               // correctable errors
  int n = 0;               // 2^m - 1
  int r = 0;               // parity bits, degree of g
  int words = 0;           // ceil(r / 64)
  int ecc_bytes = 0;       // ceil(r / 8)
  int pad_bits = 0;        // 8 * ecc_bytes - r unused bits
  bool pad_start = false;  // unused bits lead the first logical byte, not end the last
  // Logical bit q of the ECC string, counted from the last byte's least significant bit,
  // holds x^(q - parity_shift): pad_bits with the unused bits at the end, else 0.
  int parity_shift = 0;
  bool lsb_first = false;                    // bit order option
  std::uint64_t invert = 0;                  // all ones with the erased_ff mask, else zero
  std::vector<std::uint8_t> ecc_xor;         // xor_bytes: XORed on the stored bytes; else empty
  int pad_byte = 0;                          // the stored ECC byte that holds the unused bits
  std::uint8_t pad_real = 0xFF;              // its bits that are parity, as stored
  std::uint32_t polynomial = 0;              // the field's primitive polynomial
  bch_kernel kernel = bch_kernel::portable;  // the kernel chosen, never automatic
  bch_parity_kernel parity = nullptr;

  std::vector<std::uint64_t> generator;  // g - x^r, words words, bit i = coefficient of x^i
  // Portable kernel: slices[(k * 256 + v) * words ...] = v(x) x^(8k + r) mod g, left-aligned.
  std::vector<std::uint64_t> slices;
  // Carry-less kernels, whose state has W = bch_fold_words(words) words (bch_fold_words_512
  // for clmul_512), taken in pairs
  // (j = 2q, 2q + 1) of P = W / 2: for k = 1 ... kFoldSpan,
  // fold[(((k - 1) * words + c) * P + q) * 2 + j % 2] = word c of x^(64 (j + k W)) mod g;
  // finish[(c * P + q) * 2 + j % 2] = word c of x^(64 j + r) mod g. barrett holds
  // floor(x^(r + 64) / g) without its top term x^64.
  std::vector<std::uint64_t> fold;
  std::vector<std::uint64_t> finish;
  std::uint64_t barrett = 0;

  // GF(2^m): exp[i] = alpha^(i mod n) for 0 <= i < 2n and 0 for 2n <= i <= 4n; log[x] = i
  // with alpha^i = x for 1 <= x <= n, and log[0] = 2n, so that exp[log a + log b] is the
  // product of a and b, zero included, without a test.
  // While 2n fits 16 bits (m <= 15) they are held as exp16 and log16, and exp and log are
  // empty; otherwise the other way round.
  std::vector<int> exp;
  std::vector<int> log;
  std::vector<std::uint16_t> exp16;
  std::vector<std::uint16_t> log16;
  // The odd syndromes S_1, S_3, ... S_(2t-1) are linear in the remainder's bits: for each
  // nibble q of the ecc_bytes remainder bytes (q = 0: high nibble of byte 0) and value v,
  // syndrome_nibbles[(q * 16 + v) * syndrome_words ...] holds their share, packed m bits each,
  // S_(2i+1) at bits i*m ... i*m + m-1.
  int syndrome_words = 0;  // ceil(t * m / 64)
  std::vector<std::uint64_t> syndrome_nibbles;
  // The same shares of S_1 alone (bits 0 ... 31) and S_3 (bits 32 ... 63), compact, for the
  // test of a single error: first_syndromes[q * 16 + v]; empty where few_syndromes serves it.
  std::vector<std::uint64_t> first_syndromes;
  // For 4 <= t <= kFewErrorsMaxT and m <= 16, the shares of S_1, S_3, S_5 and S_7 in 16 bits each
  // (S_1 lowest), for the direct solution of two to four errors: few_syndromes[q * 16 + v]; else
  // empty.
  std::vector<std::uint64_t> few_syndromes;
  // For 5 <= t <= kFewErrorsMaxT and m <= 16, the shares of S_9 the same way, which checks four
  // errors found from the first four; else empty.
  std::vector<std::uint16_t> ninth_syndromes;
  // trace_logs[j * m + i] = j * 2^i mod n: the logarithm of (alpha^j)^(2^i), j, i = 0 ... m-1.
  std::vector<int> trace_logs;
  // With GFNI and AVX-512 and m <= 16: the bit matrices for GF2P8AFFINEQB of multiplying by
  // each element's low byte (entries 0 ... 255), by its high byte (256 ... 511), and of
  // squaring (512), four 64-bit words each (see codec_gfni.cpp); else empty.
  std::vector<std::uint64_t> gfni;
  // With carry-less multiplication and m <= 16: product_fold[h] = h(x) x^m mod p and
  // product_fold[256 + h] = h(x) x^(m + 8) mod p for h below 256, which reduce a product's
  // upper bits; else empty (see bch_sum_products).
  std::vector<std::uint16_t> product_fold;
  bool product_wide = false;  // bch_sum_products may use 256-bit registers (VPCLMULQDQ, AVX2)
  // For checking a correction without encoding again: byte_powers[v * words ...] =
  // x^(r + 8 v) mod g, v = 0 ... max_data_bytes - 1, and overflow_powers[o * words ...] =
  // o(x) x^r mod g for o < 128, bit i of the words the coefficient of x^i. Both empty when
  // byte_powers would pass kPowerTableBytes; corrections are then checked by encoding again.
  std::vector<std::uint64_t> byte_powers;
  std::vector<std::uint64_t> overflow_powers;
  // A linear solver of y^2 + y = c: y = XOR over the bytes u of c of quadratic[u * 256 + byte],
  // a solution whenever c has trace 0 (there is none otherwise).
  std::vector<int> quadratic;
  // For m <= 16: cubic[beta] = a root of z^3 + z + beta, 0 where there is none (cubic[0] = 1);
  // else empty, and quartics are solved by elimination.
  std::vector<std::uint16_t> cubic;
};

// c(x) x^j modulo the field polynomial (its x^m term included), c of degree below m.
inline std::uint32_t bch_times_x_power(std::uint32_t c, int j, std::uint32_t polynomial, int m) {
  for (int k = 0; k < j; ++k) {
    c <<= 1;
    if ((c >> m) & 1) {
      c ^= polynomial;
    }
  }
  return c;
}

// Checks that `polynomial` (bit i = coefficient of x^i) has degree m and is primitive: it is
// irreducible (Rabin's test) and x has order 2^m - 1. Returns "" or a one-line message.
// REQUIRES: m in kCodecMinDegree ... kCodecMaxDegree.
std::string bch_check_polynomial(int m, std::uint32_t polynomial);

// Degree of the generator polynomial of the t-error code on GF(2^m): the size of the union of
// the cyclotomic classes of 1, 3, ..., 2t - 1 modulo 2^m - 1. Stops counting past `limit`, and
// returns limit + 1 then. REQUIRES: m in 5 ... 20, 1 <= t, 2t < 2^m - 1.
int bch_generator_degree(int m, int t, int limit);

// Fills tables.exp and tables.log for GF(2^m) on `polynomial` (layout in bch_code_tables).
// REQUIRES: tables.m and tables.n set; bch_check_polynomial(m, polynomial) is "".
void bch_build_field(bch_code_tables& tables, std::uint32_t polynomial);

// The generator polynomial on the field in tables.exp and tables.log: g[i] = coefficient of
// x^i, i = 0 ... r, the product of the distinct minimal polynomials of alpha^1, alpha^3, ...,
// alpha^(2t-1), each multiplied out over the field and checked to lie over GF(2). Empty when a
// product does not (which a primitive polynomial never allows).
// REQUIRES: tables.m, t, n, exp and log set (the int tables); bch_generator_degree(m, t, ...)
// within kCodecMaxParity.
std::vector<int> bch_build_generator(const bch_code_tables& tables);

// Builds the code as bch_code_init does, with the parity kernel given. Fails with a one-line
// message when the parameters are invalid or when the kernel does not run here.
status bch_code_init_with_kernel(bch_code& code, int m, int t, bch_code_options options,
                                 bch_kernel kernel);

// The kernel that a built code uses, never automatic; portable for a code not built.
bch_kernel bch_code_kernel(const bch_code& code);

// "automatic", "portable", "clmul", "clmul_wide" or "clmul_512".
const char* bch_kernel_name(bch_kernel kernel);

// Fills generator, slices, fold, finish and barrett from g (g[i] = coefficient of x^i,
// i = 0 ... r), and sets kernel and parity for `kernel` (automatic: clmul_512, clmul_wide,
// clmul,
// else portable, whichever runs first). Returns false when the kernel asked for does not run.
// REQUIRES: m, t, r, words, ecc_bytes, lsb_first and invert set.
bool bch_build_parity_tables(bch_code_tables& tables, const int* g, bch_kernel kernel);

// Fills byte_powers and overflow_powers for data of up to max_data_bytes bytes, or clears them
// when that would pass kPowerTableBytes. REQUIRES: r, words and generator set.
void bch_build_power_tables(bch_code_tables& tables, std::size_t max_data_bytes);

// Whether flipping the received word's powers positions[0 ... count-1] (0 ... r-1 parity,
// r ... data, each below r + 8 max_data_bytes, distinct) makes it a codeword: each flip changes
// its remainder modulo g by x^p mod g, so the flips must cancel `remainder` (ecc_bytes logical
// bytes as for bch_locate_errors). This checks a correction by the code's generator alone,
// apart from the syndromes and the locator that proposed it.
// REQUIRES: byte_powers built (not empty).
bool bch_flips_cancel(const bch_code_tables& tables, const std::uint8_t* remainder,
                      const int* positions, int count);

// True when this build has the kernel and the processor runs it (always for automatic and
// portable).
bool bch_kernel_supported(bch_kernel kernel);

// The carry-less kernel (clmul, clmul_wide or clmul_512) for `words` parity words (1 ...
// kCodecMaxWords) and the bit order; nullptr when the build or the processor has none.
bch_parity_kernel bch_clmul_kernel(bch_kernel kernel, int words, bool lsb_first);

// Fills syndrome_words, syndrome_nibbles, trace_logs and quadratic from exp and log, then for
// m <= 15 moves exp and log to exp16 and log16.
// REQUIRES: m, t, n, r, ecc_bytes, parity_shift, exp and log set.
void bch_build_locator_tables(bch_code_tables& tables);

// Finds the errors of a received word from its remainder modulo g, given as the ecc_bytes
// logical ECC bytes (most significant bit first, laid out as the code's parity with its unused
// bits zero): syndromes,
// Berlekamp-Massey, then the roots of the locator over the whole field. On success writes the
// error positions (powers of x in the received word: 0 ... r-1 parity, r ... data) to
// positions[0 ... count-1], distinct and each below `limit`, and returns count (1 ... t).
// Returns -1 when the locator's degree exceeds t or differs from its register length, when it
// does not split into distinct roots in the field, or when a root lies at or beyond `limit`.
// A locator that passes these checks explains every syndrome, so the positions make the word a
// codeword; the caller still encodes again, so that the codeword is checked, not assumed.
// REQUIRES: the tables built; remainder not all zero; positions has room for t entries.
int bch_locate_errors(const bch_code_tables& tables, const std::uint8_t* remainder, long limit,
                      int* positions);

// The position of the single error that would explain the remainder (as for
// bch_locate_errors), from S_1 and, for t >= 2, S_3 = S_1^3; -1 when there is none below
// `limit`. Some patterns of more errors pass this test too: the caller corrects and verifies
// by encoding again, and goes on to bch_locate_errors when that fails.
// REQUIRES: the tables built; remainder not all zero.
int bch_single_error(const bch_code_tables& tables, const std::uint8_t* remainder, long limit);

// The positions of two to four errors that would explain S_1, S_3, S_5 and S_7 (from t = 5
// on also S_9, whenever S_7 went into the solution), solved directly (Newton's identities)
// instead of by Berlekamp-Massey: as for bch_locate_errors, with count 2 ... 4. Returns -1 when
// those syndromes are not those of two to four errors at distinct positions below `limit`, or when
// tables.few_syndromes is empty (t < 4, t > kFewErrorsMaxT or m > 16). For t = 4 these are all the
// syndromes, and the answer is bch_locate_errors' whenever that finds two to four errors; beyond,
// more errors may pass, so the caller corrects, verifies by encoding again, and goes on to
// bch_locate_errors when that fails.
// REQUIRES: the tables built; positions has room for 4 entries.
int bch_few_errors(const bch_code_tables& tables, const std::uint8_t* remainder, long limit,
                   int* positions);

// S_1, S_3, S_5 and S_7 of the remainder, 16 bits each, S_1 lowest, as few_syndromes packs
// them: one pass over the remainder that bch_single_error_of and bch_few_errors_of share.
// REQUIRES: tables.few_syndromes not empty.
std::uint64_t bch_early_syndromes(const bch_code_tables& tables, const std::uint8_t* remainder);

// bch_single_error on the early syndromes of the same remainder.
// REQUIRES: tables.few_syndromes not empty.
int bch_single_error_of(const bch_code_tables& tables, std::uint64_t early, long limit);

// bch_few_errors on the early syndromes of `remainder` (which S_9, when needed, still comes
// from). REQUIRES: tables.few_syndromes not empty; positions has room for 4 entries.
int bch_few_errors_of(const bch_code_tables& tables, std::uint64_t early,
                      const std::uint8_t* remainder, long limit, int* positions);

// True when this build has the GFNI root-finding path and the processor runs it.
bool bch_gfni_supported();

// Fills tables.gfni when m <= 16 and bch_gfni_supported(); clears it otherwise.
// REQUIRES: m and polynomial set.
void bch_build_gfni_tables(bch_code_tables& tables);

// Fills tables.product_fold when m <= 16 and the processor multiplies without carries; clears
// it otherwise. REQUIRES: m and polynomial set.
void bch_build_product_tables(bch_code_tables& tables);

// out[c] ^= sum over k < rows of s[k] * q[k * stride + c] in GF(2^m), for c < d: the locator's
// matrix products in one pass, the products summed unreduced. Returns false, and changes
// nothing, when tables.product_fold is empty.
// REQUIRES: every s[k] and q entry below 2^m; q[k * stride + c] readable for k < rows, c < d.
bool bch_sum_products(const bch_code_tables& tables, const int* s, int rows, const int* q,
                      std::size_t stride, int d, int* out);

// Solves a factor of degree d <= 4 (coefficients[0 ... d], monic) for the GFNI root finder,
// adding its roots to the caller's; false when it has not d distinct nonzero roots.
using bch_small_roots = bool (*)(void* context, const int* coefficients, int d);

// The trace algorithm on GFNI: splits sigma (monic, degree d, 5 ... 127) down to factors of
// degree 4 or less and hands each to `solve`. Returns 1 when sigma has d distinct roots in the
// field and every factor was solved, 0 when not, -1 when the path is not there (tables.gfni
// empty, or d out of range), and then calls nothing.
int bch_gfni_roots(const bch_code_tables& tables, const int* sigma, int d, bch_small_roots solve,
                   void* context);

// Berlekamp-Massey on GFNI, as the locator's own: s[1 ... 2t] the syndromes (values, not
// logarithms), lambda with room for 2t + 3 coefficients. Returns the register length L with
// lambda[0 ... *degree] the connection polynomial, -1 when the correction term would overflow
// (2t + 3 coefficients), or -2 when the path is not taken (tables.gfni empty, t below 16, or
// 2t + 3 > 128).
int bch_gfni_berlekamp_massey(const bch_code_tables& tables, const int* s, int t, int* lambda,
                              int* degree);

// The locator's root finder alone: the roots of a monic polynomial sigma (sigma[d] = 1) of
// degree d, 1 ... t, into roots[0 ... d-1]. Returns d when sigma has d distinct nonzero roots
// in the field, else -1 (roots then undefined). For the tests, which hold it against a search.
int bch_find_roots(const bch_code_tables& tables, const int* sigma, int d, int* roots);
