// probe, detect and layout: what a dump's layout and code are, found from the dump or printed
// as a layout file, told as lines for the caller to show.
#include <cinttypes>   // PRId64
#include <cstdarg>     // va_list, va_start, va_end
#include <cstdio>      // std::snprintf
#include <filesystem>  // std::filesystem::u8path

#include "codec/layout_code.h"  // code_text, mask_name
#include "commands/commands.h"
#include "commands/commands_internal.h"  // open_whole_dump, reader_of
#include "detect/evidence.h"             // kEvidenceBar, odds_text
#include "detect/gf2_poly.h"             // poly_hex
#include "detect/xor_key.h"              // descrambled_reader
#include "files/output_file.h"           // staged_output, stage_output, commit_output
#include "layout/layout_file.h"          // layout_comment_text, key_file_fault
#include "report/report_text.h"          // counted
#include "report/scan_report.h"          // layout_label

namespace {

std::string printed(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf into a string, for the table rows.
std::string printed(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

const char* order_name(bool lsb_first) {
  return lsb_first ? "lsb" : "msb";
}

const char* pad_name(bool pad_start) {
  return pad_start ? "start" : "end";
}

// The probe's table, best first, at most 40 rows, and its verdict: the best candidate as
// options or as the layout file's settings, or why nothing was found.
void probe_lines(const probe_request& q, const nand_layout& layout, probe_outcome& r) {
  std::vector<std::string>& lines = r.lines;
  const bool from_file = !q.layout.layout_file.empty();
  lines.push_back("probe of " + q.dump + ": " + std::to_string(r.sampled) +
                  (r.sampled == 1 ? " distinct sector that is" : " distinct sectors that are") +
                  " not erased, from the start");
  if (from_file) {
    lines.push_back("layout: " + layout_label(layout));
    lines.push_back(
        "rank  bit-order  ecc-mask   pad     t  usable  chance  odds      clean  corrected  "
        "uncorrectable");
  } else {
    lines.push_back(
        "rank  bit-order  ecc-mask   t  usable  chance  odds      clean  corrected  "
        "uncorrectable");
  }
  const std::size_t shown = std::min<std::size_t>(r.candidates.size(), 40);
  for (std::size_t i = 0; i < shown; ++i) {
    const probe_candidate& c = r.candidates[i];
    std::string row =
        printed("%4zu  %-9s  %-9s  ", i + 1, order_name(c.code.lsb_first), mask_name(c.code.mask));
    row += from_file ? printed("%-5s  %2d", pad_name(c.code.pad_start), c.code.t)
                     : printed("%d", c.code.t);
    row += printed("  %5.1f%%  %5.1f%%  %-8s  %5" PRId64 "  %9" PRId64 "  %13" PRId64,
                   c.count.tried > 0 ? 100.0 * static_cast<double>(c.count.usable) /
                                           static_cast<double>(c.count.tried)
                                     : 0.0,
                   100.0 * c.chance, odds_text(c.log10_evidence).c_str(), c.count.clean,
                   c.count.corrected, c.count.uncorrectable);
    lines.push_back(row);
  }
  if (shown < r.candidates.size())
    lines.push_back("(" + std::to_string(r.candidates.size() - shown) +
                    " more candidates, none better)");
  lines.push_back(
      "usable: steps that decode clean or corrected; chance: the share random data would reach;");
  lines.push_back("odds: the probability that chance alone decodes as many");
  const probe_candidate& best = r.candidates.front();
  if (best.log10_evidence > kEvidenceBar) {
    // Zero-filled sectors are codewords of every code: when they are all there is, nothing
    // tells one convention from another, and no other layout would change that.
    if (best.count.tried == 0) {
      lines.push_back(
          "every sector sampled decodes to zeros under every convention: nothing tells them "
          "apart");
      return;
    }
    lines.push_back(
        std::string(best.count.usable == 0
                        ? "no convention decodes any sector: "
                        : "no convention decodes more sectors than random data would: ") +
        (from_file ? "the layout's spans or code are probably wrong for this dump"
                   : "the geometry (--page-size, --spare-size) or the layout is "
                     "probably wrong for this dump"));
    lines.push_back("pagolinth-ecc detect " + shell_quoted(q.dump) +
                    " finds the layout and the code from the dump itself");
    return;
  }
  r.found = true;
  if (from_file) {
    lines.push_back("best: in [code] of " + q.layout.layout_file +
                    ": t = " + std::to_string(best.code.t) + ", bit_order = \"" +
                    order_name(best.code.lsb_first) + "\", ecc_mask = \"" +
                    (best.code.mask == layout_mask::bytes ? "(the file's hex mask)"
                                                          : mask_name(best.code.mask)) +
                    "\", pad = \"" + pad_name(best.code.pad_start) + "\"");
    return;
  }
  const layout_choice& o = q.layout;
  lines.push_back("best: pagolinth-ecc check --page-size " + std::to_string(o.page_size) +
                  " --spare-size " + std::to_string(o.spare_size) + " --block-pages " +
                  std::to_string(o.block_pages) + " -t " + std::to_string(best.code.t) +
                  " --bit-order " + order_name(best.code.lsb_first) + " --ecc-mask " +
                  mask_name(best.code.mask) + " " + shell_quoted(q.dump));
}

// The data bytes a page's steps hold together.
std::int64_t data_bytes_held(const nand_layout& layout) {
  std::int64_t held = 0;
  for (const layout_step& step : layout.steps)
    held += step_data_bytes(step);
  return held;
}

std::string span_text(const layout_span& s) {
  return "[" + std::to_string(s.offset) + ", " + std::to_string(s.length) + "]";
}

// A step's spans as the report lists them: "data [0, 512], protected [512, 8], ECC [520, 7]",
// each span named "bits" in a step that counts bits.
std::string step_spans_text(const layout_step& s) {
  const std::string unit = s.bits ? " bits " : " ";
  std::string spans;
  for (const layout_span& d : s.data)
    spans += span_text(d);
  std::string prot;
  for (const layout_span& p : s.protected_)
    prot += span_text(p);
  return "data" + unit + spans + (prot.empty() ? "" : ", protected" + unit + prot) + ", ECC" +
         unit + span_text(s.ecc);
}

// The report of a search, each line a TOML comment, so that what standard output receives is
// itself a layout file.
std::string detect_report(const detect_request& q, const detect_result& r,
                          const std::vector<geometry_guess>& guesses, bool guessed) {
  std::string text;
  // The dump's name is the user's text: a line break in it must not end the comment.
  const auto line = [&text](const std::string& s) { text += "# " + layout_comment_text(s) + "\n"; };
  line("pagolinth-ecc detect " + q.dump);
  if (guessed) {
    for (std::size_t i = 0; i < guesses.size() && i < 3; ++i) {
      const geometry_guess& g = guesses[i];
      const std::string why =
          g.evidence == geometry_evidence::erased_runs
              ? printed("%.0f%% of %" PRId64, 100.0 * g.score, g.runs) +
                    " erased-run ends on its page boundaries"
              : printed("%.0f%% of the best; %" PRId64 " columns constant in %" PRId64
                        " sampled pages, %" PRId64 " with the pages shifted",
                        100.0 * g.score, g.columns, g.pages, g.chance_columns);
      line(std::string(i == 0 ? "geometry guesses: " : "                  ") +
           std::to_string(g.geometry.page_size) + " + " + std::to_string(g.geometry.spare_size) +
           " bytes (" + why + ")");
    }
  }
  if (r.found) {
    const nand_layout& l = r.layout;
    line("geometry: " + std::to_string(l.page_size) + " + " + std::to_string(l.spare_size) +
         " bytes a page, " + std::to_string(l.block_pages) + " pages a block" +
         (guessed ? " (guessed; pages a block assumed)" : " (given)"));
  }
  if (!q.xor_key.empty()) {
    line("scrambler: " + q.xor_key +
         (!r.found ? " taken off before the search; the dump as stored was searched too"
          : r.layout.scrambler.ecc == scrambler_ecc::plain
              ? " taken off before the search"
              : " taken off, nothing decoded; the pages as stored do"));
  }
  if (r.pages_sampled > 0)
    line("sampled " + std::to_string(r.pages_sampled) + " pages, " + std::to_string(r.pages_used) +
         " of them programmed and distinct");
  if (!r.found) {
    if (r.geometry_unsure)
      line(
          "nothing settled: the best geometry guesses fit the dump alike, and the search did "
          "not tell them apart");
    else
      line("nothing convincing found: no layout and code decode more steps than chance would");
    // When unsure, the last line asks for the geometry: it rules nothing out.
    for (std::size_t i = 0; i < r.ruled_out.size(); ++i)
      line(
          (r.geometry_unsure && i + 1 == r.ruled_out.size() ? "geometry unsure: " : "ruled out: ") +
          r.ruled_out[i]);
    if (q.quick)
      line("the long search for dumps with bit errors in most steps was skipped (--quick)");
    return text;
  }
  const nand_layout& l = r.layout;
  const bool bits = l.steps[0].bits;
  line("found: " + std::to_string(l.steps.size()) + " steps a page, " +
       std::to_string(step_data_bytes(l.steps[0])) + " data bytes each" +
       (bits ? std::string(", spans in bits: bit b of the raw page is bit ") +
                   (l.code.lsb_first ? "b % 8" : "7 - b % 8") + " of byte b / 8"
             : ""));
  const std::int64_t held = data_bytes_held(l);
  if (held < l.page_size) {
    // Steps that decode well but leave data out are no layout to extract with.
    line(printed("incomplete: the steps hold %" PRId64 " of the page's %d data bytes (%.0f%%); ",
                 held, static_cast<int>(l.page_size),
                 100.0 * static_cast<double>(held) / static_cast<double>(l.page_size)) +
         "the rest lies in no codeword found, and extract would leave it out");
  }
  for (const std::string& a : r.ambiguities)
    line("ambiguous: " + a);
  if (l.scrambler.present && l.scrambler.ecc == scrambler_ecc::scrambled)
    line(
        "ambiguous: the ECC covers the bytes as stored (ecc = \"scrambled\"), so the code "
        "cannot tell whether the key applies at all: extract's plain data shows it");
  // A bit step's ECC span holds the parity bits alone; the engine keeps them in whole bytes.
  const int ecc_bytes = bits ? (r.parity_bits + 7) / 8 : static_cast<int>(l.steps[0].ecc.length);
  line("code: " + code_text(l.code, ecc_bytes) + "; " + std::to_string(r.parity_bits) +
       " parity bits" + (bits ? ", stored as the ECC span's bits, without padding" : ""));
  line("generator g(x) = 0x" + poly_hex(r.generator));
  for (std::size_t k = 0; k < l.steps.size(); ++k)
    line("  step " + std::to_string(k) + ": " + step_spans_text(l.steps[k]));
  if (l.bad_block.present)
    line(std::string("bad-block marker: ") + (bits ? "bytes " : "") +
         span_text(l.bad_block.marker) +
         " (0xFF in nearly every programmed page; assumed on the first page of a block)");
  const detect_evidence& e = r.evidence;
  line("evidence: " + std::to_string(e.steps_sampled) + " programmed steps decoded: " +
       std::to_string(e.clean) + " clean, " + std::to_string(e.corrected) + " corrected, " +
       std::to_string(e.uncorrectable) + " uncorrectable (" +
       printed("%.1f%%", e.steps_sampled > 0 ? 100.0 * static_cast<double>(e.clean + e.corrected) /
                                                   static_cast<double>(e.steps_sampled)
                                             : 0.0) +
       ")");
  line("random data would decode " + printed("%.3g%%", 100.0 * e.chance) +
       " of them; the odds of chance doing this well: " + odds_text(e.log10_odds));
  return text;
}

// The key file as a layout file written to `out` names it: relative to the layout's folder,
// or as given when the layout goes to standard output.
std::string key_name(const std::string& key, const std::string& out) {
  if (out.empty())
    return key;
  std::error_code ec;
  const std::filesystem::path at = std::filesystem::absolute(std::filesystem::u8path(key), ec);
  const std::filesystem::path folder =
      std::filesystem::absolute(std::filesystem::u8path(out), ec).parent_path();
  const std::filesystem::path relative =
      at.lexically_normal().lexically_relative(folder.lexically_normal());
  return ec || relative.empty() ? at.u8string() : relative.u8string();
}

}  // namespace

probe_outcome run_probe(const probe_request& q) {
  probe_outcome r;
  nand_layout layout;
  if (status e = choose_layout(q.layout, layout); !e.ok()) {
    r.error = e;
    return r;
  }
  if (q.sectors < 1 || q.sectors > 100000) {
    r.error = status::error("--sectors takes a number from 1 to 100000");
    return r;
  }
  file_ptr dump;
  std::int64_t bytes = 0;
  if (status e = open_whole_dump(q.dump, raw_page_bytes(layout), dump, bytes); !e.ok()) {
    r.error = e;
    return r;
  }
  probe_findings found =
      probe_code(reader_of(dump.get()), bytes, layout, !q.layout.layout_file.empty(), q.sectors);
  if (!found.error.ok()) {
    r.error = status::error(q.dump + ": " + found.error.message);
    return r;
  }
  if (found.sampled == 0) {
    r.error = status::error(q.dump + ": no sector that is not erased to probe");
    return r;
  }
  if (found.candidates.empty()) {
    r.error = status::error("no code of the layout's field fits its ECC bytes");
    return r;
  }
  r.sampled = found.sampled;
  r.candidates = std::move(found.candidates);
  probe_lines(q, layout, r);
  return r;
}

detect_outcome run_detect(const detect_request& q) {
  detect_outcome r;
  file_ptr file;
  std::int64_t bytes = 0;
  if (status e = open_dump(q.dump, file, bytes); !e.ok()) {
    r.error = e;
    return r;
  }
  if (q.block_pages < 1) {
    r.error = status::error("--block-pages takes a number of at least 1");
    return r;
  }
  if (q.pages < 16 || q.pages > 100000) {
    r.error = status::error(q.dump + ": pages to sample must be 16 to 100000");
    return r;
  }
  if ((q.page_size < 0) != (q.spare_size < 0)) {
    r.error = status::error("give both --page-size and --spare-size, or neither to guess them");
    return r;
  }
  const bool guessed = q.page_size < 0;
  // Given a geometry, the search says when the dump holds no page of it; guessing one, a dump
  // smaller than the smallest page there is (512 + 16 bytes) is no dump either, not a dump in
  // which nothing was found.
  constexpr std::int64_t kSmallestPage = 512 + 16;
  if (guessed && bytes < kSmallestPage) {
    r.error = status::error(q.dump + " holds no whole page (" + counted(bytes, "byte", "bytes") +
                            "; the smallest page with its spare is " +
                            std::to_string(kSmallestPage) + " bytes)");
    return r;
  }
  // A key must be whole raw pages of the geometry, given or guessed from the dump as stored
  // (erased pages and unscrambled spare bytes show it through the scrambler).
  std::vector<std::uint8_t> key;
  std::int64_t unit = guessed ? 0 : std::int64_t{q.page_size} + q.spare_size;
  const detect_reader stored = reader_of(file.get());
  if (!q.xor_key.empty()) {
    if (std::string fault = key_file_fault(q.xor_key, key); !fault.empty()) {
      r.error = status::error("--xor-key: " + fault);
      return r;
    }
    const auto length = static_cast<std::int64_t>(key.size());
    if (guessed) {
      for (const geometry_guess& g : guess_geometry(stored, bytes)) {
        const std::int64_t raw = std::int64_t{g.geometry.page_size} + g.geometry.spare_size;
        if (length % raw == 0) {
          unit = raw;
          break;
        }
      }
    }
    if (unit <= 0 || length % unit != 0) {
      r.error = status::error(
          "--xor-key: " + q.xor_key + " holds " + counted(length, "byte", "bytes") +
          (guessed ? ", no whole number of pages of any geometry the dump suggests; give "
                     "--page-size and --spare-size"
                   : ", not a whole number of raw pages of " + std::to_string(unit) + " bytes"));
      return r;
    }
  }
  staged_output out;
  if (!q.out.empty()) {
    if (status e = stage_output(out, q.out, q.dump, q.force); !e.ok()) {
      r.error = e;
      return r;
    }
  }
  detect_options options;
  options.sample_pages = q.pages;
  options.noise_effort = q.quick ? 0 : 1;
  options.threads = q.threads;
  options.progress = q.progress;
  const auto search = [&](const detect_reader& read) {
    r.guesses.clear();
    return guessed
               ? detect_layout_and_geometry(read, bytes, options, r.guesses)
               : detect_layout(read, bytes, {q.page_size, q.spare_size, q.block_pages}, options);
  };
  detect_result& found = r.search;
  scrambler_ecc ecc = scrambler_ecc::plain;
  if (key.empty()) {
    found = search(stored);
  } else {
    // The ECC over the plain bytes first; when nothing decodes so, over the bytes as stored.
    found = search(descrambled_reader(stored, key, unit));
    if (found.error.ok() && !found.found) {
      detect_result as_stored = search(stored);
      if (as_stored.found || !as_stored.error.ok()) {
        found = std::move(as_stored);
        ecc = scrambler_ecc::scrambled;
      }
    }
  }
  if (!found.error.ok()) {
    r.error = status::error(q.dump + ": " + found.error.message);
    return r;
  }
  if (found.found)
    found.layout.block_pages = q.block_pages;
  if (found.found && !key.empty()) {
    layout_scrambler& s = found.layout.scrambler;
    s.present = true;
    s.key_file = key_name(q.xor_key, q.out);
    s.key_path = q.xor_key;
    s.key = key;
    s.ecc = ecc;
    if (status e = check_layout(found.layout); !e.ok()) {
      r.error = status::error("--xor-key: a code was found, but " + e.message);
      return r;
    }
  }
  r.found = found.found;
  r.complete = found.found && data_bytes_held(found.layout) >= found.layout.page_size;
  r.text = detect_report(q, found, r.guesses, guessed);
  if (!found.found)
    return r;
  // A layout's name is one line without control characters, whatever the file is called.
  found.layout.name = "detected from " + std::filesystem::u8path(q.dump).filename().u8string();
  for (char& c : found.layout.name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      c = '?';
  }
  const std::string toml = r.text + layout_to_toml(found.layout);
  if (q.out.empty()) {
    r.text = toml;
    return r;
  }
  if (std::fwrite(toml.data(), 1, toml.size(), out.file.get()) != toml.size()) {
    r.error = status::error("cannot write " + q.out);
    return r;
  }
  if (status e = commit_output(out); !e.ok()) {
    r.error = e;
    return r;
  }
  r.text += "# " +
            layout_comment_text("layout written to " + q.out + "; next: pagolinth-ecc check " +
                                q.dump + " --layout " + q.out) +
            "\n";
  return r;
}

layout_outcome run_layout(const layout_request& q) {
  layout_outcome r;
  nand_layout layout;
  bch_code code;
  r.error = choose_layout_and_code(q.layout, layout, code);
  if (r.error.ok())
    r.toml = layout_to_toml(layout);
  return r;
}
