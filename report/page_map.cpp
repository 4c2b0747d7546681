// The page map of a pass: a grid of bounded size, one cell per page or per group of pages, each
// coloured by its worst step, drawn as one SVG element once the pass is done.
#include "report/page_map.h"

#include <algorithm>  // std::max, std::min, std::clamp
#include <cinttypes>  // PRId64
#include <cmath>      // std::floor

#include "report/report_text.h"  // counted, markup_escaped

namespace {

constexpr int kLevelClean = 0;
constexpr int kLevelErased = 1;
constexpr int kLevelCorrected = 2;  // + 0 ... 7, by bits corrected (map_level)
constexpr int kLevelUncorrectable = 10;

// Clean and erased are light neutrals; corrected runs along one sequential scale from light
// yellow (1 bit) to dark violet (t bits), apart in lightness as well as in hue, so that
// neighbouring counts stay apart for colour-blind readers and on grey paper; uncorrectable is
// black, and crossed where cells are large enough.
const char* const kLevelColour[kMapLevels] = {
    "#d4d4d4",                                   // clean
    "#f7f7f7",                                   // erased
    "#fde725", "#addc30", "#5ec962", "#28ae80",  // 1 ... 4 bits corrected
    "#21918c", "#2c728e", "#3b528b", "#472d7b",  // 5 ... 8 bits corrected
    "#000000",                                   // uncorrectable
};

// Rows holding a block marked bad are hatched in this colour, which no level uses.
constexpr char kBadColour[] = "#d55e00";

const char* level_status(int level) {
  return level == kLevelClean           ? "clean"
         : level == kLevelErased        ? "erased"
         : level == kLevelUncorrectable ? "uncorrectable"
                                        : "corrected";
}

std::string range_text(const char* singular, const char* plural, std::int64_t first,
                       std::int64_t last) {
  if (first == last)
    return std::string(singular) + " " + std::to_string(first);
  return std::string(plural) + " " + std::to_string(first) + "-" + std::to_string(last);
}

// The blocks and pages a run of cells (columns c0 ... c1 of a row) covers, in words.
std::string coverage(const page_map& m, std::int64_t row, std::int64_t c0, std::int64_t c1) {
  const std::int64_t b0 = row * m.blocks_per_row;
  const std::int64_t b1 = std::min(m.blocks - 1, b0 + m.blocks_per_row - 1);
  const std::int64_t p0 = c0 * m.pages_per_column;
  const std::int64_t p1 = std::min(m.block_pages - 1, (c1 + 1) * m.pages_per_column - 1);
  if (b0 == b1 && p0 == p1) {
    return "page " + std::to_string(b0 * m.block_pages + p0) + " (block " + std::to_string(b0) +
           ", page " + std::to_string(p0) + ")";
  }
  return range_text("block", "blocks", b0, b1) + ", " + range_text("page", "pages", p0, p1) +
         (b0 == b1 ? "" : " of each");
}

// "; block marked bad" or "; 3 blocks marked bad" when row `row` holds any, else "".
std::string bad_note(const page_map& m, std::int64_t row) {
  const std::int64_t bad = m.bad_rows[static_cast<std::size_t>(row)].count;
  if (bad == 0)
    return "";
  return m.blocks_per_row == 1 ? "; block marked bad"
                               : "; " + counted(bad, "block", "blocks") + " marked bad";
}

bool quiet(const map_cell& c) {
  return c.level <= kLevelErased && c.bits == 0 && c.uncorrectable == 0;
}

// Smallest power of two `n` with n * unit >= least.
std::int64_t stride_for(double unit, double least) {
  std::int64_t n = 1;
  while (static_cast<double>(n) * unit < least)
    n *= 2;
  return n;
}

}  // namespace

int map_level(const step_outcome& o, int t) {
  switch (o.status) {
    case bch_status::clean:
      return kLevelClean;
    case bch_status::erased:
      return kLevelErased;
    case bch_status::corrected: {
      const int bits = std::max<int>(o.bits, 1);
      const int level = t <= 8 ? bits : (bits * 8 + t - 1) / t;
      return kLevelCorrected + std::min(level, 8) - 1;
    }
    case bch_status::uncorrectable:
      return kLevelUncorrectable;
  }
  return kLevelClean;
}

const char* map_level_colour(int level) {
  return kLevelColour[std::clamp(level, 0, kMapLevels - 1)];
}

std::string map_level_name(int level, int t) {
  if (level <= kLevelClean)
    return "clean";
  if (level == kLevelErased)
    return "erased";
  if (level >= kLevelUncorrectable)
    return "uncorrectable";
  const int i = level - kLevelCorrected + 1;  // 1 ... 8
  if (t <= 8)
    return i == 1 ? "1 bit" : std::to_string(i) + " bits";
  const int low = (i - 1) * t / 8 + 1;
  const int high = i * t / 8;
  return low == high ? std::to_string(low) + " bits"
                     : std::to_string(low) + "-" + std::to_string(high) + " bits";
}

void page_map_init(page_map& map, std::int64_t total_pages, std::int64_t block_pages, int t,
                   const bad_block_set& bad_blocks, std::int64_t max_columns, std::int64_t max_rows,
                   std::int64_t max_cells) {
  map = page_map{};
  map.total_pages = std::max<std::int64_t>(total_pages, 0);
  map.block_pages = std::max<std::int64_t>(block_pages, 1);
  map.t = std::max(t, 1);
  map.blocks = (map.total_pages + map.block_pages - 1) / map.block_pages;
  max_columns = std::max<std::int64_t>(max_columns, 1);
  map.pages_per_column = (map.block_pages + max_columns - 1) / max_columns;
  map.columns = (map.block_pages + map.pages_per_column - 1) / map.pages_per_column;
  // A row costs its label and its bad-block marks however few its cells: rows are bounded
  // apart from cells, or a dump of one-page blocks would get a row for each cell.
  max_rows = std::max<std::int64_t>(1, std::min(max_rows, max_cells / map.columns));
  map.blocks_per_row = std::max<std::int64_t>(1, (map.blocks + max_rows - 1) / max_rows);
  map.rows = (map.blocks + map.blocks_per_row - 1) / map.blocks_per_row;
  map.cells.assign(static_cast<std::size_t>(map.rows * map.columns), map_cell{});
  map.bad_rows.assign(static_cast<std::size_t>(map.rows), map_row_bad{});
  for (std::int64_t b = next_bad_block(bad_blocks, 0); b >= 0 && b < map.blocks;) {
    // One row at a time, however many of its blocks are marked.
    const std::int64_t r = b / map.blocks_per_row;
    const std::int64_t last = std::min(map.blocks, (r + 1) * map.blocks_per_row) - 1;
    map_row_bad& row = map.bad_rows[static_cast<std::size_t>(r)];
    row.first = b;
    row.count = bad_blocks_within(bad_blocks, b, last);
    map.bad_blocks += row.count;
    b = next_bad_block(bad_blocks, last + 1);
  }
}

void page_map_add(page_map& map, std::int64_t page, const step_outcome* outcomes,
                  std::int64_t steps) {
  if (page < 0 || page >= map.total_pages)
    return;
  const std::int64_t row = page / map.block_pages / map.blocks_per_row;
  const std::int64_t column = page % map.block_pages / map.pages_per_column;
  map_cell& c = map.cells[static_cast<std::size_t>(row * map.columns + column)];
  ++c.pages;
  for (std::int64_t k = 0; k < steps; ++k) {
    const step_outcome& o = outcomes[k];
    const int level = map_level(o, map.t);
    if (o.status == bch_status::uncorrectable)
      ++c.uncorrectable;
    else
      c.bits += o.bits;
    const int bits = o.status == bch_status::uncorrectable ? 0 : o.bits;
    if (c.worst_page < 0 || level > c.level || (level == c.level && bits > c.worst_bits)) {
      c.level = static_cast<std::uint8_t>(level);
      c.worst_page = page;
      c.worst_step = static_cast<std::int32_t>(k);
      c.worst_bits = bits;
    }
  }
}

std::string map_cell_text(const page_map& m, std::int64_t row, std::int64_t column) {
  const map_cell& c = m.cells[static_cast<std::size_t>(row * m.columns + column)];
  if (c.pages == 0)
    return "";
  const bool single = m.blocks_per_row == 1 && m.pages_per_column == 1;
  std::string text = coverage(m, row, column, column) + ": " + level_status(c.level);
  if (c.bits > 0 || c.level >= kLevelCorrected)
    text += "; " + counted(c.bits, "bit", "bits") + " corrected";
  if (c.uncorrectable > 0 && (!single || c.uncorrectable > 1))
    text += "; " + counted(c.uncorrectable, "step", "steps") + " uncorrectable";
  if (c.level >= kLevelCorrected || (c.level == kLevelErased && c.worst_bits > 0)) {
    text += "; worst: ";
    if (!single)
      text += "page " + std::to_string(c.worst_page) + " ";
    text += "step " + std::to_string(c.worst_step) + " (" +
            (c.level == kLevelUncorrectable ? std::string("uncorrectable")
                                            : counted(c.worst_bits, "bit", "bits")) +
            ")";
  }
  return text + bad_note(m, row);
}

bool write_page_map(std::FILE* f, const page_map& m, const std::vector<std::string>& heading,
                    bool standalone, double max_width) {
  constexpr double kLeft = 70;   // block numbers
  constexpr double kRight = 40;  // bad-block marks
  const auto cell_w = static_cast<std::int64_t>(
      std::clamp(std::floor((max_width - kLeft - kRight) /
                            static_cast<double>(std::max<std::int64_t>(m.columns, 1))),
                 4.0, 16.0));
  const auto cell_h = static_cast<std::int64_t>(
      std::clamp(std::floor(6000.0 / static_cast<double>(std::max<std::int64_t>(m.rows, 1))), 4.0,
                 static_cast<double>(cell_w)));
  const auto left = static_cast<std::int64_t>(kLeft);
  const std::int64_t grid_w = m.columns * cell_w;
  const std::int64_t width =
      std::max<std::int64_t>(left + grid_w + static_cast<std::int64_t>(kRight), 560);

  // The legend's entries, wrapped to the width.
  struct entry {
    std::string name;
    int level;  // -1: the bad-block hatch
    std::int64_t x, y;
  };
  std::vector<entry> legend;
  std::int64_t y = 0;
  for (std::size_t i = 0; i < heading.size(); ++i)
    y += i == 0 ? 24 : 18;
  y += 14;
  std::int64_t x = 10;
  for (int level = 0; level < kMapLevels; ++level) {
    entry e{map_level_name(level, m.t), level, 0, 0};
    const auto w = static_cast<std::int64_t>(28 + 7 * e.name.size());
    if (x + w > width - 10) {
      x = 10;
      y += 20;
    }
    e.x = x;
    e.y = y;
    legend.push_back(e);
    x += w;
  }
  if (m.bad_blocks > 0) {
    const std::string name = "block marked bad";
    const auto w = static_cast<std::int64_t>(28 + 7 * name.size());
    if (x + w > width - 10) {
      x = 10;
      y += 20;
    }
    legend.push_back(entry{name, -1, x, y});
  }
  const std::int64_t axis_y = y + 52;  // page numbers
  const std::int64_t top = axis_y + 10;
  const std::int64_t height = top + m.rows * cell_h + 30;

  if (standalone)
    std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", f);
  std::fprintf(f,
               "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"map\" width=\"%" PRId64
               "\" height=\"%" PRId64 "\" viewBox=\"0 0 %" PRId64 " %" PRId64
               "\" shape-rendering=\"crispEdges\" font-family=\"sans-serif\"%s>\n",
               width, height, width, height,
               standalone ? "" : " style=\"max-width:100%;height:auto\" role=\"img\"");
  std::fprintf(f,
               "<title>Map of the dump: one row per block, one cell per page, coloured by its "
               "worst step</title>\n"
               "<defs><pattern id=\"map-bad\" width=\"6\" height=\"6\" "
               "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
               "<rect width=\"2.5\" height=\"6\" fill=\"%s\"/></pattern></defs>\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
               kBadColour);
  std::int64_t ty = 0;
  for (std::size_t i = 0; i < heading.size(); ++i) {
    ty += i == 0 ? 24 : 18;
    std::fprintf(f, "<text x=\"10\" y=\"%" PRId64 "\" font-size=\"%s\"%s>%s</text>\n", ty,
                 i == 0 ? "15" : "12", i == 0 ? " font-weight=\"bold\"" : "",
                 markup_escaped(heading[i]).c_str());
  }
  std::fputs("<g class=\"legend\">\n", f);
  for (const entry& e : legend) {
    std::fprintf(f,
                 "<rect x=\"%" PRId64 "\" y=\"%" PRId64
                 "\" width=\"14\" height=\"14\" fill=\"%s\" "
                 "stroke=\"#888888\"/>\n<text x=\"%" PRId64 "\" y=\"%" PRId64
                 "\" font-size=\"12\">%s</text>\n",
                 e.x, e.y, e.level < 0 ? "url(#map-bad)" : kLevelColour[e.level], e.x + 18,
                 e.y + 11, e.name.c_str());
  }
  std::fputs("</g>\n", f);

  // Axes: page numbers along the top, block numbers down the left, each at a stride that
  // keeps the labels apart.
  const std::string page_axis =
      m.pages_per_column == 1
          ? "page in block"
          : "page in block (" + std::to_string(m.pages_per_column) + " pages per cell)";
  const std::string block_axis =
      m.blocks_per_row == 1 ? "block" : "block (" + std::to_string(m.blocks_per_row) + " per row)";
  std::fprintf(f,
               "<g class=\"axes\" font-size=\"11\">\n<text x=\"%" PRId64 "\" y=\"%" PRId64
               "\">%s</text>\n<text x=\"%" PRId64 "\" y=\"%" PRId64 "\">%s</text>\n",
               left, axis_y - 18, page_axis.c_str(), std::int64_t{4}, axis_y - 18,
               block_axis.c_str());
  const std::int64_t page_stride = stride_for(static_cast<double>(cell_w), 28);
  for (std::int64_t c = 0; c < m.columns; c += page_stride) {
    std::fprintf(f, "<text x=\"%" PRId64 "\" y=\"%" PRId64 "\">%" PRId64 "</text>\n",
                 left + c * cell_w, axis_y, c * m.pages_per_column);
  }
  const std::int64_t row_stride = stride_for(static_cast<double>(cell_h), 13);
  for (std::int64_t r = 0; r < m.rows; r += row_stride) {
    std::fprintf(f,
                 "<text x=\"%" PRId64 "\" y=\"%" PRId64
                 "\" text-anchor=\"end\" dominant-baseline=\"middle\">%" PRId64 "</text>\n",
                 left - 6, top + r * cell_h + cell_h / 2, r * m.blocks_per_row);
  }
  std::fputs("</g>\n", f);

  // The cells, row by row; a run of quiet cells shares one rectangle and one tooltip.
  // A pixel of white between cells where they are large enough, so that neighbours of one
  // colour still read as cells.
  const std::int64_t gap_w = cell_w >= 6 ? 1 : 0;
  const std::int64_t gap_h = cell_h >= 6 ? 1 : 0;
  std::fputs("<g class=\"cells\">\n", f);
  std::string crosses;  // the row's crosses, one path for them all: a third of the bytes each
  for (std::int64_t r = 0; r < m.rows; ++r) {
    const std::int64_t yr = top + r * cell_h;
    crosses.clear();
    for (std::int64_t c = 0; c < m.columns;) {
      const map_cell& cell = m.cells[static_cast<std::size_t>(r * m.columns + c)];
      if (cell.pages == 0) {
        ++c;
        continue;
      }
      std::int64_t end = c + 1;
      std::string text;
      if (quiet(cell)) {
        while (end < m.columns) {
          const map_cell& next = m.cells[static_cast<std::size_t>(r * m.columns + end)];
          if (next.pages == 0 || !quiet(next) || next.level != cell.level)
            break;
          ++end;
        }
        text = coverage(m, r, c, end - 1) + ": " + level_status(cell.level) + bad_note(m, r);
      } else {
        text = map_cell_text(m, r, c);
      }
      const std::int64_t xc = left + c * cell_w;
      std::fprintf(f,
                   "<rect x=\"%" PRId64 "\" y=\"%" PRId64 "\" width=\"%" PRId64
                   "\" height=\"%" PRId64 "\" fill=\"%s\"><title>%s</title></rect>\n",
                   xc, yr, (end - c) * cell_w - gap_w, cell_h - gap_h, kLevelColour[cell.level],
                   markup_escaped(text).c_str());
      if (cell.level == kLevelUncorrectable && cell_w >= 6 && cell_h >= 6) {
        char cross[192];
        std::snprintf(cross, sizeof cross,
                      "M%" PRId64 " %" PRId64 "l%" PRId64 " %" PRId64 "m0 -%" PRId64 "l-%" PRId64
                      " %" PRId64,
                      xc + 1, yr + 1, cell_w - 3, cell_h - 3, cell_h - 3, cell_w - 3, cell_h - 3);
        crosses += cross;
      }
      c = end;
    }
    if (!crosses.empty()) {
      std::fprintf(f, "<path d=\"%s\" stroke=\"#ffffff\" pointer-events=\"none\"/>\n",
                   crosses.c_str());
    }
  }
  std::fputs("</g>\n", f);

  // Rows with a block marked bad: hatched across, and marked beside the grid.
  if (m.bad_blocks > 0) {
    std::fputs("<g class=\"bad-blocks\">\n", f);
    for (std::int64_t r = 0; r < m.rows; ++r) {
      const map_row_bad& row = m.bad_rows[static_cast<std::size_t>(r)];
      if (row.count == 0)
        continue;
      const std::int64_t yr = top + r * cell_h;
      const std::string what = m.blocks_per_row == 1
                                   ? "block " + std::to_string(row.first) + " marked bad"
                                   : counted(row.count, "block", "blocks") +
                                         " marked bad from block " + std::to_string(row.first);
      std::fprintf(
          f,
          "<rect x=\"%" PRId64 "\" y=\"%" PRId64 "\" width=\"%" PRId64 "\" height=\"%" PRId64
          "\" fill=\"url(#map-bad)\" fill-opacity=\"0.7\" pointer-events=\"none\"/>\n"
          "<rect x=\"%" PRId64 "\" y=\"%" PRId64 "\" width=\"14\" height=\"%" PRId64
          "\" fill=\"url(#map-bad)\" stroke=\"%s\"><title>%s</title></rect>\n",
          left, yr, grid_w, cell_h, left + grid_w + 6, yr, cell_h, kBadColour, what.c_str());
    }
    std::fputs("</g>\n", f);
  }
  std::fputs("</svg>\n", f);
  return std::ferror(f) == 0;
}
