// pagolinth-ecc detect: the front end of the layout and code search (detect/). The report is
// written as comments of a layout file, so that what standard output receives is itself a
// layout file; with -o the file is written whole or not at all.
#include "tools/ecc_detect.h"

#include <chrono>     // std::chrono::steady_clock
#include <cinttypes>  // PRId64
#include <cstdio>     // std::printf, std::fprintf, std::snprintf
#include <string>     // std::string
#include <vector>     // std::vector

#include "detect/detect.h"      // detect_layout, detect_layout_and_geometry, guess_geometry
#include "detect/evidence.h"    // kEvidenceBar, odds_text
#include "files/output_file.h"  // file_ptr, open_dump, staged_output, commit_output
#include "layout/layout.h"      // layout_to_toml
#include "platform/platform.h"  // platform_is_terminal, platform_read_at

namespace {

constexpr int kFound = 0;
constexpr int kNothing = 1;
constexpr int kUsage = 2;

int fail(const std::string& message) {
  std::fprintf(stderr, "pagolinth-ecc: %s\n", message.c_str());
  return kUsage;
}

std::string hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
  return text;
}

std::string span_text(const layout_span& s) {
  return "[" + std::to_string(s.offset) + ", " + std::to_string(s.length) + "]";
}

// The search's share done, on standard error when it is a terminal, a few times a second.
class progress_line {
 public:
  progress_line() : shown_(platform_is_terminal(stderr)) {}
  ~progress_line() {
    if (shown_ && printed_)
      std::fprintf(stderr, "\r%50s\r", "");
  }
  void operator()(double done) {
    if (!shown_)
      return;
    const auto now = std::chrono::steady_clock::now();
    if (printed_ && now - last_ < std::chrono::milliseconds(250))
      return;
    last_ = now;
    printed_ = true;
    std::fprintf(stderr, "\rdetect: searching %5.1f%%   ", 100.0 * done);
    std::fflush(stderr);
  }

 private:
  bool shown_;
  bool printed_ = false;
  std::chrono::steady_clock::time_point last_;
};

// The report, each line a TOML comment.
std::string report(const detect_command_options& o, const detect_result& r,
                   const std::vector<geometry_guess>& guesses, bool guessed) {
  std::string text;
  const auto line = [&text](const std::string& s) { text += "# " + s + "\n"; };
  line("pagolinth-ecc detect " + o.dump);
  if (guessed) {
    if (!guesses.empty()) {
      char share[64];
      for (std::size_t i = 0; i < guesses.size() && i < 3; ++i) {
        std::snprintf(share, sizeof share, "%.0f%% of %" PRId64, 100.0 * guesses[i].score,
                      guesses[i].runs);
        line(std::string(i == 0 ? "geometry guesses: " : "                  ") +
             std::to_string(guesses[i].geometry.page_size) + " + " +
             std::to_string(guesses[i].geometry.spare_size) + " bytes (" + share +
             " erased-run ends on its page boundaries)");
      }
    }
  }
  if (r.found) {
    const nand_layout& l = r.layout;
    line("geometry: " + std::to_string(l.page_size) + " + " + std::to_string(l.spare_size) +
         " bytes a page, " + std::to_string(l.block_pages) + " pages a block" +
         (guessed ? " (guessed; pages a block assumed)" : " (given)"));
  }
  if (r.pages_sampled > 0)
    line("sampled " + std::to_string(r.pages_sampled) + " pages, " + std::to_string(r.pages_used) +
         " of them programmed and distinct");
  if (!r.found) {
    line("nothing convincing found: no layout and code decode more steps than chance would");
    for (const std::string& s : r.ruled_out)
      line("ruled out: " + s);
    if (o.quick)
      line("the long search for dumps with bit errors in most steps was skipped (--quick)");
    return text;
  }
  const nand_layout& l = r.layout;
  const layout_code& c = l.code;
  line("found: " + std::to_string(l.steps.size()) + " steps a page, " +
       std::to_string(step_data_bytes(l.steps[0])) + " data bytes each");
  const std::string mask = c.mask == layout_mask::none        ? "none"
                           : c.mask == layout_mask::erased_ff ? "erased-ff"
                                                              : "XOR bytes";
  line("code: m = " + std::to_string(c.m) + ", t = " + std::to_string(c.t) +
       ", primitive polynomial " + hex(c.primitive_polynomial) + ", " +
       std::to_string(r.parity_bits) + " parity bits in " + std::to_string(l.steps[0].ecc.length) +
       " ECC bytes, " + (c.lsb_first ? "lsb" : "msb") + " first, mask " + mask + ", padding " +
       (c.pad_start ? "first" : "last"));
  line("generator g(x) = 0x" + poly_hex(r.generator));
  for (std::size_t k = 0; k < l.steps.size(); ++k) {
    const layout_step& s = l.steps[k];
    std::string spans;
    for (const layout_span& d : s.data)
      spans += span_text(d);
    std::string prot;
    for (const layout_span& p : s.protected_)
      prot += span_text(p);
    line("  step " + std::to_string(k) + ": data " + spans +
         (prot.empty() ? "" : ", protected " + prot) + ", ECC " + span_text(s.ecc));
  }
  if (l.bad_block.present)
    line("bad-block marker: " + span_text(l.bad_block.marker) +
         " (0xFF in nearly every programmed page; assumed on the first page of a block)");
  const detect_evidence& e = r.evidence;
  char rates[160];
  std::snprintf(rates, sizeof rates,
                "evidence: %" PRId64 " programmed steps decoded: %" PRId64 " clean, %" PRId64
                " corrected, %" PRId64 " uncorrectable (%.1f%%)",
                e.steps_sampled, e.clean, e.corrected, e.uncorrectable,
                e.steps_sampled > 0 ? 100.0 * static_cast<double>(e.clean + e.corrected) /
                                          static_cast<double>(e.steps_sampled)
                                    : 0.0);
  line(rates);
  std::snprintf(rates, sizeof rates, "%.3g%%", 100.0 * e.chance);
  line(std::string("random data would decode ") + rates + " of them; the odds of chance doing " +
       "this well: " + odds_text(e.log10_odds));
  return text;
}

}  // namespace

CLI::App* add_detect_command(CLI::App& app, detect_command_options& o) {
  CLI::App* cmd = app.add_subcommand(
      "detect", "find the page layout and BCH code from the dump alone and write a layout file");
  cmd->add_option("DUMP", o.dump, "the dump: raw pages with spare, end to end")->required();
  CLI::Option* page = cmd->add_option("--page-size", o.page_size,
                                      "page size without spare, bytes (default: guessed)");
  CLI::Option* spare =
      cmd->add_option("--spare-size", o.spare_size, "spare size, bytes (default: guessed)");
  page->needs(spare);
  spare->needs(page);
  cmd->add_option("--block-pages", o.block_pages, "pages per block")->capture_default_str();
  cmd->add_option("-o,--output", o.out,
                  "write the layout file here (default: the layout file on standard output)");
  cmd->add_flag("--force", o.force, "replace an existing output");
  cmd->add_option("--pages", o.pages, "pages sampled, spread over the dump")
      ->check(CLI::Range(16, 100000))
      ->capture_default_str();
  cmd->add_flag("--quick", o.quick,
                "skip the long search for dumps in which most steps carry bit errors: a dump "
                "without ECC is given up in seconds");
  cmd->footer(
      "Exit status: 0 when a layout is found, 1 when nothing beats chance, 2 for bad usage or "
      "input.\nExample: pagolinth-ecc detect Dump.bin --page-size 4096 --spare-size 224 -o "
      "board.toml");
  return cmd;
}

int run_detect_command(const detect_command_options& o) {
  file_ptr file;
  std::int64_t bytes = 0;
  if (status e = open_dump(o.dump, file, bytes); !e.ok())
    return fail(e.message);
  if (o.block_pages < 1)
    return fail("--block-pages takes a number of at least 1");
  staged_output out;
  if (!o.out.empty()) {
    if (status e = stage_output(out, o.out, o.dump, o.force); !e.ok())
      return fail(e.message);
  }
  progress_line progress;
  detect_options options;
  options.sample_pages = o.pages;
  options.noise_effort = o.quick ? 0 : 1;
  options.progress = [&progress](double done) { progress(done); };
  const bool guessed = o.page_size == 0;
  std::vector<geometry_guess> guesses;
  std::FILE* f = file.get();
  const detect_reader read = [f](std::int64_t offset, unsigned char* to, std::size_t count) {
    return platform_read_at(f, offset, to, count);
  };
  detect_result r;
  if (guessed) {
    r = detect_layout_and_geometry(read, bytes, options, guesses);
  } else {
    r = detect_layout(read, bytes, {o.page_size, o.spare_size, o.block_pages}, options);
  }
  if (!r.error.ok())
    return fail(o.dump + ": " + r.error.message);
  if (r.found)
    r.layout.block_pages = o.block_pages;
  std::string text = report(o, r, guesses, guessed);
  if (!r.found) {
    std::fputs(text.c_str(), stdout);
    return kNothing;
  }
  // A layout's name is one line without control characters, whatever the file is called.
  r.layout.name = "detected from " + std::filesystem::u8path(o.dump).filename().u8string();
  for (char& c : r.layout.name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      c = '?';
  }
  const std::string toml = text + layout_to_toml(r.layout);
  if (o.out.empty()) {
    std::fputs(toml.c_str(), stdout);
    return kFound;
  }
  if (std::fwrite(toml.data(), 1, toml.size(), out.file.get()) != toml.size())
    return fail("cannot write " + o.out);
  if (status e = commit_output(out); !e.ok())
    return fail(e.message);
  std::fputs(text.c_str(), stdout);
  std::printf("# layout written to %s; next: pagolinth-ecc check %s --layout %s\n", o.out.c_str(),
              o.dump.c_str(), o.out.c_str());
  return kFound;
}
