// Statistics of a pass over a dump for the investigator's report, gathered from the scan
// batches with memory bounded whatever the dump's size: counts per group of blocks, a map grid
// of bounded size, one counter per bit position of a step, and the first uncorrectable steps.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::int64_t, std::int32_t
#include <vector>   // std::vector

#include "scan/dump_scan.h"   // scan_batch, step_outcome
#include "report/page_map.h"  // page_map
#include "layout/layout.h"    // nand_layout

// Per-block charts have at most this many bars; beyond, neighbouring blocks share one.
constexpr std::int64_t kReportMaxBins = 500;
// The report's map: at most this many columns, rows and cells (about 2.5 MB of cells at worst).
constexpr std::int64_t kReportMapColumns = 128;
constexpr std::int64_t kReportMapRows = 256;
constexpr std::int64_t kReportMapCells = 16384;
// Uncorrectable steps listed one by one; the rest are counted.
constexpr std::size_t kReportListedSteps = 1000;

// A group of `blocks_per_bin` neighbouring blocks.
struct block_bin {
  std::int64_t bits = 0;            // bits corrected, erased flips included
  std::int64_t uncorrectable = 0;   // steps
  std::int64_t fell = 0, rose = 0;  // corrected bits that had flipped 1->0, 0->1
  std::int64_t bad = 0;             // blocks marked bad
};

struct uncorrectable_step {
  std::int64_t page = 0;
  std::int32_t step = 0;
  std::int64_t offset = 0;  // dump offset of the step's first data byte
};

struct report_stats {
  const nand_layout* layout = nullptr;
  int t = 1;
  std::int64_t total_pages = 0, pages = 0, blocks = 0, blocks_per_bin = 1;
  std::vector<block_bin> bins;
  page_map map;
  // Steps by bits corrected: [0] clean, [k] corrected with k bits (1 ... t).
  std::vector<std::int64_t> step_bits;
  std::int64_t erased = 0, uncorrectable = 0;
  // Corrected bits by position, index 8 * byte + bit (bit 0 = least significant, as stored):
  // within the step's message (data, then protected bytes) and within its ECC bytes. Sized
  // for the largest step of the layout.
  std::vector<std::int64_t> message_positions, ecc_positions;
  std::int64_t data_bytes = 0;             // of the step with the most data bytes
  std::vector<uncorrectable_step> listed;  // the first kReportListedSteps, in dump order
};

// Starts the statistics of a pass over `total_pages` pages of `layout` under a code correcting
// `t` bits, whose blocks marked bad are those of `bad_blocks` (counted here, not kept).
// REQUIRES: check_layout(layout) is "" and `layout` outlives `stats`; t >= 1; total_pages >= 0.
void report_stats_open(report_stats& stats, const nand_layout& layout, int t,
                       std::int64_t total_pages, const bad_block_set& bad_blocks);

// Adds one batch of a check or fix pass, in page order. Pages beyond total_pages are ignored.
void report_stats_batch(report_stats& stats, const scan_batch& batch);
