// One streaming pass over a NAND dump, on any page layout: pages come in batches, mapped from
// the file where the platform allows it and read in large blocks otherwise; every ECC step of a
// batch is checked, corrected, encoded or given injected bit errors on all worker threads, and
// the batch is handed on in page order. Memory is a few batches, whatever the dump's size.
#pragma once

#include <cstdint>     // std::int64_t, std::uint16_t, std::uint32_t, std::uint64_t
#include <cstdio>      // std::FILE
#include <functional>  // std::function
#include <string>      // std::string
#include <vector>      // std::vector

#include "codec/codec.h"      // bch_code, bch_status, bch_bit_fix
#include "layout/layout.h"    // nand_layout
#include "scan/bad_blocks.h"  // bad_block_set
#include "status/status.h"    // status

enum class scan_action {
  check,   // decode every step; the dump's bytes are never changed
  fix,     // decode every step and write corrected or erased steps back into the page
  encode,  // compute every step's ECC from its data and protected bytes and store it
  inject,  // flip random bits in every step's message and parity
};

struct scan_settings {
  const nand_layout* layout = nullptr;  // REQUIRES: check_layout passed
  const bch_code* code = nullptr;       // REQUIRES: built for the layout; check_layout_code passed
  scan_action action = scan_action::check;
  int threads = 1;                   // worker threads, 1 ... 64
  int flips_min = 0, flips_max = 0;  // inject: bits flipped per step, drawn uniformly
  std::uint64_t seed = 1;            // inject: the same seed flips the same bits
  bool map_input = true;             // check: false reads the dump even where it could be mapped
};

// What happened to one step. For check and fix, the decoder's verdict; for inject, status
// clean and `bits` the number of bits flipped.
struct step_outcome {
  bch_status status = bch_status::clean;
  std::uint16_t bits = 0;       // bits corrected (or flipped, for inject)
  std::uint16_t fell = 0;       // of those, bits that had flipped from 1 to 0 (read 0, now 1)
  std::uint16_t rose = 0;       // of those, bits that had flipped from 0 to 1 (read 1, now 0)
  std::uint16_t fix_count = 0;  // corrected bits listed in the batch's fixes
  std::uint32_t fix_first = 0;  // where they start there
};

// A batch of whole pages as handed on: its bytes (as read for check; corrected for fix, with
// new ECC for encode, with flipped bits for inject), one outcome per step, page by page, and
// every corrected bit.
// Positions of a fix are those of the engine: `byte` within the step's message (data, then
// protected bytes) or within its ECC bytes. For a step that counts bits, bit j of its message
// or of its parity is `byte` j / 8 and `bit` j % 8 in the code's bit order (see
// frame_fixes_to_step).
struct scan_batch {
  std::int64_t first_page = 0;
  std::int64_t pages = 0;
  const unsigned char* bytes = nullptr;    // pages * raw page bytes
  const step_outcome* outcomes = nullptr;  // pages * steps per page
  const bch_bit_fix* fixes = nullptr;      // indexed by step_outcome::fix_first
};

// Puts the fixes of a batch's chunks (of `chunk_pages` pages each, the batch's `pages` pages of
// `steps` steps) end to end into `fixes`, and moves each outcome's fix_first, counted within
// its chunk, to count within `fixes`. For passes that give each worker's chunk a list of its own.
void join_chunk_fixes(const std::vector<std::vector<bch_bit_fix>>& chunk_fixes,
                      std::int64_t chunk_pages, std::int64_t pages, std::int64_t steps,
                      step_outcome* outcomes, std::vector<bch_bit_fix>& fixes);

// True when every step of the raw `page` reads within t bits of all ones: a page never
// programmed, which a scrambler left as it was.
// REQUIRES: check_layout(layout) is "".
bool page_reads_erased(const nand_layout& layout, int t, const unsigned char* page);

// The key page that scrambled dump page `page_number`, whose bytes are `page`: null when the
// layout names no scrambler or the page reads erased.
// REQUIRES: check_layout(layout) is "".
const unsigned char* scrambled_key(const nand_layout& layout, int t, std::int64_t page_number,
                                   const unsigned char* page);

// Called once per batch, in page order, on a thread of the pass's own while the workers
// process the next batch: never for two batches at once, and never while the progress
// callback runs (which stays on the calling thread). Reads of the dump must be positioned
// (platform_read_at), as the pass reads ahead meanwhile. A failure (for example when writing
// failed) stops the pass, and run_scan returns it.
using scan_consumer = std::function<status(const scan_batch& batch)>;

// Called about every quarter second with the bytes done so far.
using scan_progress = std::function<void(std::int64_t bytes_done)>;

// Processes every whole page of the first `dump_bytes` bytes of `in`, in batches, each handed
// to `consume`, and leaves `in` positioned after the last whole page. The tail that makes no
// whole page is left unread. Never writes to `in`. Fails with a one-line message when reading
// failed (a dump shorter than `dump_bytes`), or with the consumer's failure.
// REQUIRES: settings as documented; `in` a file opened for reading whose first `dump_bytes`
// bytes are not changed by anyone during the pass.
status run_scan(std::FILE* in, std::int64_t dump_bytes, const scan_settings& settings,
                const scan_consumer& consume, const scan_progress& progress = nullptr);

// Sets `bad_blocks` to the blocks of a dump of `dump_bytes` bytes (the whole blocks and the
// last partial one) and marks those whose marker pages carry a bad-block mark; none when the
// layout names no marker. Reads only the marker bytes (the whole marker page when the layout
// names a scrambler: the marker is weighed unscrambled); fails with a one-line message when
// reading failed.
// REQUIRES: check_layout(layout) is "".
status find_bad_blocks(std::FILE* in, std::int64_t dump_bytes, const nand_layout& layout,
                       bad_block_set& bad_blocks);

// The same with the marker bytes of a page read by `read_marker` (page, into the marker's
// length in bytes), which fails with its one-line message; for a dump that is several files.
using marker_reader = std::function<status(std::int64_t page, unsigned char* marker)>;
status find_bad_blocks(const marker_reader& read_marker, std::int64_t dump_bytes,
                       const nand_layout& layout, bad_block_set& bad_blocks);
