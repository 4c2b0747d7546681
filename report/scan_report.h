// What a pass over a dump found: running totals, the blocks with the most bit errors, the
// blocks marked bad, one CSV row per step that is not clean, and an SVG map of the dump, one
// cell per page (or per group of pages, for dumps with more pages than the map has room for).
// The CSV is written while the pass streams; the map is a grid of bounded size, drawn at the
// end, so memory does not grow with the dump.
#pragma once

#include <cstdint>  // std::int64_t, std::int32_t, std::uint8_t
#include <cstdio>   // std::FILE
#include <string>   // std::string
#include <vector>   // std::vector

#include "scan/dump_scan.h"     // scan_batch, scan_settings, step_outcome
#include "files/output_file.h"  // file_ptr

struct block_errors {
  std::int64_t block = 0;
  std::int64_t bits = 0;           // bits corrected, erased flips included
  std::int64_t uncorrectable = 0;  // steps
};

struct scan_totals {
  std::int64_t pages = 0, sectors = 0;
  std::int64_t clean = 0, erased = 0, corrected = 0, uncorrectable = 0;
  std::int64_t erased_bits = 0;     // flipped bits within erased sectors
  std::int64_t corrected_bits = 0;  // bits corrected in corrected sectors
  std::int64_t fell = 0, rose = 0;  // all corrected bits by the way they had flipped: 1->0, 0->1
  std::int64_t injected_bits = 0;   // inject: bits flipped
  std::int64_t bad_blocks = 0;      // blocks marked bad by the layout's marker
  std::int64_t bad_block_steps = 0, bad_block_uncorrectable = 0;  // steps within them
};

// One cell of the page map: a group of pages (blocks first_block ... by column's pages), or
// a single page when the map has room for every page.
struct map_cell {
  std::int64_t pages = 0;          // pages of the dump that fell into the cell so far
  std::int64_t bits = 0;           // bits corrected in all their steps, erased flips included
  std::int64_t uncorrectable = 0;  // steps
  std::int64_t worst_page = -1;    // the page of the worst step (the first, among equals)
  std::int32_t worst_step = -1;    // that step within its page
  std::int32_t worst_bits = 0;     // bits corrected in it
  std::uint8_t level = 0;          // map level of the worst step: see map_level
};

// The map's grid: rows of `blocks_per_row` blocks, columns of `pages_per_column` pages of the
// block; both are 1 unless the dump has more blocks or pages than the limits given.
struct page_map {
  std::int64_t total_pages = 0, block_pages = 1, blocks = 0;
  std::int64_t blocks_per_row = 1, pages_per_column = 1, rows = 0, columns = 0;
  int t = 1;                             // the code's t, which the colour levels divide
  std::vector<std::int64_t> bad_blocks;  // ascending
  std::vector<map_cell> cells;           // rows * columns, row by row
};

// Map levels, from best to worst: 0 clean, 1 erased, 2 ... 9 corrected (by bits, see
// map_level), 10 uncorrectable.
constexpr int kMapLevels = 11;

// The level of one step's outcome under a code correcting `t` bits: up to t = 8 each count of
// corrected bits has its own level; beyond, the eight levels share 1 ... t in equal ranges.
int map_level(const step_outcome& o, int t);

// The fill colour of a level (0 ... kMapLevels - 1) and its name in legends ("clean", "1 bit",
// "3-4 bits", "uncorrectable"). Colours are one sequential scale that stays apart for colour-
// blind readers and in grey print, clean and erased light neutrals, uncorrectable black.
const char* map_level_colour(int level);
std::string map_level_name(int level, int t);

// Sets up the grid for a dump of `total_pages` pages of a layout with `block_pages` pages per
// block: at most `max_columns` columns (pages of a block grouped evenly when there are more)
// and at most `max_cells` cells (blocks grouped evenly into rows when needed).
// REQUIRES: total_pages >= 0, block_pages >= 1, t >= 1, max_columns >= 1, max_cells >= max_columns.
void page_map_init(page_map& map, std::int64_t total_pages, std::int64_t block_pages, int t,
                   const std::vector<std::int64_t>& bad_blocks, std::int64_t max_columns,
                   std::int64_t max_cells);

// Adds page `page` with its `steps` outcomes. Pages outside 0 ... total_pages - 1 are ignored.
void page_map_add(page_map& map, std::int64_t page, const step_outcome* outcomes,
                  std::int64_t steps);

// The tooltip of a cell: which block(s) and page(s) it covers, their status, bits corrected
// and the worst step ("page 200 (block 3, page 8): uncorrectable; ...").
std::string map_cell_text(const page_map& map, std::int64_t row, std::int64_t column);

// Text for SVG or HTML: & < > " ' as character references.
std::string markup_escaped(const std::string& text);

// Draws the map as one <svg id="map"> element: page numbers along the top, block numbers down
// the left (every row, or at a stride that keeps them readable), one rectangle with a <title>
// tooltip per cell (runs of clean or erased cells within a row share one), uncorrectable cells
// crossed, rows holding bad blocks hatched and labelled, and a legend. `heading` lines (plain
// text, escaped here) go above the legend; `standalone` starts the file with an XML
// declaration. Returns false when writing failed.
bool write_page_map(std::FILE* f, const page_map& map, const std::vector<std::string>& heading,
                    bool standalone, double max_width);

// The report's state; make it with report_open, feed it each batch, then report_close.
struct scan_report {
  scan_settings settings;
  std::int64_t total_pages = 0;
  std::vector<std::int64_t> bad_blocks;  // ascending
  std::size_t next_bad = 0;              // the first of them not yet passed
  bool in_bad_block = false;             // the block being tallied is marked bad
  scan_totals totals;
  std::vector<block_errors> worst;  // at most kWorstBlocks, worst first
  block_errors current;             // the block being tallied
  file_ptr csv;                     // null when no CSV is wanted
  file_ptr map;                     // null when no map is wanted
  page_map cells;                   // the map's grid, when a map is wanted
  std::vector<std::string> map_heading;
};

// Limits of the map of --map: beyond them pages and blocks share cells.
constexpr std::int64_t kMapMaxColumns = 256;
constexpr std::int64_t kMapMaxCells = 131072;

constexpr std::size_t kWorstBlocks = 5;

// Starts a report for a dump of `total_pages` whole pages, whose bad blocks (ascending) are
// `bad_blocks`, writing the CSV and the map to files the caller opened (staged outputs), either
// of which may be null; the report takes them over and report_close closes them.
// REQUIRES: settings.layout and settings.code set and outliving the report.
void report_open(scan_report& r, const scan_settings& settings, std::int64_t total_pages,
                 const std::vector<std::int64_t>& bad_blocks, const std::string& dump_name,
                 file_ptr csv, file_ptr map);

// Adds one batch, in page order. Returns false when writing the CSV or the map failed.
bool report_batch(scan_report& r, const scan_batch& batch);

// Finishes the tallies and the files. Fails when a file could not be written completely.
// Closes the files either way.
status report_close(scan_report& r);

// How reports name a layout: its name and file, or its source alone.
std::string layout_label(const nand_layout& layout);

// Uncorrectable steps outside the blocks marked bad: what decides the verdict.
std::int64_t uncorrectable_outside_bad_blocks(const scan_report& r);

// "1 sector", "2 sectors": the count and the noun in the number it takes.
std::string counted(std::int64_t n, const char* singular, const char* plural);

// Prints the summary of a check or fix: counts, bits, bad blocks, the worst blocks.
void print_summary(std::FILE* out, const scan_report& r, std::int64_t tail_bytes);

// The CSV token of one corrected bit: 'd', 'p' or 'e' (data, protected bytes or ECC), byte index
// within them, '.', bit (0 = least significant), ':', and how it had flipped ("1>0" read 0,
// corrected to 1; "0>1" the reverse). `data_bytes` is the step's count of data bytes, which
// its protected bytes follow in the engine's message.
std::string fix_token(const bch_bit_fix& f, std::int64_t data_bytes);
