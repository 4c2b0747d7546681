// Polynomials over GF(2) as bit vectors in 64-bit words, for recovering a BCH code from the
// words it wrote: greatest common divisors of long words, division by small polynomials, the
// primitivity test, and the generator of the t-error code on a given field polynomial, all
// independent of the engine and of the construction library.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint32_t, std::uint64_t
#include <string>   // std::string
#include <vector>   // std::vector

// Bit i of word i / 64 (bit i % 64) is the coefficient of x^i. Zero words above the top term
// are allowed everywhere; the zero polynomial may be empty.
using gf2_poly = std::vector<std::uint64_t>;

// Degree of `a`; -1 for the zero polynomial.
int poly_degree(const gf2_poly& a);

// Exponent of the largest power of x dividing `a`; -1 for the zero polynomial.
int poly_trailing_zeros(const gf2_poly& a);

// a / x^bits, the low `bits` coefficients dropped. bits >= 0.
void poly_shift_right(gf2_poly& a, int bits);

// a * x^bits. bits >= 0.
gf2_poly poly_shift_left(const gf2_poly& a, int bits);

// `bytes` bytes read as one bit string, the first byte's first bit the highest coefficient:
// each byte from its most significant bit, or from its least with lsb_first. The result has
// degree below 8 * bytes.
gf2_poly poly_from_bytes(const std::uint8_t* bytes, std::size_t count, bool lsb_first);

// Keeps only the coefficients of x^0 ... x^(bits - 1). bits >= 0.
void poly_truncate(gf2_poly& a, int bits);

// a XOR b.
void poly_add(gf2_poly& a, const gf2_poly& b);

// The remainder of a by b. REQUIRES: b is not zero (otherwise returns a unchanged).
gf2_poly poly_mod(gf2_poly a, const gf2_poly& b);

// The product a * b.
gf2_poly poly_mul(const gf2_poly& a, const gf2_poly& b);

// Greatest common divisor (monic by nature over GF(2)); gcd(0, 0) is 0.
gf2_poly poly_gcd(gf2_poly a, gf2_poly b);

// True when `d` divides `a`; the zero polynomial divides only zero.
bool poly_divides(const gf2_poly& d, const gf2_poly& a);

// The remainder of a by the small polynomial p of degree m (1 ... 31; bit i = x^i).
std::uint32_t poly_mod_small(const gf2_poly& a, std::uint32_t p, int m);

// Lowest 64 bits as a number, for small polynomials.
std::uint64_t poly_low_word(const gf2_poly& a);

// The polynomial in hex, most significant digit first, as many digits as its degree needs
// ("0" for zero).
std::string poly_hex(const gf2_poly& a);

// True when p, of degree exactly m (2 ... 20), is primitive: x has order 2^m - 1 modulo p
// (which makes p irreducible too). False for any other degree.
bool poly_is_primitive(std::uint32_t p, int m);

// The generator of the binary BCH code on GF(2^m) built from the primitive p, correcting t
// errors: the product of the distinct minimal polynomials of alpha^1 ... alpha^(2t), alpha a
// root of p. Empty when m is outside 2 ... 20, p is not primitive of degree m, or t < 1 or
// 2t >= 2^m - 1.
gf2_poly bch_generator(int m, std::uint32_t p, int t);

// How many of alpha^1, alpha^2, ... in a row are roots of g, alpha a root of the primitive p of
// degree m (2 ... 20): the designed distance minus one of a BCH code whose generator g is.
// 0 when alpha is no root; at most 2^m - 2.
int consecutive_roots(const gf2_poly& g, int m, std::uint32_t p);
