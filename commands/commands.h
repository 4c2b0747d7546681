// pagolinth-ecc's commands as library calls: check, fix, extract, encode, inject, combine,
// probe, detect, xor-key, layout and verify-audit each run from a request and return an outcome.
// None prints, reads the console or exits: progress and warnings go through the request's
// callbacks, and what a command has to tell comes back as lines in its outcome, for the caller to
// show. Adding a command is one request, one outcome and one function.
#pragma once

#include <cstdint>     // std::int32_t, std::int64_t, std::uint64_t
#include <cstdio>      // std::FILE, stdout
#include <functional>  // std::function
#include <string>      // std::string
#include <vector>      // std::vector

#include "audit/audit_record.h"  // audit_check
#include "codec/codec.h"         // bch_code
#include "detect/detect.h"       // detect_result, geometry_guess
#include "detect/probe.h"        // probe_candidate
#include "detect/xor_key.h"      // key_finding, kMaxKeyPeriod
#include "layout/layout.h"       // nand_layout
#include "merge/step_merge.h"    // kDefaultSearchBudget, kMaxReads
#include "report/scan_report.h"  // scan_totals
#include "status/status.h"       // status

// Where a command's layout comes from: a layout file, or the built-in layout (a 4-byte header,
// 512-byte sectors each followed by 13 ECC bytes, a hole in the last) for a geometry and code.
struct layout_choice {
  std::string layout_file;  // "": the built-in layout of the fields below
  std::int32_t page_size = 2048;
  std::int32_t spare_size = 64;
  std::int32_t block_pages = 64;
  int t = 8;
  bool lsb_first = false;
  bool erased_ff = false;  // the ECC masked so that erased sectors carry all-0xFF ECC
};

// The layout chosen, checked. Fails with one line: the layout file's fault, or the built-in
// layout's (a page of less than 512 bytes holds no sector).
status choose_layout(const layout_choice& choice, nand_layout& layout);

// The same and its code, built and checked against it.
status choose_layout_and_code(const layout_choice& choice, nand_layout& layout, bch_code& code);

// The word as a POSIX shell reads it back unchanged: bare when it holds only characters no
// shell treats specially, otherwise in single quotes.
std::string shell_quoted(const std::string& word);

// check, fix, extract, encode and inject: one streaming pass over the dump.
enum class pass_command { check, fix, extract, encode, inject };

// extract: what happens to the blocks a bad-block marker names.
enum class bad_block_choice {
  by_layout,  // skipped when the layout names a marker, written otherwise
  skip,       // skipped; the layout must name a marker
  keep,       // written like every other block
};

// Bits flipped per step that inject takes at most.
inline constexpr int kMaxFlips = 64;

struct pass_request {
  pass_command command = pass_command::check;
  std::string dump;
  layout_choice layout;
  int threads = 1;  // worker threads, 1 ... 64
  // The dump (fix, encode, inject) or image (extract) written: a file, or "-" for
  // `standard_output`. With fix, "" is Dump_New.bin beside the dump. Ignored by check.
  std::string out;
  // Side outputs of check, fix and extract ("" for none); encode and inject ignore them.
  std::string csv, map, report;
  // The audit record: "" for OUT.audit.json beside an output written to a file, and for none
  // otherwise (check, standard output); ignored with no_audit.
  std::string audit;
  bool no_audit = false;
  bool force = false;                // replace outputs that exist and are not empty
  int flips_min = 0, flips_max = 0;  // inject: bits flipped per step, 0 ... kMaxFlips
  std::uint64_t seed = 1;            // inject: the same seed flips the same bits
  bad_block_choice bad_blocks = bad_block_choice::by_layout;  // extract
  bool with_protected = false;  // extract: each page's protected bytes after its data
  // The words the program was run with, its name first: for the audit record and the report.
  std::vector<std::string> command_line;
  std::string program = "pagolinth-ecc";  // names the tool in records and reports
  std::FILE* standard_output = stdout;    // where "-" sends the output
  // Called now and then with the dump's bytes done and its size, on the calling thread.
  std::function<void(std::int64_t done, std::int64_t total)> progress;
  // Called with one line for each leftover temporary file found beside an output.
  std::function<void(const std::string& line)> warning;
};

struct pass_outcome {
  // Failed: bad usage, an unreadable dump or an output that could not be written; no output
  // then stands under its final name.
  status error;
  bool standard_output_failed = false;  // the failure was a write to standard output
  // The output went to standard output, so the summary belongs on standard error.
  bool output_on_standard_output = false;
  // check, fix and extract: steps uncorrectable outside the blocks marked bad.
  bool uncorrectable = false;
  std::vector<std::string> summary;  // the lines to show, without newlines
  scan_totals totals;
  std::int64_t tail_bytes = 0;       // after the last whole page
  std::int64_t pages_extracted = 0;  // extract
};

pass_outcome run_pass(const pass_request& request);

// combine: several reads of one chip merged into one corrected dump (merge/read_merge.h).
struct combine_request {
  std::vector<std::string> reads;  // 2 ... kMaxReads files of one size, the first the main one
  layout_choice layout;
  int threads = 1;               // worker threads, 1 ... 64
  std::string out;               // the combined dump; "-" for `standard_output`; required
  std::string csv, map, report;  // side outputs, "" for none
  std::string audit;  // "" for OUT.audit.json beside OUT (none when OUT is "-"); see no_audit
  bool no_audit = false;
  bool force = false;  // replace outputs that exist and are not empty
  std::int64_t search_budget = kDefaultSearchBudget;  // decodes per step, 0 ... 10^9
  std::vector<std::string> command_line;
  std::string program = "pagolinth-ecc";
  std::FILE* standard_output = stdout;
  std::function<void(std::int64_t done, std::int64_t total)> progress;  // bytes of one read
  std::function<void(const std::string& line)> warning;
};

// How the steps of a combine were found.
struct combine_counts {
  std::int64_t steps = 0;
  std::int64_t from_read = 0;  // the codeword a read decodes to
  std::int64_t majority = 0, search = 0, erased = 0, uncorrectable = 0;
  std::int64_t conflicts = 0;            // reads decoded to different codewords
  std::int64_t budget_spent = 0;         // searches that stopped at the budget (uncorrectable)
  std::int64_t failed_reads = 0;         // steps where some read failed (erased or zeros) alone
  std::int64_t first_unclean = 0;        // steps not clean in the first read
  std::int64_t first_uncorrectable = 0;  // steps the first read alone leaves uncorrectable
  std::vector<std::int64_t> supplied;    // per read: steps whose codeword it decodes to
};

struct combine_outcome {
  status error;  // as pass_outcome's; no output stands under its final name then
  bool standard_output_failed = false;
  bool output_on_standard_output = false;
  bool uncorrectable = false;  // steps uncorrectable outside the blocks marked bad
  std::vector<std::string> summary;
  scan_totals totals;  // of the combined dump, measured against the first read
  combine_counts counts;
};

combine_outcome run_combine(const combine_request& request);

struct probe_request {
  std::string dump;
  layout_choice layout;  // from a file: its spans and field, every padding and t that fits
  int sectors = 256;     // steps that are not erased to try, from the start, 1 ... 100000
};

struct probe_outcome {
  status error;
  bool found = false;                       // the best candidate beats chance
  std::vector<probe_candidate> candidates;  // best first
  std::int64_t sampled = 0;
  std::vector<std::string> lines;  // the table and the verdict
};

probe_outcome run_probe(const probe_request& request);

struct detect_request {
  std::string dump;
  // -1 (not given): guessed from the dump, and spare_size with it. Given, both must be in
  // detect_geometry's ranges; 0 is refused like any other size outside them.
  std::int32_t page_size = -1;
  std::int32_t spare_size = -1;
  std::int32_t block_pages = 64;
  std::string out;  // the layout file; "": the layout goes into `text`
  // A scrambler's key file (whole raw pages): taken off before the search, and named in the
  // [scrambler] table of the layout found. When nothing decodes with it taken off, the dump is
  // searched as stored, and a code found so gets ecc = "scrambled". "": none.
  std::string xor_key;
  bool force = false;
  int pages = 256;     // pages sampled, 16 ... 100000
  bool quick = false;  // skip the long search for dumps whose steps mostly carry bit errors
  int threads = 0;     // 0: one per core
  // Called now and then with the share of the search done, 0 ... 1.
  std::function<void(double done)> progress;
};

struct detect_outcome {
  status error;
  bool found = false;
  // Found, and the steps hold every data byte of the page: a layout to extract with. A finding
  // that leaves data out is still reported and written, and the command ends with status 1.
  bool complete = false;
  // What goes to standard output: the report as comments of a layout file, then the layout
  // file itself when `out` is "" (so that the text is a layout file), or a line naming `out`.
  std::string text;
  detect_result search;
  std::vector<geometry_guess> guesses;  // when the geometry was guessed
};

detect_outcome run_detect(const detect_request& request);

struct layout_request {
  layout_choice layout;
};

struct layout_outcome {
  status error;
  std::string toml;  // the layout in effect as a layout file
};

layout_outcome run_layout(const layout_request& request);

struct verify_request {
  std::string record;  // the audit record
};

struct verify_outcome {
  status error;           // the record cannot be read, or is no audit record
  bool verified = false;  // every file it names is as recorded
  std::vector<audit_check> files;
  std::vector<std::string> lines;
};

verify_outcome run_verify_audit(const verify_request& request);

// xor-key: a scrambler's key recovered from the dump (detect/xor_key.h) and written as a key
// file for a layout's [scrambler] table.
struct xor_key_request {
  std::string dump;
  layout_choice layout;     // the geometry; from a layout file, also the code to decode with
  std::int64_t period = 0;  // 0: found from the dump; else 1 ... kMaxKeyPeriod pages
  std::string out;          // the key file; required
  std::string audit;        // "" for OUT.audit.json beside OUT; see no_audit
  bool no_audit = false;
  bool force = false;
  std::vector<std::string> command_line;
  std::string program = "pagolinth-ecc";
  std::function<void(const std::string& line)> warning;
};

struct xor_key_outcome {
  status error;
  bool found = false;  // a key beats chance, and was written
  key_finding finding;
  // With a layout file: shares of the sampled steps of programmed pages that decode through
  // the key (the ECC over the plain bytes) and as stored (over the scrambled ones); else -1.
  double decode_plain = -1, decode_stored = -1;
  // With a layout file, where the ECC covers the plain bytes: key bits the code changed.
  std::int64_t refined_bits = 0;
  std::vector<std::string> lines;
};

xor_key_outcome run_xor_key(const xor_key_request& request);
