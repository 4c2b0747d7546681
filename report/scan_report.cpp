// Totals, worst blocks, bad blocks, CSV rows and the page map of a pass over a dump, gathered as
// the batches arrive in page order, and the summary they make.
#include "report/scan_report.h"

#include <algorithm>  // std::find_if
#include <cinttypes>  // PRId64
#include <utility>    // std::move

#include "layout/bit_spans.h"    // get_bit
#include "layout/layout.h"       // nand_layout, raw_page_bytes, step_data_bytes
#include "report/report_text.h"  // counted

namespace {

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

}  // namespace

std::string layout_label(const nand_layout& layout) {
  if (layout.name.empty())
    return layout.source;
  if (layout.source == kBuiltInLayout)
    return layout.name;
  return "\"" + layout.name + "\" (" + layout.source + ")";
}

std::string fix_token(const bch_bit_fix& f, const layout_step& step, bool lsb_first) {
  const char* flip = f.to_one ? ":1>0" : ":0>1";
  if (!step.bits) {
    std::string where = "d";
    std::int64_t byte = f.byte;
    const std::int64_t data_bytes = step_data_bytes(step);
    if (f.in_ecc) {
      where = "e";
    } else if (byte >= data_bytes) {
      where = "p";
      byte -= data_bytes;
    }
    return where + std::to_string(byte) + "." + std::to_string(f.bit) + flip;
  }
  std::string where = "d";
  std::int64_t j = 8 * std::int64_t{f.byte} + (lsb_first ? f.bit : 7 - f.bit);
  const std::int64_t data_bits = step_data_bits(step);
  if (f.in_ecc) {
    where = "e";
  } else if (j >= data_bits) {
    where = "p";
    j -= data_bits;
  }
  return where + std::to_string(j / 8) + "." + std::to_string(lsb_first ? j % 8 : 7 - j % 8) + flip;
}

std::string bad_block_runs(const bad_block_set& bad_blocks, std::size_t max_runs) {
  std::string text;
  std::int64_t listed = 0;
  std::size_t runs = 0;
  for (std::int64_t b = next_bad_block(bad_blocks, 0); b >= 0 && runs < max_runs; ++runs) {
    const std::int64_t end = next_good_block(bad_blocks, b);
    text += " " + std::to_string(b);
    if (end - 1 > b)
      text += "-" + std::to_string(end - 1);
    listed += end - b;
    b = next_bad_block(bad_blocks, end);
  }
  if (listed < bad_blocks.count)
    text += " and " + std::to_string(bad_blocks.count - listed) + " more";
  return text;
}

void report_open(scan_report& r, const scan_settings& settings, std::int64_t total_pages,
                 const bad_block_set& bad_blocks, const std::string& dump_name, file_ptr csv,
                 file_ptr map, bool source_column) {
  r.settings = settings;
  r.total_pages = total_pages;
  r.bad_blocks = &bad_blocks;
  r.totals.bad_blocks = bad_blocks.count;
  r.csv = std::move(csv);
  r.map = std::move(map);
  r.source_column = source_column;
  if (r.csv) {
    std::fputs("page,block,sector,offset,status,bits,flipped_1to0,flipped_0to1,positions",
               r.csv.get());
    std::fputs(source_column ? ",source\n" : "\n", r.csv.get());
  }
  if (r.map) {
    const nand_layout& layout = *settings.layout;
    page_map_init(r.cells, total_pages, layout.block_pages, settings.code->t, bad_blocks,
                  kMapMaxColumns, kMapMaxRows, kMapMaxCells);
    const std::int64_t blocks = r.cells.blocks;
    r.map_heading = {
        dump_name,
        counted(total_pages, "page", "pages") + " of " + std::to_string(layout.page_size) + " + " +
            std::to_string(layout.spare_size) + " bytes, " + counted(blocks, "block", "blocks") +
            " of " + counted(layout.block_pages, "page", "pages") +
            " (one row per block, one cell per page, coloured by its worst step); t = " +
            std::to_string(settings.code->t) + "; layout: " + layout_label(layout),
        r.cells.blocks_per_row == 1 && r.cells.pages_per_column == 1
            ? "Hover a cell for its page, status, bits corrected and worst step."
            : "More pages than the map has room for: each cell gathers " +
                  counted(r.cells.blocks_per_row, "block", "blocks") + " by " +
                  counted(r.cells.pages_per_column, "page", "pages") +
                  " and shows its worst step; hover a cell for its worst page."};
  }
}

namespace {

// True when every bit of the step's data and protected spans in `page` is zero.
bool zero_message(const unsigned char* page, const layout_step& step, bool lsb_first) {
  for (const auto* spans : {&step.data, &step.protected_}) {
    for (const layout_span& span : *spans) {
      for (std::int64_t i = span.offset; i < span.offset + span.length; ++i) {
        if (step.bits ? get_bit(page, i, lsb_first) : page[i] != 0)
          return false;
      }
    }
  }
  return true;
}

}  // namespace

bool report_batch(scan_report& r, const scan_batch& batch, const std::string* sources) {
  const nand_layout& layout = *r.settings.layout;
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  const std::int64_t page_bytes = raw_page_bytes(layout);
  scan_totals& t = r.totals;
  std::string positions;
  for (std::int64_t p = 0; p < batch.pages; ++p) {
    const std::int64_t page = batch.first_page + p;
    const std::int64_t block = page / layout.block_pages;
    if (page % layout.block_pages == 0) {
      if (page > 0)
        close_block(r);
      r.current = block_errors{};
      r.current.block = block;
      r.in_bad_block = is_bad_block(*r.bad_blocks, block);
    }
    for (std::int64_t k = 0; k < steps; ++k) {
      const step_outcome& o = batch.outcomes[p * steps + k];
      ++t.sectors;
      t.fell += o.fell;
      t.rose += o.rose;
      if ((o.status == bch_status::clean || o.status == bch_status::corrected) &&
          batch.bytes != nullptr &&
          zero_message(batch.bytes + p * page_bytes, layout.steps[static_cast<std::size_t>(k)],
                       layout.code.lsb_first))
        ++t.blank;
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
      const std::string* source = r.source_column && sources ? &sources[p * steps + k] : nullptr;
      if (r.csv && (o.status != bch_status::clean || (source && !source->empty()))) {
        const layout_step& step = layout.steps[static_cast<std::size_t>(k)];
        positions.clear();
        for (int i = 0; i < o.fix_count; ++i) {
          if (i > 0)
            positions += ' ';
          positions += fix_token(batch.fixes[o.fix_first + static_cast<std::uint32_t>(i)], step,
                                 layout.code.lsb_first);
        }
        std::fprintf(r.csv.get(), "%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 ",%s,%d,%d,%d,%s",
                     page, block, k, page * page_bytes + step_first_byte(step),
                     bch_status_name(o.status), o.bits, o.fell, o.rose, positions.c_str());
        if (r.source_column)
          std::fprintf(r.csv.get(), ",%s", source ? source->c_str() : "");
        std::fputc('\n', r.csv.get());
      }
    }
    ++t.pages;
    if (r.map)
      page_map_add(r.cells, page, batch.outcomes + p * steps, steps);
  }
  return !(r.csv && std::ferror(r.csv.get()));
}

status report_close(scan_report& r) {
  std::string error;
  if (r.totals.pages > 0) {
    close_block(r);
  }
  if (r.map) {
    write_page_map(r.map.get(), r.cells, r.map_heading, true, 1200);
    if (!close_checked(r.map) && error.empty())
      error = "cannot write the map";
  }
  if (r.csv && !close_checked(r.csv) && error.empty())
    error = "cannot write the CSV file";
  return status{error};
}

std::string scrambler_text(const nand_layout& layout) {
  const layout_scrambler& s = layout.scrambler;
  if (!s.present)
    return "";
  const std::int64_t pages = static_cast<std::int64_t>(s.key.size()) / raw_page_bytes(layout);
  return s.key_path + ", " + counted(pages, "page", "pages") + " of key, ECC over the " +
         (s.ecc == scrambler_ecc::plain ? "plain" : "scrambled") + " bytes";
}

std::int64_t uncorrectable_outside_bad_blocks(const scan_report& r) {
  return r.totals.uncorrectable - r.totals.bad_block_uncorrectable;
}

std::string incomplete_layout_line(const nand_layout& layout) {
  // In bits, so that steps that count bits are weighed by what they hold, not by their image.
  std::int64_t held_bits = 0;
  for (const layout_step& step : layout.steps)
    held_bits += step_data_bits(step);
  const std::int64_t held = held_bits / 8;
  if (held_bits >= 8 * std::int64_t{layout.page_size})
    return "";
  // Rounded down, so that a layout short of a single byte never reads as 100%.
  const std::int64_t percent = 100 * held / layout.page_size;
  return "incomplete layout: its steps hold " + std::to_string(held) + " of the page's " +
         std::to_string(layout.page_size) + " data bytes (" + std::to_string(percent) +
         "%); extract leaves the rest out";
}

std::vector<std::string> summary_lines(const scan_report& r, std::int64_t tail_bytes) {
  const scan_totals& t = r.totals;
  const nand_layout& layout = *r.settings.layout;
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  const auto n = [](std::int64_t v) { return std::to_string(v); };
  std::vector<std::string> lines;
  lines.push_back("pages:           " + n(t.pages) + " of " + n(layout.page_size) + " + " +
                  n(layout.spare_size) + " bytes, " + counted(steps, "sector", "sectors") +
                  " each");
  // Right under the geometry: every count below is of the steps alone.
  if (const std::string incomplete = incomplete_layout_line(layout); !incomplete.empty())
    lines.push_back(incomplete);
  lines.push_back("sectors:         " + n(t.sectors));
  lines.push_back("  clean:         " + n(t.clean));
  lines.push_back("  erased:        " + n(t.erased) + " (" + counted(t.erased_bits, "bit", "bits") +
                  " flipped within them)");
  lines.push_back("  corrected:     " + n(t.corrected) + " (" +
                  counted(t.corrected_bits, "bit", "bits") + ")");
  lines.push_back("  uncorrectable: " + n(t.uncorrectable));
  lines.push_back("bit flips fixed: " + n(t.fell + t.rose) + " (" + n(t.fell) + " from 1 to 0, " +
                  n(t.rose) + " from 0 to 1)");
  if (layout.bad_block.present) {
    std::string line = "bad blocks:      " + n(t.bad_blocks);
    if (t.bad_blocks > 0) {
      line += " (their sectors, " + n(t.bad_block_steps) + ", are counted above, " +
              n(t.bad_block_uncorrectable) +
              " of them uncorrectable; they do not count against the dump):" +
              bad_block_runs(*r.bad_blocks, kListedBadRuns);
    }
    lines.push_back(line);
  }
  if (tail_bytes > 0) {
    lines.push_back("tail:            " + counted(tail_bytes, "byte", "bytes") +
                    " after the last whole page, not checked");
  }
  if (r.worst.empty()) {
    lines.push_back("blocks with the most errors: none");
  } else {
    lines.push_back("blocks with the most errors:");
    for (const block_errors& b : r.worst) {
      lines.push_back("  block " + n(b.block) + ": " +
                      counted(b.uncorrectable, "uncorrectable sector", "uncorrectable sectors") +
                      ", " + counted(b.bits, "bit", "bits") + " corrected");
    }
  }
  // A layout or code that does not fit the dump shows as a dump that is mostly beyond repair;
  // say so rather than leave the user to conclude the chip is dead.
  const std::int64_t blocks = (t.pages + layout.block_pages - 1) / layout.block_pages;
  // Sectors of zeros decode under any code without a mask: they are left out of the share.
  if (t.uncorrectable > 0 && 2 * t.uncorrectable > t.sectors - t.erased - t.blank) {
    lines.push_back(
        "note: most sectors are uncorrectable; the layout or the code probably does not "
        "match this dump (pagolinth-ecc detect finds them from the dump itself)");
  }
  if (t.bad_blocks > 1 && 2 * t.bad_blocks > blocks) {
    lines.push_back("note: " + n(t.bad_blocks) + " of " + n(blocks) +
                    " blocks are marked bad; unless the chip is that worn, check the bad-block "
                    "marker of the layout");
  }
  return lines;
}
