// The error-correction engine: a binary BCH code built through the construction library,
// encoding sectors to their ECC bytes and checking and correcting them in place. Several
// codes can live at once; a built code is read-only and may be shared between threads.
//
// Bit convention: the data bytes in order, each most significant bit first, are the message
// coefficients from the highest power down; the parity is the remainder of message * x^r
// modulo the generator polynomial g (r = its degree); the ECC bytes hold the parity from
// x^(r-1) down to x^0, most significant bit first, the last byte padded with zero bits when
// r is not a multiple of 8. Two common controller variants are options of the code:
//   - bch_bit_order::lsb_first: every byte, data and ECC, is read and written with its bits
//     in the opposite order (least significant bit first);
//   - bch_ecc_mask::erased_ff: the stored ECC is parity XOR NOT parity(all-0xFF data), so an
//     erased sector (data all 0xFF) carries all-0xFF ECC. Pad bits then store as 1.
// Pad bits are never checked or corrected.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint32_t
#include <memory>   // std::shared_ptr
#include <string>   // std::string
#include <vector>   // std::vector

enum class bch_bit_order { msb_first, lsb_first };
enum class bch_ecc_mask { none, erased_ff, xor_bytes };
enum class bch_pad { end, start };

struct bch_code_options {
  bch_bit_order bit_order = bch_bit_order::msb_first;
  bch_ecc_mask ecc_mask = bch_ecc_mask::none;
  std::vector<std::uint8_t> mask_bytes;    // xor_bytes: XORed on the stored ECC bytes
  bch_pad pad = bch_pad::end;              // where the unused bits of the ECC bytes lie
  std::uint32_t primitive_polynomial = 0;  // 0: the construction library's tabled one for m
};

struct bch_code_tables;  // the engine's precomputed tables, private to the implementation

// A built code. Read the fields; change them only through bch_code_init.
struct bch_code {
  int m = 0;                       // field degree, 5 ... 20
  int t = 0;                       // correctable bit errors per sector
  int n = 0;                       // code length 2^m - 1
  int k = 0;                       // data bits of the full-length code, n - parity_bits
  int parity_bits = 0;             // degree of g
  int ecc_bytes = 0;               // (parity_bits + 7) / 8
  std::size_t max_data_bytes = 0;  // k / 8: the longest sector the shortened code holds
  bch_code_options options;
  std::shared_ptr<const bch_code_tables> tables;
};

// Builds the code of field degree m with the construction library's tabled primitive
// polynomial, correcting t errors. Returns an empty string on success; otherwise a one-line
// message saying what is wrong (m outside 5 ... 20, t below 1, or parity beyond what the
// construction holds), and `code` is left untouched.
// Not thread-safe: it runs the construction library, whose state is global. Call it from one
// thread at a time; the built code itself may then be used from any number of threads.
// A code's tables take about 12 bytes per field element and some tens of KB more: about
// 150 KB at m = 13, 13 MB at m = 20.
std::string bch_code_init(bch_code& code, int m, int t, bch_code_options options = {});

// Computes the ECC bytes of `data_bytes` bytes of data into `ecc` (code.ecc_bytes bytes).
// REQUIRES: `code` built; data_bytes <= code.max_data_bytes. Otherwise writes nothing.
void bch_encode(const bch_code& code, const std::uint8_t* data, std::size_t data_bytes,
                std::uint8_t* ecc);

enum class bch_status {
  clean,          // data and ECC form a codeword as read
  corrected,      // 1 ... t bits were wrong and are corrected; the result is verified
  erased,         // all 0xFF, or within t bit flips of that; corrected to all 0xFF
  uncorrectable,  // more than t errors: nothing is changed
};

// One corrected bit, as stored: which byte of the data or of the ECC, and which bit of it.
struct bch_bit_fix {
  bool in_ecc = false;     // false: in the data; true: in the ECC bytes
  std::uint32_t byte = 0;  // byte index within the data or within the ECC
  std::uint8_t bit = 0;    // bit within that byte, 0 = least significant, as stored
  bool to_one = false;     // true: read as 0, corrected to 1; false: read as 1, corrected to 0
};

struct bch_decode_result {
  bch_status status = bch_status::clean;
  int bits = 0;                    // bits corrected (corrected, erased), else 0
  std::vector<bch_bit_fix> fixes;  // those bits, in no particular order
};

// Checks `data` and `ecc` against each other and corrects them in place. `result` is
// overwritten (its vector's storage is reused, so a caller that keeps one result per thread
// decodes without allocating; the engine itself allocates only for t beyond about 30).
// Nothing is ever reported corrected that is not then a codeword; on uncorrectable, data and
// ECC are left exactly as read.
// REQUIRES: as for bch_encode. Otherwise reports uncorrectable and changes nothing.
void bch_decode(const bch_code& code, std::uint8_t* data, std::size_t data_bytes, std::uint8_t* ecc,
                bch_decode_result& result);

// The stored place of parity bit i (0 ... parity_bits - 1, from the coefficient of x^(r-1)).
bch_bit_fix bch_parity_bit(const bch_code& code, int i);

// True exactly when bch_decode would report the step clean; reads only.
bool bch_is_clean(const bch_code& code, const std::uint8_t* data, std::size_t data_bytes,
                  const std::uint8_t* ecc);
