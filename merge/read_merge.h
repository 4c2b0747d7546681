// Several reads of one chip merged into one dump, streaming: the reads' pages come in batches
// side by side, every step is merged on all worker threads (merge/step_merge.h) and the
// combined pages are handed on in page order, with the bytes outside the steps taken by
// bitwise majority from three or more reads, else from the first (from the second where the
// first lost the page whole: all 0xFF or all zeros). Memory is a few batches.
#pragma once

#include <cstdint>     // std::int64_t
#include <cstdio>      // std::FILE
#include <functional>  // std::function
#include <vector>      // std::vector

#include "codec/codec.h"       // bch_code
#include "layout/layout.h"     // nand_layout
#include "merge/step_merge.h"  // merge_verdict, kMaxReads, kDefaultSearchBudget
#include "scan/bad_blocks.h"   // bad_block_set
#include "scan/dump_scan.h"    // scan_batch
#include "status/status.h"     // status

struct merge_settings {
  const nand_layout* layout = nullptr;  // REQUIRES: check_layout passed
  const bch_code* code = nullptr;       // REQUIRES: built for the layout; check_layout_code passed
  int threads = 1;                      // worker threads, 1 ... 64
  std::int64_t budget = kDefaultSearchBudget;  // decodes a step's search may spend, >= 0
};

// A batch of combined pages. `combined` is as a fix pass hands it on, measured against the
// first read: each step's status is clean when the result is the first read's step as read
// and a codeword, corrected when it is a codeword that differs from it, erased or
// uncorrectable; its fixes are the bits in which the result differs from the first read
// (engine positions, as for a fix pass). `verdicts` says, step by step, how each was found.
struct merge_batch {
  scan_batch combined;
  const unsigned char* first_read = nullptr;  // the first read's pages as read
  const merge_verdict* verdicts = nullptr;    // pages * steps per page
};

using merge_consumer = std::function<status(const merge_batch& batch)>;

// Merges every whole page of the first `dump_bytes` bytes of `reads` (2 ... kMaxReads files,
// each at least that long), handing each batch to `consume` in page order, and leaves every
// file positioned after the last whole page. Never writes to a read. Fails with a one-line
// message naming the read (by its number, from 1) when reading one failed, or with the
// consumer's failure. `progress` is called after each batch with the bytes done in one read.
// REQUIRES: settings as documented; the files' first `dump_bytes` bytes unchanged meanwhile.
status run_merge(const std::vector<std::FILE*>& reads, std::int64_t dump_bytes,
                 const merge_settings& settings, const merge_consumer& consume,
                 const std::function<void(std::int64_t bytes_done)>& progress = nullptr);

// The blocks marked bad in the combined dump: each marker page's marker bytes taken by bitwise
// majority from three or more reads, else from the read run_merge takes the page's bytes
// outside the steps from. Fails with
// a one-line message when a marker could not be read.
// REQUIRES: check_layout(layout) is ""; reads as for run_merge.
status find_merged_bad_blocks(const std::vector<std::FILE*>& reads, std::int64_t dump_bytes,
                              const nand_layout& layout, bad_block_set& bad_blocks);
