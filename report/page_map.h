// The page map of a pass over a dump: one cell per page (or per group of pages, for dumps with
// more pages than the map has room for), coloured by its worst step, with a tooltip each; a grid
// of bounded size, so memory does not grow with the dump, drawn as SVG once the pass is done.
#pragma once

#include <cstdint>  // std::int64_t, std::int32_t, std::uint8_t
#include <cstdio>   // std::FILE
#include <string>   // std::string
#include <vector>   // std::vector

#include "scan/bad_blocks.h"  // bad_block_set
#include "scan/dump_scan.h"   // step_outcome

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

// The blocks marked bad within one row of the map.
struct map_row_bad {
  std::int64_t count = 0;   // blocks of the row marked bad
  std::int64_t first = -1;  // the first of them, or -1 when none is
};

// The map's grid: rows of `blocks_per_row` blocks, columns of `pages_per_column` pages of the
// block; both are 1 unless the dump has more blocks or pages than the limits given. Its size is
// bounded by those limits whatever the dump: the blocks marked bad are kept row by row.
struct page_map {
  std::int64_t total_pages = 0, block_pages = 1, blocks = 0;
  std::int64_t blocks_per_row = 1, pages_per_column = 1, rows = 0, columns = 0;
  int t = 1;                          // the code's t, which the colour levels divide
  std::int64_t bad_blocks = 0;        // blocks marked bad in all
  std::vector<map_row_bad> bad_rows;  // one per row
  std::vector<map_cell> cells;        // rows * columns, row by row
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
// block, whose blocks marked bad are those of `bad_blocks` (read here, not kept): at most
// `max_columns` columns (pages of a block grouped evenly when there are more), at most
// `max_rows` rows and at most `max_cells` cells (blocks grouped evenly into rows when needed).
// REQUIRES: total_pages >= 0, block_pages >= 1, t >= 1, max_columns >= 1, max_rows >= 1,
// max_cells >= max_columns.
void page_map_init(page_map& map, std::int64_t total_pages, std::int64_t block_pages, int t,
                   const bad_block_set& bad_blocks, std::int64_t max_columns, std::int64_t max_rows,
                   std::int64_t max_cells);

// Adds page `page` with its `steps` outcomes. Pages outside 0 ... total_pages - 1 are ignored.
void page_map_add(page_map& map, std::int64_t page, const step_outcome* outcomes,
                  std::int64_t steps);

// The tooltip of a cell: which block(s) and page(s) it covers, their status, bits corrected
// and the worst step ("page 200 (block 3, page 8): uncorrectable; ...").
std::string map_cell_text(const page_map& map, std::int64_t row, std::int64_t column);

// Draws the map as one <svg id="map"> element: page numbers along the top, block numbers down
// the left (every row, or at a stride that keeps them readable), one rectangle with a <title>
// tooltip per cell (runs of clean or erased cells within a row share one), uncorrectable cells
// crossed, rows holding bad blocks hatched and labelled, and a legend. `heading` lines (plain
// text, escaped here) go above the legend; `standalone` starts the file with an XML
// declaration. Returns false when writing failed.
bool write_page_map(std::FILE* f, const page_map& map, const std::vector<std::string>& heading,
                    bool standalone, double max_width);
