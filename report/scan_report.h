// What a pass over a dump found: running totals, the blocks with the most bit errors, the
// blocks marked bad, one CSV row per step that is not clean, the page map (report/page_map.h)
// and the summary's lines. The CSV is written while the pass streams; the map is drawn at the
// end, so memory does not grow with the dump.
#pragma once

#include <cstdint>  // std::int64_t, std::int32_t, std::uint8_t
#include <cstdio>   // std::FILE
#include <string>   // std::string
#include <vector>   // std::vector

#include "scan/dump_scan.h"     // scan_batch, scan_settings, step_outcome
#include "files/output_file.h"  // file_ptr
#include "report/page_map.h"    // page_map, write_page_map

struct block_errors {
  std::int64_t block = 0;
  std::int64_t bits = 0;           // bits corrected, erased flips included
  std::int64_t uncorrectable = 0;  // steps
};

struct scan_totals {
  std::int64_t pages = 0, sectors = 0;
  std::int64_t clean = 0, erased = 0, corrected = 0, uncorrectable = 0;
  std::int64_t erased_bits = 0;  // flipped bits within erased sectors
  // Clean or corrected sectors whose message is all zeros: a codeword of every code without a
  // mask, so no sign that the layout and code fit the dump.
  std::int64_t blank = 0;
  std::int64_t corrected_bits = 0;  // bits corrected in corrected sectors
  std::int64_t fell = 0, rose = 0;  // all corrected bits by the way they had flipped: 1->0, 0->1
  std::int64_t injected_bits = 0;   // inject: bits flipped
  std::int64_t bad_blocks = 0;      // blocks marked bad by the layout's marker
  std::int64_t bad_block_steps = 0, bad_block_uncorrectable = 0;  // steps within them
};

// The report's state; make it with report_open, feed it each batch, then report_close.
struct scan_report {
  scan_settings settings;
  std::int64_t total_pages = 0;
  const bad_block_set* bad_blocks = nullptr;  // the caller's, read as the pass goes
  bool in_bad_block = false;                  // the block being tallied is marked bad
  scan_totals totals;
  std::vector<block_errors> worst;  // at most kWorstBlocks, worst first
  block_errors current;             // the block being tallied
  file_ptr csv;                     // null when no CSV is wanted
  file_ptr map;                     // null when no map is wanted
  bool source_column = false;       // the CSV ends each row with where the step came from
  page_map cells;                   // the map's grid, when a map is wanted
  std::vector<std::string> map_heading;
};

// Limits of the map of --map: beyond them pages and blocks share cells.
constexpr std::int64_t kMapMaxColumns = 256;
constexpr std::int64_t kMapMaxRows = 2048;
constexpr std::int64_t kMapMaxCells = 131072;

// Runs of neighbouring blocks marked bad that the summary lists one by one ("7", "12-15"); the
// rest are counted.
constexpr std::size_t kListedBadRuns = 1000;

constexpr std::size_t kWorstBlocks = 5;

// Starts a report for a dump of `total_pages` whole pages, whose blocks marked bad are those of
// `bad_blocks`, writing the CSV and the map to files the caller opened (staged outputs), either
// of which may be null; the report takes them over and report_close closes them.
// With `source_column`, the CSV has a last column, "source", filled from report_batch's
// `sources`.
// REQUIRES: settings.layout and settings.code set, and they and `bad_blocks` outlive the report.
void report_open(scan_report& r, const scan_settings& settings, std::int64_t total_pages,
                 const bad_block_set& bad_blocks, const std::string& dump_name, file_ptr csv,
                 file_ptr map, bool source_column = false);
// The report keeps a pointer to the set: a temporary would be gone before the first batch.
void report_open(scan_report& r, const scan_settings& settings, std::int64_t total_pages,
                 const bad_block_set&& bad_blocks, const std::string& dump_name, file_ptr csv,
                 file_ptr map, bool source_column = false) = delete;

// Adds one batch, in page order. Returns false when writing the CSV or the map failed. With
// a source column, `sources` holds one text a step (batch.pages * steps), which must hold no
// comma, quote or line break; the CSV has a row for each step that is not clean and for each
// whose text is not empty.
bool report_batch(scan_report& r, const scan_batch& batch, const std::string* sources = nullptr);

// Finishes the tallies and the files. Fails when a file could not be written completely.
// Closes the files either way.
status report_close(scan_report& r);

// How reports name a layout: its name and file, or its source alone.
std::string layout_label(const nand_layout& layout);

// The blocks marked bad as runs of neighbours, " 7 12-15 40", the first `max_runs` of them,
// then " and N more" (N blocks) when there are more. "" when none is marked.
std::string bad_block_runs(const bad_block_set& bad_blocks, std::size_t max_runs);

// A layout's scrambler as the summary and the report name it ("key.bin, 3 pages of key, ECC
// over the plain bytes"), or "" for a layout without one.
std::string scrambler_text(const nand_layout& layout);

// Uncorrectable steps outside the blocks marked bad: what decides the verdict.
std::int64_t uncorrectable_outside_bad_blocks(const scan_report& r);

// "" when the steps of `layout` hold at least the page's data bytes; else a line saying how
// many they hold and that extract leaves the rest out ("incomplete layout: its steps hold
// 1536 of the page's 2048 data bytes (75%); extract leaves the rest out"). The summary and the
// HTML report both say it: a layout found by detect may cover only part of the page.
std::string incomplete_layout_line(const nand_layout& layout);

// The summary of a check, fix or extract, a line each, without newlines: counts, bits, whether
// the layout leaves data out (incomplete_layout_line, after the first line), bad blocks, the
// worst blocks, and a note when the counts suggest a layout or code that does not fit the dump.
// `tail_bytes`: bytes after the last whole page, which were not checked.
// REQUIRES: report_close(r) done.
std::vector<std::string> summary_lines(const scan_report& r, std::int64_t tail_bytes);

// The CSV token of one corrected bit of `step`: 'd', 'p' or 'e' (data, protected bytes or ECC),
// byte index within them, '.', bit (0 = least significant), ':', and how it had flipped ("1>0"
// read 0, corrected to 1; "0>1" the reverse). In a step that counts bits, bit j of its data,
// protected bits or parity is named as byte j / 8 and bit j % 8 of it in the bit order, as if
// they started on a byte: a byte layout written in bits names its bits alike.
std::string fix_token(const bch_bit_fix& f, const layout_step& step, bool lsb_first);
