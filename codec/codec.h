// The error-correction engine: a binary BCH code on GF(2^m) built from any primitive
// polynomial, encoding steps to their ECC bytes and checking and correcting them in place.
// Several codes can live at once; building one touches no shared state, and a built code is
// read-only and may be shared between threads.
//
// Bit convention: the data bytes in order, each most significant bit first, are the message
// coefficients from the highest power down; the parity is the remainder of message * x^r
// modulo the generator polynomial g (r = its degree). The logical ECC bytes hold the parity
// from x^(r-1) down to x^0, most significant bit first, with the 8 * ecc_bytes - r unused bits
// after it (bch_pad::end) or before it (bch_pad::start). What is stored is that string with
// the options of the code applied in this order:
//   - bch_ecc_mask::erased_ff: XOR NOT ECC(all-0xFF message), so that an erased step (data all
//     0xFF) carries all-0xFF ECC; unused bits then store as 1;
//   - bch_bit_order::lsb_first: every byte, data and ECC, has its bits reversed (read and
//     written least significant bit first);
//   - bch_ecc_mask::xor_bytes: XOR mask_bytes on the stored ECC bytes.
// Unused bits are never checked or corrected.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint32_t
#include <memory>   // std::shared_ptr
#include <string>   // std::string
#include <vector>   // std::vector

#include "status/status.h"  // status

enum class bch_bit_order { msb_first, lsb_first };
enum class bch_ecc_mask { none, erased_ff, xor_bytes };
enum class bch_pad { end, start };

struct bch_code_options {
  bch_bit_order bit_order = bch_bit_order::msb_first;
  bch_ecc_mask ecc_mask = bch_ecc_mask::none;
  // xor_bytes: XORed on the stored ECC bytes; at least ecc_bytes long, bytes beyond ignored.
  // Ignored with the other masks.
  std::vector<std::uint8_t> mask_bytes;
  // end: the unused bits of the ECC bytes follow the parity; start: they precede it.
  bch_pad pad = bch_pad::end;
  // Bit i = coefficient of x^i, degree m, primitive; 0: the construction library's tabled
  // polynomial for m.
  std::uint32_t primitive_polynomial = 0;
};

struct bch_code_tables;  // the engine's precomputed tables, private to the implementation

// A built code. Read the fields; change them only through bch_code_init.
struct bch_code {
  int m = 0;                               // field degree, 5 ... 20
  std::uint32_t primitive_polynomial = 0;  // the field's polynomial, bit i = x^i (never 0)
  int t = 0;                               // correctable bit errors per sector
  int n = 0;                               // code length 2^m - 1
  int k = 0;                               // data bits of the full-length code, n - parity_bits
  int parity_bits = 0;                     // degree of g
  int ecc_bytes = 0;                       // (parity_bits + 7) / 8
  std::size_t max_data_bytes = 0;          // k / 8: the longest sector the shortened code holds
  bch_code_options options;
  std::shared_ptr<const bch_code_tables> tables;
};

// Builds the code of field degree m on options.primitive_polynomial, correcting t errors.
// On failure the status says in one line what is wrong, and `code` is left untouched. Valid: m in 5
// ... 20; t >= 1 with 2t < n = 2^m - 1 and at most 1024 parity bits; a polynomial of degree exactly
// m that is primitive (irreducible, with x of order n), or 0; with xor_bytes, at least ecc_bytes
// mask bytes. Thread-safe: any number of codes may be built at once from different threads. A
// code's tables take about 12 bytes per field element and some tens of KB more (up to about 1 MB
// for the widest parities): about 150 KB at m = 13, 13 MB at m = 20.
status bch_code_init(bch_code& code, int m, int t, bch_code_options options = {});

// Computes the ECC bytes of `data_bytes` bytes of data into `ecc` (code.ecc_bytes bytes).
// With `ecc_offset` (code.ecc_bytes bytes), the stored ECC is further XORed with it: a caller
// holding a message that is not a whole number of bytes behind leading bits of its own uses it
// to cancel their share of the parity (see codec/step_frame.h). bch_decode and bch_is_clean
// take it alike; the erased tests look at the bytes as they stand.
// REQUIRES: `code` built; data_bytes <= code.max_data_bytes. Otherwise writes nothing.
void bch_encode(const bch_code& code, const std::uint8_t* data, std::size_t data_bytes,
                std::uint8_t* ecc, const std::uint8_t* ecc_offset = nullptr);

enum class bch_status {
  clean,          // data and ECC form a codeword as read
  corrected,      // 1 ... t bits were wrong and are corrected; the result is verified
  erased,         // all 0xFF, or within t bit flips of that; corrected to all 0xFF
  uncorrectable,  // more than t errors: nothing is changed
};

// The status as reports and records name it: "clean", "corrected", "erased", "uncorrectable";
// "?" for a value outside the enumeration.
const char* bch_status_name(bch_status status);

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
  std::vector<bch_bit_fix> fixes;  // those bits: data before ECC, by byte, then by bit
};

// Checks `data` and `ecc` against each other and corrects them in place. `result` is
// overwritten (its vector's storage is reused, so a caller that keeps one result per thread
// decodes without allocating; the engine itself allocates scratch only for t beyond about 30,
// and, on the GFNI path, some 100 KB once per thread, kept until the thread ends). When memory
// runs out while locating errors, the step is reported uncorrectable and left as read.
// Nothing is ever reported corrected that is not then a codeword; on uncorrectable, data and
// ECC are left exactly as read.
// REQUIRES: as for bch_encode. Otherwise reports uncorrectable and changes nothing.
void bch_decode(const bch_code& code, std::uint8_t* data, std::size_t data_bytes, std::uint8_t* ecc,
                bch_decode_result& result, const std::uint8_t* ecc_offset = nullptr);

// As bch_decode, but `data` and `ecc` are only read, so that it may run on memory that must not
// be written: `result` holds what bch_decode would report, and its fixes are the bits
// bch_decode would flip (to_one as they would be set). The same proof stands behind a
// correction. REQUIRES: as for bch_decode. Otherwise reports uncorrectable.
void bch_find_fixes(const bch_code& code, const std::uint8_t* data, std::size_t data_bytes,
                    const std::uint8_t* ecc, bch_decode_result& result,
                    const std::uint8_t* ecc_offset = nullptr);

// As bch_find_fixes for a message that lies in two pieces: head_bytes at `head`, then
// tail_bytes at `tail`, read as if they stood end to end, so that a step whose layout puts
// part of its message apart (protected spare bytes) is decoded where it lies. The fixes count
// the message's bytes from the start of head, as for the pieces gathered into one.
// REQUIRES: as for bch_find_fixes, with head_bytes + tail_bytes as data_bytes; either piece
// may be empty. Otherwise reports uncorrectable.
void bch_find_fixes_in_two(const bch_code& code, const std::uint8_t* head, std::size_t head_bytes,
                           const std::uint8_t* tail, std::size_t tail_bytes,
                           const std::uint8_t* ecc, bch_decode_result& result,
                           const std::uint8_t* ecc_offset = nullptr);

// Where parity bit i is stored, for injecting bit errors: i = 0 ... parity_bits - 1 counted
// from the coefficient of x^(r-1), the first parity bit written, with in_ecc = true and the ECC
// byte and bit as stored (to_one false). Outside that range, or for a code not built, returns
// bch_bit_fix{} (in_ecc false), which names no parity bit.
bch_bit_fix bch_parity_bit(const bch_code& code, int i);

// True exactly when bch_decode would report the step clean (a codeword that is not an erased
// step); reads `data` and `ecc` only, so it may run on memory that must not be written.
// REQUIRES: as for bch_encode. Otherwise returns false.
bool bch_is_clean(const bch_code& code, const std::uint8_t* data, std::size_t data_bytes,
                  const std::uint8_t* ecc, const std::uint8_t* ecc_offset = nullptr);
