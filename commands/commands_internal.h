// Shared by the commands' sources, not for their callers: the dump opened as a command reads
// it, a reader of an open file for the layout search and probe, and the outputs of the
// commands that write dumps: staged, hashed on the way, named in audit records and reports.
#pragma once

#include <cstdint>     // std::int64_t
#include <cstdio>      // std::FILE, std::fwrite
#include <functional>  // std::function
#include <memory>      // std::unique_ptr
#include <string>      // std::string
#include <vector>      // std::vector

#include "audit/audit_record.h"   // audit_file
#include "codec/codec.h"          // bch_code
#include "commands/commands.h"    // pass_request
#include "detect/detect.h"        // detect_reader
#include "files/output_file.h"    // file_ptr, staged_output, named_output
#include "layout/layout.h"        // nand_layout
#include "platform/platform.h"    // platform_sha256
#include "report/report_stats.h"  // report_stats
#include "report/scan_report.h"   // scan_report
#include "status/status.h"        // status

// Opens the dump at `path` (open_dump's rules) and refuses one too short to hold a whole page
// of `page_bytes` bytes: an empty file, or a /proc file that reports no size, has nothing to
// check, which must not pass for a clean dump.
status open_whole_dump(const std::string& path, std::int64_t page_bytes, file_ptr& file,
                       std::int64_t& bytes);

// Reads `file` at offsets, without moving its position.
detect_reader reader_of(std::FILE* file);

// Where a command writes a dump, "-o -" sends it to standard output.
inline constexpr char kStdout[] = "-";

// The output of a pass: a staged file, or standard output, whose bytes are hashed on the way
// for the audit record, for they cannot be read back.
struct output_sink {
  std::FILE* file = nullptr;
  bool hashed = false;
  platform_sha256 hash;
  std::int64_t bytes = 0;

  bool put(const void* data, std::size_t count) {
    if (std::fwrite(data, 1, count, file) != count)
      return false;
    if (hashed) {
      platform_sha256_update(hash, data, count);
      bytes += static_cast<std::int64_t>(count);
    }
    return true;
  }
};

// Copies the last `bytes` bytes (the tail after the whole pages) from `in` to `out`, or only
// reads them past when `out` is null.
bool copy_tail(std::FILE* in, output_sink* out, std::int64_t bytes);

// The outputs of a pass, in the order of `named`: each staged, or null when not asked for or
// written to standard output.
using staged_list = std::vector<std::unique_ptr<staged_output>>;

// What the outputs of a command are checked against.
struct output_rules {
  std::vector<std::string> inputs;  // the command's inputs, none of which is ever written
  bool force = false;               // replace outputs that exist and are not empty
  std::FILE* standard_output = nullptr;
  std::function<void(const std::string& line)> warning;  // may be empty
};

// Checks every output against the inputs and the others, then stages each. Only "-o" may be
// "-", and only when standard output is not a terminal nor an input. Leftover temporary files
// of interrupted runs are told to `warning`.
// REQUIRES: at least one input.
status stage_outputs(const std::vector<named_output>& named, const output_rules& q,
                     staged_list& staged);

// The open file of a staged output, or null.
std::FILE* file_of(const staged_list& staged, std::size_t i);

// Takes the open file of a staged output over (for the report, which closes it), or null.
file_ptr take_file(staged_list& staged, std::size_t i);

// OUT.audit.json beside OUT; when that file name would pass the 255 bytes file systems allow,
// OUT's name is cut (at a UTF-8 character boundary) and a hash of it added, so that a long
// output name still gets its record, under a name that is the same for every run.
std::string default_record_name(const std::string& out_path);

// `path` made absolute, or as it is when that fails.
std::string absolute_name(const std::string& path);

// A finished output as its audit record names it: size and SHA-256 read back from the file.
status hashed_output(const std::string& path, audit_file& f);

// The words of the command line, each quoted for the shell, for the report.
std::string command_text(const std::vector<std::string>& words);

// What the HTML report names: the dump, the program and its command line, and the report.
struct report_names {
  std::string dump;
  std::string program;
  std::vector<std::string> command_line;
  std::string report;
};

// The HTML report of --report, written into its staged file once the pass is complete. The
// dump's SHA-256 is `dump_sha256` when the audit record has taken it already, else taken here.
status write_report_page(const report_names& q, const nand_layout& layout, const bch_code& code,
                         std::FILE* dump, std::int64_t dump_bytes, std::int64_t tail,
                         const std::string& dump_sha256, const scan_report& report,
                         const report_stats& stats, std::FILE* to);

// Ends an audit record with `ending`, to which the side outputs that were asked for (`csv`,
// `map`, `report`: "" for none) are added with their hashes read back, and commits it as
// `audit_path`. REQUIRES: audit_begin succeeded on `staged`'s file; the side outputs committed.
status finish_record(audit_writer& audit, audit_tail& ending, const std::string& csv,
                     const std::string& map, const std::string& report,
                     const std::string& audit_path, staged_output& staged);

// The summary's last lines, where each output went: "written:", "csv:", "map:", "report:",
// "audit:", each only for a name that is not "" (`written` names the dump or image written).
// `no_record_on_stdout`: the output went to standard output without a record, which a line
// then says.
void output_lines(std::vector<std::string>& lines, const std::string& written,
                  const std::string& csv, const std::string& map, const std::string& report,
                  const std::string& audit, bool no_record_on_stdout);

// The head of a command's audit record: who ran which command, where, since when, on which
// layout, code and input; the caller sets what changed and where it is listed.
// REQUIRES: `layout` and `code` outlive the record's writing.
audit_head record_head(const std::string& program, const std::string& command,
                       const std::vector<std::string>& command_line, const std::string& started,
                       const nand_layout& layout, const bch_code& code, const audit_file& input);
