// A page layout as data: where each ECC step's user data, protected spare bytes and stored ECC
// lie in a raw page (page + spare), and which BCH code protects them. Any controller's layout
// is one of these; the dialogue's own (a 4-byte header, 512 + 13-byte chunks, a hole in the
// last sector) is the built-in default. Gathering a step's codeword and scattering it back.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::int32_t, std::int64_t, std::uint8_t, std::uint32_t
#include <string>   // std::string
#include <vector>   // std::vector

#include "status/status.h"  // status

// Largest page size and spare size a layout may have: no NAND page comes near it, and a few
// batches of such pages must still fit in a few tens of MiB.
inline constexpr std::int32_t kMaxPagePart = 4 * 1024 * 1024;

// Field degrees a layout may name.
inline constexpr int kLayoutMinDegree = 5;
inline constexpr int kLayoutMaxDegree = 16;

// A run of bytes of the raw page, or of bits in a step that counts bits.
struct layout_span {
  std::int64_t offset = 0;  // from the start of the raw page
  std::int64_t length = 0;  // bytes (bits)
};

// One ECC step: its codeword is the data, then the protected spans, then the parity.
// A step with `bits` set counts every offset and length in bits of the raw page, so that a
// codeword may start or end inside a byte: bit b is bit 7 - b % 8 of byte b / 8 when the
// code's bit order is msb, bit b % 8 when it is lsb. Its ECC span then holds exactly the
// parity, from x^(r-1) on, and the code's pad does not apply to it.
struct layout_step {
  std::vector<layout_span> data;        // the step's user data, in codeword order
  std::vector<layout_span> protected_;  // spare bytes inside the codeword that are not user data
  layout_span ecc;                      // the stored ECC bytes (bits)
  bool bits = false;                    // spans count bits, not bytes
};

enum class layout_mask {
  none,       // the ECC is stored as computed
  erased_ff,  // stored ECC = ECC XOR NOT ECC(all-0xFF message): erased steps read all 0xFF
  bytes,      // stored ECC = ECC XOR mask_bytes
};

struct layout_code {
  int m = 13;                              // field degree
  int t = 8;                               // bit errors corrected per step
  std::uint32_t primitive_polynomial = 0;  // bit i = coefficient of x^i; 0: the tabled one for m
  bool lsb_first = false;                  // every byte of the codeword read bit-reversed
  layout_mask mask = layout_mask::none;
  std::vector<std::uint8_t> mask_bytes;  // with layout_mask::bytes: one per byte of the ECC span
  bool pad_start = false;                // unused ECC bits before the parity, not after it
};

// Bad-block marker: any byte other than 0xFF in `marker` on one of `pages` marks the block bad.
struct layout_bad_block {
  bool present = false;
  layout_span marker;
  std::vector<std::int32_t> pages;  // pages of the block; negative counts from the last page
};

// How the ECC relates to a scrambler's XOR key.
enum class scrambler_ecc {
  plain,      // computed over the unscrambled bytes; then the whole page was scrambled
  scrambled,  // computed over the scrambled bytes and stored as computed
};

// The XOR key a controller scrambled the pages with: page i of the dump was XORed byte for
// byte with key page i mod K over the whole raw page (a byte left as it is has 0 in the key).
// A page that reads erased was never programmed and is not scrambled.
struct layout_scrambler {
  bool present = false;
  std::string key_file;           // as the layout file names it
  std::string key_path;           // where it was read from
  std::vector<std::uint8_t> key;  // K raw pages, K >= 1
  scrambler_ecc ecc = scrambler_ecc::plain;
};

// Largest key file a layout may name: 258 pages of the largest pages in use are far less.
inline constexpr std::int64_t kMaxKeyBytes = std::int64_t{256} * 1024 * 1024;

struct nand_layout {
  std::string name;              // optional, shown in reports
  std::string source;            // the file it was read from, or kBuiltInLayout
  std::int32_t page_size = 0;    // data area of a page, bytes
  std::int32_t spare_size = 0;   // spare area, bytes
  std::int32_t block_pages = 0;  // pages per erase block
  layout_code code;
  std::vector<layout_step> steps;  // every step of a page, in page order (repeats expanded)
  layout_bad_block bad_block;
  layout_scrambler scrambler;
};

inline constexpr char kBuiltInLayout[] = "built-in default layout";

// The dialogue's layout for a page of `page_size` data bytes: a 4-byte header, then
// page_size / 512 sectors, each 512 data bytes followed by 13 ECC bytes, the last split
// around a 6-byte hole after its byte 468. The code: m = 13, t = 8, tabled polynomial, msb
// first, no mask, padding at the end. Nothing is checked here: see check_layout.
nand_layout default_layout(std::int32_t page_size, std::int32_t spare_size,
                           std::int32_t block_pages);

// Bytes of the raw page: page_size + spare_size.
std::int64_t raw_page_bytes(const nand_layout& layout);

// Succeeds when the layout is usable as data: page and spare size 1 ... kMaxPagePart, at
// least one page per block and one step, m in kLayoutMinDegree ... kLayoutMaxDegree, t >= 1,
// every span of length >= 1 inside the raw page, no two spans overlapping, a mask of the ECC
// span's length, bad-block marker and pages inside page and block. Otherwise one line naming
// the first fault, "KEY: what is wrong" with the key of the layout file it concerns (for
// example "steps[2].ecc: [4106, 42] overlaps steps[1].protected[0] [4100, 8]"); step k of
// `steps` is named steps[k].
status check_layout(const nand_layout& layout);

// Succeeds when every step fits the built code: a byte step's ECC span holds at least
// ceil(parity_bits / 8) bytes (the rest is left alone), a bit step's exactly parity_bits bits,
// and its message takes at most max_message_bytes bytes (a bit step's message is held in
// ceil(bits / 8) bytes). Otherwise one line naming the step, "steps[k]...: what is wrong" as
// check_layout names it.
status check_layout_code(const nand_layout& layout, int parity_bits, std::size_t max_message_bytes);

// Bit counts of a step's user data, protected spans, message (both) and ECC span: 8 times the
// bytes for a byte step.
std::int64_t step_data_bits(const layout_step& step);
std::int64_t step_protected_bits(const layout_step& step);
std::int64_t step_message_bits(const layout_step& step);
std::int64_t step_ecc_bits(const layout_step& step);

// Byte counts of a step's user data and protected spans as extract writes them (a bit span
// padded to whole bytes), and of its message as the engine holds it: data plus protected bytes
// for a byte step, ceil(step_message_bits / 8) for a bit step.
std::int64_t step_data_bytes(const layout_step& step);
std::int64_t step_protected_bytes(const layout_step& step);
std::int64_t step_message_bytes(const layout_step& step);

// When a byte step's data and protected spans follow each other without a gap, returns true
// and sets `offset` to where the message starts in the raw page, so that it can be decoded
// where it stands; false otherwise, and always for a bit step.
bool message_is_contiguous(const layout_step& step, std::int64_t& offset);

// Copies a byte step's message (data, then protected bytes) out of a raw page into `message`
// (step_message_bytes bytes), and back.
// REQUIRES: check_layout(layout) is "" for the layout the step belongs to; `page` holds a raw
// page; the step is not a bit step (see layout/bit_spans.h for those).
void gather_message(const unsigned char* page, const layout_step& step, unsigned char* message);
void scatter_message(unsigned char* page, const layout_step& step, const unsigned char* message);

// Raw-page offset of byte `index` of a byte step's message (0 ... step_message_bytes - 1); -1
// for an index outside that range or a bit step.
std::int64_t message_byte_offset(const layout_step& step, std::int64_t index);

// Raw-page byte that holds the step's first data byte or bit.
std::int64_t step_first_byte(const layout_step& step);

// Raw-page bit (numbered as for bit steps) of bit `index` of the step's message (0 ...
// step_message_bits - 1) or of its ECC span (0 ... step_ecc_bits - 1), for either kind of
// step; -1 outside that range. For a byte step, bit index of its message is bit index % 8, in
// the bit order, of message byte index / 8.
std::int64_t message_bit_offset(const layout_step& step, std::int64_t index);
std::int64_t ecc_bit_offset(const layout_step& step, std::int64_t index);

// True when page `page_in_block` (0 ... block_pages - 1) carries the bad-block marker.
bool is_marker_page(const nand_layout& layout, std::int32_t page_in_block);

// True when the raw page's marker bytes mark its block bad (any byte other than 0xFF).
// REQUIRES: layout.bad_block.present.
bool marks_bad_block(const nand_layout& layout, const unsigned char* page);

// The layout as a layout file (TOML) that reads back to the same layout: runs of steps that
// differ by constant shifts are written as one [[steps]] table with `repeat` and strides.
std::string layout_to_toml(const nand_layout& layout);
