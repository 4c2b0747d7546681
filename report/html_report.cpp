// The report page: written top to bottom in one go from the finished tallies. Every text that
// comes from the user (file names, layout names, the command line) passes markup_escaped.
#include "report/html_report.h"

#include <algorithm>  // std::min, std::max, std::partial_sort, std::clamp
#include <cinttypes>  // PRId64, PRIX64
#include <cmath>      // std::ceil
#include <vector>     // std::vector

#include "layout/layout.h"       // nand_layout, raw_page_bytes
#include "report/report_text.h"  // counted, markup_escaped
#include "report/svg_chart.h"    // bar_chart, write_bar_chart

namespace {

// Runs of blocks marked bad listed on the page; the rest are counted.
constexpr std::size_t kReportBadRuns = 200;

constexpr char kCss[] =
    R"(body{font-family:sans-serif;color:#111;max-width:1040px;margin:1.5em auto;padding:0 1em;line-height:1.4}
h1{font-size:1.5em;margin-bottom:.3em}h2{font-size:1.15em;margin-top:1.6em;border-bottom:1px solid #999}
table{border-collapse:collapse;margin:.4em 0}td,th{padding:2px 10px 2px 0;text-align:left;vertical-align:top}
td.n,th.n{text-align:right}table.facts td:first-child,table.figures td:first-child{font-weight:bold;white-space:nowrap}
code{font-family:monospace;word-break:break-all}.verdict{font-size:1.2em;font-weight:bold;padding:.5em .8em;border:3px solid}
.verdict.ok{border-color:#21918c}.verdict.bad{border-color:#000;background:#000;color:#fff}
.note{color:#333;font-size:.95em}svg{max-width:100%;height:auto;display:block;margin:.4em 0}
@media print{body{max-width:none;margin:0}section{break-inside:avoid}.verdict.bad{background:#fff;color:#000}})";

// Everything the page's sections write goes through these.
void text(std::FILE* f, const std::string& s) {
  std::fputs(markup_escaped(s).c_str(), f);
}

std::string grouped(std::int64_t n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  for (std::int64_t i = static_cast<std::int64_t>(digits.size()) - 3; i > 0; i -= 3)
    digits.insert(static_cast<std::size_t>(i), ",");
  return n < 0 ? "-" + digits : digits;
}

std::string range(std::int64_t first, std::int64_t last) {
  return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

void fact(std::FILE* f, const char* name, const std::string& value, bool as_code = false) {
  std::fprintf(f, "<tr><td>%s</td><td>%s", name, as_code ? "<code>" : "");
  text(f, value);
  std::fprintf(f, "%s</td></tr>\n", as_code ? "</code>" : "");
}

void figure(std::FILE* f, const char* name, std::int64_t value, const std::string& more = "") {
  std::fprintf(f, "<tr><td>%s</td><td class=\"n\">%s</td><td>", name, grouped(value).c_str());
  text(f, more);
  std::fputs("</td></tr>\n", f);
}

// Ticks every power-of-two number of bars that leaves `least` pixels between labels.
std::size_t tick_stride(std::size_t bars, double plot_width, double least) {
  const double bar = bars == 0 ? plot_width : plot_width / static_cast<double>(bars);
  std::size_t n = 1;
  while (static_cast<double>(n) * bar < least)
    n *= 2;
  return n;
}

void write_header(std::FILE* f, const report_header& h, const scan_report& r,
                  const report_stats& s) {
  const nand_layout& layout = *r.settings.layout;
  std::fputs("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n", f);
  std::fputs("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>",
             f);
  text(f, "Dump report: " + h.dump_name);
  std::fprintf(f, "</title>\n<style>\n%s\n</style>\n</head>\n<body>\n<header>\n<h1>", kCss);
  text(f, "Dump report: " + h.dump_name);
  std::fputs("</h1>\n<table class=\"facts\">\n", f);
  fact(f, "Dump", h.dump_name, true);
  std::string size =
      grouped(h.dump_bytes) + " bytes: " + counted(s.total_pages, "page", "pages") + " of " +
      std::to_string(layout.page_size) + " + " + std::to_string(layout.spare_size) + " bytes, " +
      counted(s.blocks, "block", "blocks") + " of " + counted(layout.block_pages, "page", "pages");
  if (h.tail_bytes > 0)
    size +=
        "; " + counted(h.tail_bytes, "byte", "bytes") + " after the last whole page, not checked";
  fact(f, "Size", size);
  fact(f, "SHA-256", h.sha256.empty() ? "unknown" : h.sha256, true);
  fact(f, "Layout", layout_label(layout));
  fact(f, "Code",
       h.code_text + "; " +
           counted(static_cast<std::int64_t>(layout.steps.size()), "step", "steps") + " per page");
  if (layout.scrambler.present)
    fact(f, "Scrambler", scrambler_text(layout));
  fact(f, "Date", utc_iso8601(h.time));
  fact(f, "Tool", h.version);
  fact(f, "Command", h.command_line, true);
  std::fputs("</table>\n</header>\n", f);
}

void write_verdict(std::FILE* f, const scan_report& r) {
  const scan_totals& t = r.totals;
  const std::int64_t counting = uncorrectable_outside_bad_blocks(r);
  std::string line;
  if (counting == 0) {
    line = "All data recovered: every step is clean, erased or corrected";
    if (t.bad_block_uncorrectable > 0)
      line +=
          " (" +
          counted(t.bad_block_uncorrectable, "uncorrectable step lies", "uncorrectable steps lie") +
          " in blocks marked bad)";
  } else {
    line = counted(counting, "step", "steps") + " uncorrectable: their data cannot be recovered";
    if (t.bad_block_uncorrectable > 0)
      line += " (and " + std::to_string(t.bad_block_uncorrectable) + " more in blocks marked bad)";
  }
  std::fprintf(f, "<p id=\"verdict\" class=\"verdict %s\">%s ", counting == 0 ? "ok" : "bad",
               counting == 0 ? "&#10004;" : "&#10006;");
  text(f, line + ".");
  std::fputs("</p>\n", f);
}

void write_figures(std::FILE* f, const scan_report& r) {
  const scan_totals& t = r.totals;
  const nand_layout& layout = *r.settings.layout;
  std::fputs("<section id=\"summary\">\n<h2>Summary</h2>\n", f);
  // Before the figures, which count the steps alone.
  if (const std::string incomplete = incomplete_layout_line(layout); !incomplete.empty()) {
    std::fputs("<p class=\"note\">", f);
    text(f, incomplete + ".");
    std::fputs("</p>\n", f);
  }
  std::fputs("<table class=\"figures\">\n", f);
  figure(f, "pages", t.pages);
  figure(f, "steps (sectors)", t.sectors);
  figure(f, "clean", t.clean);
  figure(f, "erased", t.erased, counted(t.erased_bits, "bit", "bits") + " flipped within them");
  figure(f, "corrected", t.corrected, counted(t.corrected_bits, "bit", "bits"));
  figure(f, "uncorrectable", t.uncorrectable);
  figure(f, "bit flips fixed", t.fell + t.rose,
         grouped(t.fell) + " from 1 to 0, " + grouped(t.rose) + " from 0 to 1");
  if (layout.bad_block.present) {
    std::string more;
    if (t.bad_blocks > 0) {
      more = "their steps, " + grouped(t.bad_block_steps) + ", are counted above, " +
             grouped(t.bad_block_uncorrectable) +
             " of them uncorrectable; blocks:" + bad_block_runs(*r.bad_blocks, kReportBadRuns);
    }
    figure(f, "blocks marked bad", t.bad_blocks, more);
  }
  std::fputs("</table>\n", f);
  if (r.worst.empty()) {
    std::fputs("<p>Blocks with the most errors: none.</p>\n", f);
  } else {
    std::fputs(
        "<p>Blocks with the most errors:</p>\n<table class=\"worst\">\n"
        "<tr><th>block</th><th class=\"n\">uncorrectable steps</th>"
        "<th class=\"n\">bits corrected</th></tr>\n",
        f);
    for (const block_errors& b : r.worst) {
      std::fprintf(f,
                   "<tr><td>%" PRId64 "</td><td class=\"n\">%s</td><td class=\"n\">%s</td></tr>\n",
                   b.block, grouped(b.uncorrectable).c_str(), grouped(b.bits).c_str());
    }
    std::fputs("</table>\n", f);
  }
  if (t.uncorrectable > 0 && 2 * t.uncorrectable > t.sectors - t.erased - t.blank) {
    std::fputs(
        "<p class=\"note\">Most steps are uncorrectable: the layout or the code probably "
        "does not match this dump (pagolinth-ecc detect finds them from the dump itself).</p>\n",
        f);
  }
  std::fputs("</section>\n", f);
}

void write_map(std::FILE* f, const report_stats& s) {
  const page_map& m = s.map;
  std::fputs("<section id=\"map-section\">\n<h2>Map of the pages</h2>\n<p class=\"note\">", f);
  if (m.blocks_per_row == 1 && m.pages_per_column == 1) {
    text(f,
         "One row per block, one cell per page, coloured by the page's worst step. Hover a "
         "cell for its page, status, bits corrected and worst step.");
  } else {
    text(f, "The dump has more pages (" + grouped(s.total_pages) +
                ") than the map has room for, so pages are aggregated: each cell gathers " +
                counted(m.blocks_per_row, "block", "blocks") + " by " +
                counted(m.pages_per_column, "page", "pages") +
                " and is coloured by its worst step; its tooltip names that step's page.");
  }
  std::fputs("</p>\n", f);
  write_page_map(f, m, {}, false, 1000);
  std::fputs("</section>\n", f);
}

void write_picture(std::FILE* f, const dump_picture& p) {
  if (p.width == 0)
    return;
  std::fputs("<section id=\"raw-bytes\">\n<h2>The raw pages</h2>\n<p class=\"note\">", f);
  const std::string stride = grouped(p.page_stride);
  text(f, std::string(p.page_stride == 1
                          ? "One row per page"
                          : "One row per page for pages 0, " + stride + ", 2 \xC3\x97 " + stride +
                                " ... (the dump has more than fit)") +
              ", one pixel per " + counted(p.bytes_per_column, "byte", "bytes") +
              " of the raw page, grey by their mean value: erased bytes white, zeros black. "
              "Fields of the spare area show as stripes down the picture; scrambled pages as "
              "even grey noise from edge to edge.");
  std::fputs("</p>\n", f);
  std::fprintf(f,
               "<img id=\"raw-picture\" width=\"%lld\" height=\"%lld\" "
               "style=\"image-rendering:pixelated;width:%lldpx;height:%lldpx\" "
               "alt=\"grey levels of the raw pages\" src=\"data:image/png;base64,",
               static_cast<long long>(p.width), static_cast<long long>(p.height),
               static_cast<long long>(2 * p.width), static_cast<long long>(2 * p.height));
  const std::string encoded = base64(grey_png(p));
  std::fwrite(encoded.data(), 1, encoded.size(), f);
  std::fputs("\">\n</section>\n", f);
}

std::string bin_label(const report_stats& s, std::size_t i) {
  const std::int64_t b0 = static_cast<std::int64_t>(i) * s.blocks_per_bin;
  const std::int64_t b1 = std::min(s.blocks - 1, b0 + s.blocks_per_bin - 1);
  return b0 == b1 ? "block " + std::to_string(b0) : "blocks " + range(b0, b1);
}

void block_ticks(const report_stats& s, bar_chart& c) {
  const std::size_t stride = tick_stride(s.bins.size(), c.width - 80, 56);
  for (std::size_t i = 0; i < s.bins.size(); i += stride)
    c.x_ticks.emplace_back(i, std::to_string(static_cast<std::int64_t>(i) * s.blocks_per_bin));
}

std::string per_bar(const report_stats& s) {
  return s.blocks_per_bin == 1 ? "one bar per block"
                               : "each bar gathers " + counted(s.blocks_per_bin, "block", "blocks");
}

void write_block_chart(std::FILE* f, const report_stats& s) {
  bar_chart c;
  c.id = "chart-block-bits";
  c.title = "Corrected bits per block";
  c.x_title = "block (" + per_bar(s) + ")";
  c.y_title = "bits corrected";
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    const block_bin& b = s.bins[i];
    chart_bar bar;
    bar.up = static_cast<double>(b.bits);
    bar.tip = bin_label(s, i) + ": " + counted(b.bits, "bit", "bits") + " corrected";
    if (b.uncorrectable > 0) {
      bar.tip += ", " + counted(b.uncorrectable, "step", "steps") + " uncorrectable";
      bar.colour = "#000000";
      bar.up = std::max(bar.up, 1.0);  // the block shows even without a corrected bit
    }
    if (b.bad > 0)
      bar.tip += s.blocks_per_bin == 1 ? "; marked bad"
                                       : "; " + counted(b.bad, "block", "blocks") + " marked bad";
    c.bars.push_back(bar);
  }
  block_ticks(s, c);
  std::fputs("<section id=\"blocks\">\n<h2>Corrected bits per block</h2>\n<p class=\"note\">", f);
  text(f,
       "Bits corrected in each block's steps, erased flips included; black bars hold "
       "uncorrectable steps. Worn blocks stand out (" +
           per_bar(s) + ").");
  std::fputs("</p>\n", f);
  write_bar_chart(f, c);
  std::fputs("</section>\n", f);
}

void write_step_histogram(std::FILE* f, const report_stats& s) {
  bar_chart c;
  c.id = "chart-step-bits";
  c.title = "Steps by bits corrected, against t";
  c.x_title = "bits corrected in the step";
  c.y_title = "steps (logarithmic)";
  c.log_scale = true;
  int most = 0;
  for (int k = 0; k <= s.t; ++k) {
    const std::int64_t n = s.step_bits[static_cast<std::size_t>(k)];
    if (n > 0 && k > 0)
      most = k;
    chart_bar bar;
    bar.up = static_cast<double>(n);
    step_outcome o;
    o.status = k == 0 ? bch_status::clean : bch_status::corrected;
    o.bits = static_cast<std::uint16_t>(k);
    bar.colour = map_level_colour(map_level(o, s.t));
    bar.tip = counted(n, "step", "steps") +
              (k == 0 ? " clean" : " with " + counted(k, "bit", "bits") + " corrected");
    c.bars.push_back(bar);
  }
  chart_bar unc;
  unc.up = static_cast<double>(s.uncorrectable);
  unc.colour = "#000000";
  unc.tip = counted(s.uncorrectable, "step", "steps") + " uncorrectable (more than t bits)";
  c.bars.push_back(unc);
  const std::size_t stride = tick_stride(c.bars.size(), c.width - 80, 24);
  for (int k = 0; k <= s.t; k += static_cast<int>(stride))
    c.x_ticks.emplace_back(static_cast<std::size_t>(k), std::to_string(k));
  c.x_ticks.emplace_back(c.bars.size() - 1, "> t");
  c.markers.emplace_back(static_cast<std::size_t>(s.t) + 1, "t = " + std::to_string(s.t));
  std::fputs("<section id=\"steps\">\n<h2>Bits corrected per step, against t</h2>\n<p>", f);
  if (most == 0) {
    text(f, "No step needed a correction; the code corrects up to t = " + std::to_string(s.t) +
                " bits per step.");
  } else {
    text(f, "The most bits corrected in one step: " + std::to_string(most) + " of t = " +
                std::to_string(s.t) + "; margin left: " + counted(s.t - most, "bit", "bits") + ".");
  }
  if (s.erased > 0)
    text(f, " Erased steps (" + grouped(s.erased) + ") are not counted here.");
  std::fputs("</p>\n", f);
  write_bar_chart(f, c);
  std::fputs("</section>\n", f);
}

struct position_count {
  char where;  // 'd' data, 'p' protected, 'e' ECC
  std::int64_t byte;
  int bit;
  std::int64_t count;
};

void write_positions(std::FILE* f, const report_stats& s) {
  const auto message_bytes = static_cast<std::int64_t>(s.message_positions.size() / 8);
  const auto ecc_bytes = static_cast<std::int64_t>(s.ecc_positions.size() / 8);
  const std::int64_t per_bin = std::max<std::int64_t>(1, (message_bytes + ecc_bytes + 639) / 640);
  bar_chart c;
  c.id = "chart-positions";
  c.title = "Corrected bits by position within the step";
  c.x_title = per_bin == 1 ? "byte within the step: data, protected bytes, ECC"
                           : "byte within the step: data, protected bytes, ECC (" +
                                 std::to_string(per_bin) + " bytes per bar)";
  c.y_title = "bits corrected";
  struct region {
    const char* name;
    const char* tick;
    const std::vector<std::int64_t>* counts;
    std::int64_t first, end;  // bytes within counts
    const char* colour;
  };
  const region regions[] = {
      {"data", "", &s.message_positions, 0, s.data_bytes, "#21918c"},
      {"protected", "p", &s.message_positions, s.data_bytes, message_bytes, "#5ec962"},
      {"ECC", "ECC ", &s.ecc_positions, 0, ecc_bytes, "#472d7b"},
  };
  std::size_t total_bars = 0;
  for (const region& g : regions)
    total_bars += static_cast<std::size_t>((g.end - g.first + per_bin - 1) / per_bin);
  const std::size_t stride = tick_stride(total_bars, c.width - 80, 48);
  std::int64_t total = 0;
  std::vector<std::int64_t> by_bit(8, 0);
  std::vector<position_count> all;
  for (const region& g : regions) {
    const std::size_t region_start = c.bars.size();
    for (std::int64_t b0 = g.first; b0 < g.end; b0 += per_bin) {
      const std::int64_t b1 = std::min(g.end, b0 + per_bin) - 1;
      std::int64_t n = 0;
      for (std::int64_t b = b0; b <= b1; ++b) {
        for (int bit = 0; bit < 8; ++bit) {
          const std::int64_t v = (*g.counts)[static_cast<std::size_t>(8 * b + bit)];
          n += v;
          if (g.counts == &s.message_positions)
            by_bit[static_cast<std::size_t>(bit)] += v;
          if (v > 0)
            all.push_back(position_count{g.name[0] == 'E' ? 'e' : g.name[0], b - g.first, bit, v});
        }
      }
      total += n;
      chart_bar bar;
      bar.up = static_cast<double>(n);
      bar.colour = g.colour;
      bar.tip = std::string(g.name) + (b0 == b1 ? " byte " : " bytes ") +
                range(b0 - g.first, b1 - g.first) + ": " + counted(n, "bit", "bits") + " corrected";
      c.bars.push_back(bar);
    }
    const std::size_t bars = c.bars.size() - region_start;
    for (std::size_t j = 0; j < bars; j += stride) {
      if (j > 0 && bars - j < stride / 2)
        break;  // too close to the next region's first label
      c.x_ticks.emplace_back(region_start + j,
                             (j == 0 ? std::string(g.tick) : std::string()) +
                                 std::to_string(static_cast<std::int64_t>(j) * per_bin));
    }
  }
  std::fputs(
      "<section id=\"positions\">\n<h2>Where in the step the bits were corrected</h2>\n"
      "<p class=\"note\">",
      f);
  text(f,
       "Corrected bits by byte of the step (data, then protected spare bytes, then ECC) and by "
       "bit within the byte. Errors spread evenly over a healthy chip; a stuck bit line or "
       "column shows as a spike at one position.");
  std::fputs("</p>\n", f);
  write_bar_chart(f, c);

  bar_chart b;
  b.id = "chart-bit-in-byte";
  b.title = "Corrected bits of data and protected bytes by bit within the byte";
  b.x_title = "bit within the byte (0 = least significant, as stored)";
  b.y_title = "bits corrected";
  b.width = 480;
  b.height = 200;
  for (int bit = 0; bit < 8; ++bit) {
    chart_bar bar;
    bar.up = static_cast<double>(by_bit[static_cast<std::size_t>(bit)]);
    bar.colour = "#21918c";
    bar.tip = "bit " + std::to_string(bit) + ": " +
              counted(by_bit[static_cast<std::size_t>(bit)], "bit", "bits") + " corrected";
    b.bars.push_back(bar);
    b.x_ticks.emplace_back(static_cast<std::size_t>(bit), std::to_string(bit));
  }
  write_bar_chart(f, b);

  if (!all.empty()) {
    const std::size_t shown = std::min<std::size_t>(all.size(), 10);
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(shown), all.end(),
                      [](const position_count& x, const position_count& y) {
                        return x.count != y.count
                                   ? x.count > y.count
                                   : x.where < y.where ||
                                         (x.where == y.where &&
                                          (x.byte < y.byte || (x.byte == y.byte && x.bit < y.bit)));
                      });
    const double positions =
        static_cast<double>(s.message_positions.size() + s.ecc_positions.size());
    const double mean = static_cast<double>(total) / positions;
    std::fputs(
        "<p>Positions corrected most often (as in the CSV: d data, p protected, e ECC; "
        "byte.bit):</p>\n<table class=\"top-positions\">\n<tr><th>position</th>"
        "<th class=\"n\">bits corrected</th><th class=\"n\">times the average position</th></tr>\n",
        f);
    for (std::size_t i = 0; i < shown; ++i) {
      const position_count& p = all[i];
      std::fprintf(
          f, "<tr><td>%c%" PRId64 ".%d</td><td class=\"n\">%s</td><td class=\"n\">%.1f</td></tr>\n",
          p.where, p.byte, p.bit, grouped(p.count).c_str(), static_cast<double>(p.count) / mean);
    }
    std::fputs("</table>\n", f);
  }
  std::fputs("</section>\n", f);
}

void write_directions(std::FILE* f, const report_stats& s, const scan_totals& t) {
  bar_chart c;
  c.id = "chart-directions";
  c.title = "Bits that had flipped 1 to 0 (above) against 0 to 1 (below), per block";
  c.x_title = "block (" + per_bar(s) + ")";
  c.y_title =
      "1\xE2\x86\x92"
      "0 (blue)";
  c.down_title =
      "0\xE2\x86\x92"
      "1 (orange)";
  c.mirrored = true;
  c.up_colour = "#0072b2";
  c.down_colour = "#e69f00";
  c.height = 280;
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    chart_bar bar;
    bar.up = static_cast<double>(s.bins[i].fell);
    bar.down = static_cast<double>(s.bins[i].rose);
    bar.tip = bin_label(s, i) + ": " + grouped(s.bins[i].fell) + " from 1 to 0, " +
              grouped(s.bins[i].rose) + " from 0 to 1";
    c.bars.push_back(bar);
  }
  block_ticks(s, c);
  std::fputs(
      "<section id=\"directions\">\n<h2>1\xE2\x86\x92"
      "0 against 0\xE2\x86\x92"
      "1 per block</h2>\n<p>",
      f);
  const std::int64_t all = t.fell + t.rose;
  if (all == 0) {
    text(f, "No bit was corrected.");
  } else {
    char share[32];
    std::snprintf(share, sizeof share, "%.1f%%",
                  100.0 * static_cast<double>(t.fell) / static_cast<double>(all));
    text(f, grouped(t.fell) + " bits had flipped from 1 to 0 and " + grouped(t.rose) +
                " from 0 to 1 (" + share +
                " 1\xE2\x86\x92"
                "0). Cells that lose charge read 1 "
                "\xE2\x86\x92 0 (retention, wear); cells that gain it read 0 \xE2\x86\x92 1 (read "
                "or program disturb). Random data loses and gains about equally.");
  }
  std::fputs("</p>\n", f);
  write_bar_chart(f, c);
  std::fputs("</section>\n", f);
}

void write_uncorrectable(std::FILE* f, const report_stats& s) {
  std::fputs("<section id=\"uncorrectable\">\n<h2>Uncorrectable steps</h2>\n", f);
  if (s.uncorrectable == 0) {
    std::fputs("<p>None.</p>\n</section>\n", f);
    return;
  }
  std::fprintf(
      f, "<p>%s, in dump order%s.</p>\n", counted(s.uncorrectable, "step", "steps").c_str(),
      s.uncorrectable > static_cast<std::int64_t>(s.listed.size()) ? "; the first listed" : "");
  std::fputs(
      "<table class=\"uncorrectable\">\n<tr><th class=\"n\">page</th><th class=\"n\">block"
      "</th><th class=\"n\">step</th><th class=\"n\">dump offset</th><th class=\"n\">hex"
      "</th></tr>\n",
      f);
  for (const uncorrectable_step& u : s.listed) {
    std::fprintf(f,
                 "<tr><td class=\"n\">%" PRId64 "</td><td class=\"n\">%" PRId64
                 "</td><td class=\"n\">%d</td><td class=\"n\">%" PRId64
                 "</td><td class=\"n\">0x%" PRIX64 "</td></tr>\n",
                 u.page, u.page / s.layout->block_pages, u.step, u.offset,
                 static_cast<std::uint64_t>(u.offset));
  }
  std::fputs("</table>\n", f);
  const std::int64_t more = s.uncorrectable - static_cast<std::int64_t>(s.listed.size());
  if (more > 0) {
    std::fprintf(f, "<p>And %s more (the CSV of --csv lists every one).</p>\n",
                 counted(more, "step", "steps").c_str());
  }
  std::fputs("</section>\n", f);
}

}  // namespace

std::string utc_iso8601(std::int64_t seconds) {
  seconds = std::clamp<std::int64_t>(seconds, -62135596800, 253402300799);
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Days since 1970-01-01 to the civil date, by 400-year eras that start on 1 March.
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char out[64];
  std::snprintf(out, sizeof out,
                "%04" PRId64 "-%02" PRId64 "-%02" PRId64 "T%02" PRId64 ":%02" PRId64 ":%02" PRId64
                "Z",
                year, month, day, rest / 3600, rest / 60 % 60, rest % 60);
  return out;
}

bool write_html_report(std::FILE* f, const report_header& header, const scan_report& summary,
                       const report_stats& stats) {
  write_header(f, header, summary, stats);
  std::fputs("<main>\n", f);
  write_verdict(f, summary);
  write_figures(f, summary);
  write_map(f, stats);
  write_picture(f, header.picture);
  write_block_chart(f, stats);
  write_step_histogram(f, stats);
  write_positions(f, stats);
  write_directions(f, stats, summary.totals);
  write_uncorrectable(f, stats);
  std::fputs("</main>\n<footer class=\"note\"><p>", f);
  text(f, "Made by " + header.version + " on " + utc_iso8601(header.time) +
              ". A step is one ECC codeword of the layout (a sector).");
  std::fputs("</p></footer>\n</body>\n</html>\n", f);
  return std::ferror(f) == 0;
}
