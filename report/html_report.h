// The investigator's report of a check: one self-contained HTML page (no script needed, no
// network, no external font) with the dump's identity, the verdict, the summary figures, the
// page map, charts drawn as inline SVG, and the uncorrectable steps. Writes only to the file it
// is given.
#pragma once

#include <cstdint>  // std::int64_t
#include <cstdio>   // std::FILE
#include <string>   // std::string

#include "report/dump_picture.h"  // dump_picture
#include "report/scan_report.h"   // scan_report
#include "report/report_stats.h"  // report_stats

// What the page says about where it came from. Every text is plain (escaped when written).
struct report_header {
  std::string dump_name;  // as the user named it
  std::int64_t dump_bytes = 0;
  std::int64_t tail_bytes = 0;  // after the last whole page, not checked
  std::string sha256;           // of the whole input, 64 hex digits ("" when unknown)
  std::string code_text;        // the code as the tool prints it: "m=13 t=8, 13 ECC bytes, ..."
  std::string version;          // the tool and its version: "pagolinth-ecc 0.1.0"
  std::string command_line;     // the command as typed, words shell-quoted
  std::int64_t time = 0;        // when the report was made, seconds since 1970 UTC
  dump_picture picture;         // the raw pages; none drawn (width 0): the section is left out
};

// `seconds` since 1970-01-01 UTC as ISO 8601: "2023-11-14T22:13:20Z". Any value in
// -62135596800 ... 253402300799 (years 1 to 9999); outside, the nearest of those.
std::string utc_iso8601(std::int64_t seconds);

// Writes the page. `summary` is the finished report of the same pass (report_close done) and
// `stats` its statistics. Returns false when writing failed; the caller closes `f`.
// REQUIRES: summary.settings set as for report_open; stats made by report_stats_open for the
// same layout.
bool write_html_report(std::FILE* f, const report_header& header, const scan_report& summary,
                       const report_stats& stats);
