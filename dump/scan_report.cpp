// Totals, worst blocks, bad blocks, CSV rows and the SVG map of a pass over a dump, all written
// as the batches arrive in page order.
#include "dump/scan_report.h"

#include <algorithm>  // std::max, std::min
#include <cinttypes>  // PRId64
#include <cmath>      // std::ceil
#include <utility>    // std::move

#include "layout/layout.h"  // nand_layout, raw_page_bytes, step_data_bytes

namespace {

// Map levels, from best to worst: a page takes the level of its worst sector.
constexpr int kLevelClean = 0;
constexpr int kLevelErased = 1;
constexpr int kLevelCorrected = 2;  // + 0 ... 7, by bits corrected (level_of)
constexpr int kLevelUncorrectable = 10;
constexpr int kLevels = 11;

const char* const kLevelColour[kLevels] = {
    "#c8e6c9",                                   // clean
    "#f5f5f5",                                   // erased
    "#fff59d", "#ffee58", "#ffca28", "#ffa726",  // 1 ... 4 bits corrected
    "#fb8c00", "#f4511e", "#e53935", "#b71c1c",  // 5 ... 8 bits corrected
    "#000000",                                   // uncorrectable
};

constexpr double kMapLeft = 90;  // room for block numbers
constexpr double kMapTop = 96;   // room for the title and the legend
constexpr double kMapWidth = 1200;
constexpr double kMapHeight = 6000;

// Up to t = 8 each count of corrected bits has its own colour; beyond, the eight colours
// share 1 ... t in equal ranges.
int level_of(const step_outcome& o, int t) {
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

std::string level_name(int level, int t) {
  if (level == kLevelClean)
    return "clean";
  if (level == kLevelErased)
    return "erased";
  if (level == kLevelUncorrectable)
    return "uncorrectable";
  const int i = level - kLevelCorrected + 1;  // 1 ... 8
  if (t <= 8)
    return i == 1 ? "1 bit" : std::to_string(i) + " bits";
  const int low = (i - 1) * t / 8 + 1;
  const int high = i * t / 8;
  return low == high ? std::to_string(low) + " bits"
                     : std::to_string(low) + "-" + std::to_string(high) + " bits";
}

const char* status_word(bch_status s) {
  switch (s) {
    case bch_status::clean:
      return "clean";
    case bch_status::erased:
      return "erased";
    case bch_status::corrected:
      return "corrected";
    case bch_status::uncorrectable:
      return "uncorrectable";
  }
  return "?";
}

std::string xml_escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool worse(const block_errors& a, const block_errors& b) {
  if (a.uncorrectable != b.uncorrectable)
    return a.uncorrectable > b.uncorrectable;
  if (a.bits != b.bits)
    return a.bits > b.bits;
  return a.block < b.block;
}

void close_block(scan_report& r) {
  if (r.current.bits == 0 && r.current.uncorrectable == 0)
    return;
  auto& w = r.worst;
  auto at =
      std::find_if(w.begin(), w.end(), [&](const block_errors& b) { return worse(r.current, b); });
  w.insert(at, r.current);
  if (w.size() > kWorstBlocks)
    w.pop_back();
}

// Writes the finished row of the map, one rectangle per run of pages of the same level.
bool flush_map_row(scan_report& r, std::int64_t block) {
  if (!r.map || r.row.empty())
    return true;
  const double y = kMapTop + static_cast<double>(block) * r.cell_h;
  std::size_t start = 0;
  for (std::size_t i = 1; i <= r.row.size(); ++i) {
    if (i < r.row.size() && r.row[i] == r.row[start])
      continue;
    std::fprintf(r.map.get(),
                 "<rect x=\"%.3f\" y=\"%.3f\" width=\"%.3f\" height=\"%.3f\" fill=\"%s\"/>\n",
                 kMapLeft + static_cast<double>(start) * r.cell_w, y,
                 static_cast<double>(i - start) * r.cell_w, r.cell_h, kLevelColour[r.row[start]]);
    start = i;
  }
  // Block numbers down the left side, spaced so that they never overlap.
  const std::int64_t every =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(14.0 / r.cell_h)));
  if (block % every == 0) {
    std::fprintf(r.map.get(),
                 "<text x=\"%.1f\" y=\"%.3f\" font-size=\"11\" text-anchor=\"end\" "
                 "dominant-baseline=\"middle\">%" PRId64 "</text>\n",
                 kMapLeft - 6, y + r.cell_h / 2, block);
  }
  r.row.clear();
  return std::ferror(r.map.get()) == 0;
}

void write_map_head(scan_report& r, const std::string& dump_name) {
  const nand_layout& layout = *r.settings.layout;
  const int t = r.settings.code->t;
  const std::int64_t columns = layout.block_pages;
  const std::int64_t rows = (r.total_pages + columns - 1) / columns;
  r.cell_w = std::max(1.0, std::min(12.0, kMapWidth / static_cast<double>(columns)));
  r.cell_h = rows > 0 ? std::min(r.cell_w, kMapHeight / static_cast<double>(rows)) : r.cell_w;
  const double width = kMapLeft + static_cast<double>(columns) * r.cell_w + 20;
  const double height = kMapTop + static_cast<double>(rows) * r.cell_h + 20;
  std::FILE* f = r.map.get();
  std::fprintf(f,
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "viewBox=\"0 0 %.3f %.3f\" shape-rendering=\"crispEdges\" "
               "font-family=\"sans-serif\">\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
               std::ceil(width), std::ceil(height), width, height);
  std::fprintf(f,
               "<text x=\"10\" y=\"22\" font-size=\"15\" font-weight=\"bold\">%s</text>\n"
               "<text x=\"10\" y=\"42\" font-size=\"12\">%s of %d + %d bytes, %s of "
               "%s (one row per block, one cell per page, coloured by its worst step); t = %d; "
               "layout: %s</text>\n",
               xml_escaped(dump_name).c_str(), counted(r.total_pages, "page", "pages").c_str(),
               layout.page_size, layout.spare_size, counted(rows, "block", "blocks").c_str(),
               counted(layout.block_pages, "page", "pages").c_str(), t,
               xml_escaped(layout_label(layout)).c_str());
  double x = 10;
  for (int level = 0; level < kLevels; ++level) {
    const std::string name = level_name(level, t);
    std::fprintf(f,
                 "<rect x=\"%.0f\" y=\"56\" width=\"14\" height=\"14\" fill=\"%s\" "
                 "stroke=\"#888888\"/>\n<text x=\"%.0f\" y=\"67\" font-size=\"12\">%s</text>\n",
                 x, kLevelColour[level], x + 18, name.c_str());
    x += level < 2              ? 70
         : level == kLevels - 1 ? 110
                                : std::max(56.0, 24 + 7.0 * static_cast<double>(name.size()));
  }
  std::fprintf(f, "<text x=\"%.0f\" y=\"88\" font-size=\"11\" text-anchor=\"end\">block</text>\n",
               kMapLeft - 6);
}

}  // namespace

std::string layout_label(const nand_layout& layout) {
  if (layout.name.empty())
    return layout.source;
  if (layout.source == kBuiltInLayout)
    return layout.name;
  return "\"" + layout.name + "\" (" + layout.source + ")";
}

std::string fix_token(const bch_bit_fix& f, std::int64_t data_bytes) {
  std::string where = "d";
  std::int64_t byte = f.byte;
  if (f.in_ecc) {
    where = "e";
  } else if (byte >= data_bytes) {
    where = "p";
    byte -= data_bytes;
  }
  return where + std::to_string(byte) + "." + std::to_string(f.bit) + (f.to_one ? ":1>0" : ":0>1");
}

std::string report_open(scan_report& r, const scan_settings& settings, std::int64_t total_pages,
                        const std::vector<std::int64_t>& bad_blocks, const std::string& dump_name,
                        const std::string& csv_path, const std::string& map_path) {
  file_ptr csv, map;
  if (!csv_path.empty()) {
    csv.reset(std::fopen(csv_path.c_str(), "wb"));
    if (!csv)
      return "cannot create " + csv_path;
  }
  if (!map_path.empty()) {
    map.reset(std::fopen(map_path.c_str(), "wb"));
    if (!map)
      return "cannot create " + map_path;
  }
  return report_open_files(r, settings, total_pages, bad_blocks, dump_name, std::move(csv),
                           std::move(map));
}

std::string report_open_files(scan_report& r, const scan_settings& settings,
                              std::int64_t total_pages, const std::vector<std::int64_t>& bad_blocks,
                              const std::string& dump_name, file_ptr csv, file_ptr map) {
  r.settings = settings;
  r.total_pages = total_pages;
  r.bad_blocks = bad_blocks;
  r.totals.bad_blocks = static_cast<std::int64_t>(bad_blocks.size());
  r.csv = std::move(csv);
  r.map = std::move(map);
  if (r.csv) {
    std::fputs("page,block,sector,offset,status,bits,flipped_1to0,flipped_0to1,positions\n",
               r.csv.get());
  }
  if (r.map)
    write_map_head(r, dump_name);
  return "";
}

bool report_batch(scan_report& r, const scan_batch& batch) {
  const nand_layout& layout = *r.settings.layout;
  const int t_code = r.settings.code->t;
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  const std::int64_t page_bytes = raw_page_bytes(layout);
  scan_totals& t = r.totals;
  std::string positions;
  for (std::int64_t p = 0; p < batch.pages; ++p) {
    const std::int64_t page = batch.first_page + p;
    const std::int64_t block = page / layout.block_pages;
    if (page % layout.block_pages == 0) {
      if (page > 0) {
        close_block(r);
        if (!flush_map_row(r, block - 1))
          return false;
      }
      r.current = block_errors{};
      r.current.block = block;
      while (r.next_bad < r.bad_blocks.size() && r.bad_blocks[r.next_bad] < block)
        ++r.next_bad;
      r.in_bad_block = r.next_bad < r.bad_blocks.size() && r.bad_blocks[r.next_bad] == block;
    }
    int page_level = kLevelClean;
    for (std::int64_t k = 0; k < steps; ++k) {
      const step_outcome& o = batch.outcomes[p * steps + k];
      ++t.sectors;
      t.fell += o.fell;
      t.rose += o.rose;
      switch (o.status) {
        case bch_status::clean:
          ++t.clean;
          t.injected_bits += o.bits;
          break;
        case bch_status::erased:
          ++t.erased;
          t.erased_bits += o.bits;
          r.current.bits += o.bits;
          break;
        case bch_status::corrected:
          ++t.corrected;
          t.corrected_bits += o.bits;
          r.current.bits += o.bits;
          break;
        case bch_status::uncorrectable:
          ++t.uncorrectable;
          ++r.current.uncorrectable;
          break;
      }
      if (r.in_bad_block) {
        ++t.bad_block_steps;
        if (o.status == bch_status::uncorrectable)
          ++t.bad_block_uncorrectable;
      }
      page_level = std::max(page_level, level_of(o, t_code));
      if (r.csv && o.status != bch_status::clean) {
        const layout_step& step = layout.steps[static_cast<std::size_t>(k)];
        const std::int64_t data_bytes = step_data_bytes(step);
        positions.clear();
        for (int i = 0; i < o.fix_count; ++i) {
          if (i > 0)
            positions += ' ';
          positions +=
              fix_token(batch.fixes[o.fix_first + static_cast<std::uint32_t>(i)], data_bytes);
        }
        std::fprintf(r.csv.get(),
                     "%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 ",%s,%d,%d,%d,%s\n", page,
                     block, k, page * page_bytes + step.data.front().offset, status_word(o.status),
                     o.bits, o.fell, o.rose, positions.c_str());
      }
    }
    ++t.pages;
    if (r.map)
      r.row.push_back(page_level);
  }
  return !(r.csv && std::ferror(r.csv.get()));
}

std::string report_close(scan_report& r) {
  std::string error;
  if (r.totals.pages > 0) {
    close_block(r);
    if (!flush_map_row(r, (r.totals.pages - 1) / r.settings.layout->block_pages))
      error = "cannot write the map";
  }
  if (r.map) {
    std::fputs("</svg>\n", r.map.get());
    if (!close_checked(r.map) && error.empty())
      error = "cannot write the map";
  }
  if (r.csv && !close_checked(r.csv) && error.empty())
    error = "cannot write the CSV file";
  return error;
}

std::string counted(std::int64_t n, const char* singular, const char* plural) {
  return std::to_string(n) + ' ' + (n == 1 ? singular : plural);
}

std::int64_t uncorrectable_outside_bad_blocks(const scan_report& r) {
  return r.totals.uncorrectable - r.totals.bad_block_uncorrectable;
}

void print_summary(std::FILE* out, const scan_report& r, std::int64_t tail_bytes) {
  const scan_totals& t = r.totals;
  const nand_layout& layout = *r.settings.layout;
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  std::fprintf(out, "pages:           %" PRId64 " of %d + %d bytes, %s each\n", t.pages,
               layout.page_size, layout.spare_size, counted(steps, "sector", "sectors").c_str());
  std::fprintf(out, "sectors:         %" PRId64 "\n", t.sectors);
  std::fprintf(out, "  clean:         %" PRId64 "\n", t.clean);
  std::fprintf(out, "  erased:        %" PRId64 " (%s flipped within them)\n", t.erased,
               counted(t.erased_bits, "bit", "bits").c_str());
  std::fprintf(out, "  corrected:     %" PRId64 " (%s)\n", t.corrected,
               counted(t.corrected_bits, "bit", "bits").c_str());
  std::fprintf(out, "  uncorrectable: %" PRId64 "\n", t.uncorrectable);
  std::fprintf(out,
               "bit flips fixed: %" PRId64 " (%" PRId64 " from 1 to 0, %" PRId64 " from 0 to 1)\n",
               t.fell + t.rose, t.fell, t.rose);
  if (layout.bad_block.present) {
    std::fprintf(out, "bad blocks:      %" PRId64, t.bad_blocks);
    if (t.bad_blocks > 0) {
      std::fprintf(out,
                   " (their sectors, %" PRId64 ", are counted above, %" PRId64
                   " of them uncorrectable; they do not count against the dump):",
                   t.bad_block_steps, t.bad_block_uncorrectable);
      for (std::int64_t b : r.bad_blocks)
        std::fprintf(out, " %" PRId64, b);
    }
    std::fputs("\n", out);
  }
  if (tail_bytes > 0) {
    std::fprintf(out, "tail:            %s after the last whole page, not checked\n",
                 counted(tail_bytes, "byte", "bytes").c_str());
  }
  if (r.worst.empty()) {
    std::fputs("blocks with the most errors: none\n", out);
  } else {
    std::fputs("blocks with the most errors:\n", out);
    for (const block_errors& b : r.worst) {
      std::fprintf(
          out, "  block %" PRId64 ": %s, %s corrected\n", b.block,
          counted(b.uncorrectable, "uncorrectable sector", "uncorrectable sectors").c_str(),
          counted(b.bits, "bit", "bits").c_str());
    }
  }
  // A layout or code that does not fit the dump shows as a dump that is mostly beyond repair;
  // say so rather than leave the user to conclude the chip is dead.
  const std::int64_t blocks = (t.pages + layout.block_pages - 1) / layout.block_pages;
  if (t.uncorrectable > 0 && 2 * t.uncorrectable > t.sectors - t.erased) {
    std::fputs(
        "note: most sectors are uncorrectable; the layout or the code probably does not "
        "match this dump (pagolinth-ecc detect finds them from the dump itself)\n",
        out);
  }
  if (t.bad_blocks > 1 && 2 * t.bad_blocks > blocks) {
    std::fprintf(out,
                 "note: %" PRId64 " of %" PRId64
                 " blocks are marked bad; unless the chip is that worn, check the bad-block "
                 "marker of the layout\n",
                 t.bad_blocks, blocks);
  }
}
