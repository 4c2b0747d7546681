// Binary BCH code construction: the GF(2^m) tables, the generator polynomial of the t-error-
// correcting code of length 2^m - 1, the transition matrix of its dividing shift register raised
// to a power, and hex output of bit vectors. The construction works on the module state below.
#ifndef PAGOLINTH_BCH_BCH_H_
#define PAGOLINTH_BCH_BCH_H_

#include <cstdio>  // std::FILE

// Storage limits of the module state.
inline constexpr int kBchMinDegree = 2;                   // smallest field degree mm
inline constexpr int kBchMaxDegree = 20;                  // largest field degree mm
inline constexpr int kBchFieldSize = 1 << kBchMaxDegree;  // entries of alpha_to and index_of
inline constexpr int kBchMaxParity = 999;                 // largest rr
inline constexpr int kBchMatrixSize = kBchMaxParity + 1;  // rows, columns of the matrices, gg

// Module state: one instance per process, zero at start. Set mm, nn, tt, Parallel and Verbose,
// run check_params, then generate_gf, then gen_poly. Not thread-safe.
extern int mm;        // field degree m, 2 ... 20
extern int nn;        // code length 2^mm - 1; set by the caller, never computed here
extern int kk;        // data bits nn - rr (written by gen_poly)
extern int rr;        // parity bits = degree of gg (written by gen_poly)
extern int tt;        // correctable errors, >= 1 with 2*tt < nn and rr <= 999
extern int Parallel;  // bits per encoder step; gen_poly lowers it to rr when larger
extern int Verbose;   // nonzero: construction diagnostics on standard error

// p[i] = coefficient of x^i of the primitive polynomial, i = 0 ... mm; the rest is left alone.
extern int p[kBchMaxDegree + 1];
// alpha_to[i] = alpha^i in polynomial form for 0 <= i < nn; slot nn is never written.
extern int alpha_to[kBchFieldSize];
// index_of[x] = i with alpha^i = x for 1 <= x <= nn; index_of[0] = -1.
extern int index_of[kBchFieldSize];
// gg[i] = coefficient of x^i of the generator polynomial, i = 0 ... rr, each 0 or 1.
extern int gg[kBchMatrixSize];
// One step of the shift register dividing by gg, its power Parallel, and the scratch of the
// power; [row][column], only the top-left rr x rr corner is ever written.
extern int T_G[kBchMatrixSize][kBchMatrixSize];
extern int T_G_R[kBchMatrixSize][kBchMatrixSize];
extern int T_G_R_Temp[kBchMatrixSize][kBchMatrixSize];

// Defaults for mm, tt and Parallel; no operation reads them.
inline constexpr int df_m = 13;
inline constexpr int df_t = 4;
inline constexpr int df_p = 8;

// Checks the module state that generate_gf and gen_poly read: mm in 2 ... 20, nn = 2^mm - 1,
// tt >= 1, 2*tt < nn, and at most 999 parity bits for tt. Returns nullptr when the state is
// valid, otherwise a one-line message (no line end) naming the first fault; the text stays
// valid until the next call. Writes no module state.
const char* check_params();

// Builds p, alpha_to and index_of for the field GF(2^mm) from the built-in primitive polynomial
// of degree mm, and with Verbose prints the polynomial and both tables (nn + 1 rows) on standard
// error. Reads mm, nn, Verbose. When check_params fails (it looks at tt too), changes nothing.
void generate_gf();

// The built-in primitive polynomial of field degree m that generate_gf uses, as a binary number
// (bit i = coefficient of x^i), for m in 2 ... 20; 0 for any other m. Reads no module state, so
// it may be called from any thread.
int bch_primitive_polynomial(int m);

// Builds the generator polynomial gg of the binary BCH code of length nn correcting tt errors
// (roots alpha^1 ... alpha^(2*tt) and their conjugates), sets rr and kk, and with Verbose prints
// gg on standard error. Then lowers Parallel to rr when larger and builds T_G and
// T_G_R = T_G^max(Parallel, 1); T_G_R_Temp ends equal to T_G_R when Parallel > 1 and is not
// touched otherwise. When check_params fails, changes nothing.
// REQUIRES: generate_gf has run for the current mm (otherwise gg is meaningless, though no
// table is read or written out of bounds).
void gen_poly();

// Writes the bit vector v (v[i] = coefficient of x^i) as ceil(n / 4) hex digits, the digit of
// the highest elements first, each preceded by a blank: element i weighs 2^(i % 4) in digit i / 4.
// n <= 0 writes nothing.
// REQUIRES: v has 4 * ceil(n / 4) elements (the caller pads past n); stream is open for writing.
// Elements other than 0 and 1 are weighed in as they are.
void print_hex(int n, const int v[], std::FILE* stream);

// Writes the bit vector v as ceil(n / 4) hex digits with no separator, reading v from its first
// element four at a time, the first of each four as the most significant bit. n <= 0 writes
// nothing. REQUIRES: as for print_hex.
void print_hex_low(int n, const int v[], std::FILE* stream);

// Value of a hex digit character: '0'...'9' -> 0...9, 'a'...'f' and 'A'...'F' -> 10...15, any
// other character -> -1. c is taken as a signed char (its low eight bits).
int hextoint(int c);

// Upper-case hex digit of value 0 ... 15. Outside that range the same arithmetic goes on
// unchecked: values below 10 give '0' + value, the rest 'A' + (value - 10) (16 gives 'G').
char inttohex(int value);

#endif  // PAGOLINTH_BCH_BCH_H_
