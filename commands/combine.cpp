// combine: several reads of one chip, one corrected dump. The reads are checked to be of one
// size and distinct, merged side by side (merge/read_merge.h), and the combined dump is written
// as fix writes its output: staged, committed when complete, its audit record last.
#include <cerrno>      // errno
#include <ctime>       // std::time
#include <filesystem>  // std::filesystem
#include <utility>     // std::move, std::pair

#include "audit/audit_record.h"  // audit_writer, audit_begin, audit_add_batch, audit_end
#include "codec/layout_code.h"   // code_text
#include "commands/commands.h"
#include "commands/commands_internal.h"  // open_whole_dump, stage_outputs, output_sink
#include "files/file_digest.h"           // sha256_of_file
#include "merge/read_merge.h"            // run_merge, find_merged_bad_blocks, bitwise_majority
#include "platform/platform.h"           // platform_read_at, platform_binary_mode
#include "report/report_stats.h"         // report_stats_open, report_stats_batch
#include "report/report_text.h"          // counted
#include "report/scan_report.h"          // report_open, report_batch, summary_lines

namespace {

combine_outcome failed(combine_outcome& r, status error) {
  r.error = std::move(error);
  r.summary.clear();
  return std::move(r);
}

// Where a step came from, for the CSV: "" for a step clean in the first read that no other
// read contradicts.
std::string source_text(const merge_verdict& v, const step_outcome& o) {
  if (v.first == bch_status::clean && o.status == bch_status::clean && !v.conflict)
    return "";
  std::string text;
  switch (v.way) {
    case merge_way::read:
      text = "read " + std::to_string(v.read + 1);
      break;
    case merge_way::majority:
      text = "majority";
      break;
    case merge_way::search:
      text = "search";
      break;
    case merge_way::erased:
      text = "erased";
      break;
    case merge_way::uncorrectable:
      text = v.budget_hit ? "none; search budget spent" : "none";
      break;
  }
  if (v.conflict)
    text += "; conflict";
  if (v.failed_reads != 0) {
    text += "; failed read";
    for (int i = 0; i < kMaxReads; ++i) {
      if (v.failed_reads >> i & 1)
        text += " " + std::to_string(i + 1);
    }
  }
  return text;
}

void tally(const merge_verdict& v, combine_counts& c) {
  ++c.steps;
  switch (v.way) {
    case merge_way::read:
      ++c.from_read;
      ++c.supplied[static_cast<std::size_t>(v.read)];
      break;
    case merge_way::majority:
      ++c.majority;
      break;
    case merge_way::search:
      ++c.search;
      break;
    case merge_way::erased:
      ++c.erased;
      break;
    case merge_way::uncorrectable:
      ++c.uncorrectable;
      break;
  }
  c.conflicts += v.conflict;
  c.budget_spent += v.budget_hit && v.way == merge_way::uncorrectable;
  c.failed_reads += v.failed_reads != 0;
  c.first_unclean += v.first != bch_status::clean;
  c.first_uncorrectable += v.first == bch_status::uncorrectable;
}

// The lines of the summary on how the steps were found.
std::vector<std::string> count_lines(const combine_counts& c, const combine_request& q) {
  const auto n = [](std::int64_t v) { return std::to_string(v); };
  std::vector<std::string> lines;
  lines.push_back("combined sectors: " + n(c.steps) + "; read 1 alone leaves " +
                  n(c.first_uncorrectable) + " uncorrectable, the combine " + n(c.uncorrectable));
  std::string supplied;
  for (std::size_t i = 0; i < c.supplied.size(); ++i)
    supplied += std::string(i > 0 ? ", " : "") + "read " + n(static_cast<std::int64_t>(i) + 1) +
                ": " + n(c.supplied[i]);
  lines.push_back("  from one read: " + n(c.from_read) + " (" + supplied + ")");
  lines.push_back("  by majority:   " + n(c.majority));
  lines.push_back("  by search:     " + n(c.search) + " (over the bits where the reads disagree)");
  lines.push_back("  erased:        " + n(c.erased));
  lines.push_back("  uncorrectable: " + n(c.uncorrectable) + " (" + n(c.budget_spent) +
                  " of them at the search budget of " +
                  counted(q.search_budget, "decode", "decodes") + " a sector)");
  lines.push_back("  conflicts:     " + n(c.conflicts) +
                  " (reads decode to different codewords; the one most reads support is taken)");
  lines.push_back("  failed reads:  " + n(c.failed_reads) +
                  " sectors erased or all zeros in a read while another holds data; such a read "
                  "is never taken");
  return lines;
}

}  // namespace

combine_outcome run_combine(const combine_request& q) {
  combine_outcome r;
  const std::string started = audit_utc_time(std::time(nullptr));
  const auto count = static_cast<int>(q.reads.size());
  if (count < 2 || count > kMaxReads) {
    return failed(r, status::error("combine takes 2 to " + std::to_string(kMaxReads) +
                                   " reads of one chip, not " + std::to_string(count)));
  }
  if (q.threads < 1 || q.threads > 64)
    return failed(r, status::error("--threads takes 1 to 64"));
  if (q.search_budget < 0 || q.search_budget > 1000000000)
    return failed(r, status::error("--search-budget takes 0 to 1000000000 decodes"));
  if (q.out.empty())
    return failed(r, status::error("combine needs -o OUT, the combined dump"));
  nand_layout layout;
  bch_code code;
  if (status e = choose_layout_and_code(q.layout, layout, code); !e.ok())
    return failed(r, e);

  // The reads: whole pages, one size, no file twice (a read counted twice would outvote the
  // others).
  const std::int64_t page_bytes = raw_page_bytes(layout);
  std::vector<file_ptr> files(static_cast<std::size_t>(count));
  std::vector<std::FILE*> handles;
  std::vector<audit_file> inputs(static_cast<std::size_t>(count));
  std::int64_t dump_bytes = 0;
  for (int i = 0; i < count; ++i) {
    const std::string& path = q.reads[static_cast<std::size_t>(i)];
    std::int64_t bytes = 0;
    if (status e = open_whole_dump(path, page_bytes, files[static_cast<std::size_t>(i)], bytes);
        !e.ok())
      return failed(r, e);
    if (i == 0) {
      dump_bytes = bytes;
    } else if (bytes != dump_bytes) {
      return failed(
          r, status::error("the reads differ in size: " + q.reads[0] + " holds " +
                           counted(dump_bytes, "byte", "bytes") + ", " + path + " " +
                           counted(bytes, "byte", "bytes") + "; reads of one chip have one size"));
    }
    for (int j = 0; j < i; ++j) {
      std::error_code ec;
      if (std::filesystem::equivalent(std::filesystem::u8path(path),
                                      std::filesystem::u8path(q.reads[static_cast<std::size_t>(j)]),
                                      ec)) {
        return failed(
            r, status::error(path + " is given twice (reads " + std::to_string(j + 1) + " and " +
                             std::to_string(i + 1) + "); each read must be a file of its own"));
      }
    }
    handles.push_back(files[static_cast<std::size_t>(i)].get());
    audit_file& f = inputs[static_cast<std::size_t>(i)];
    f.path = path;
    f.absolute_path = absolute_name(path);
    f.bytes = bytes;
  }
  const std::int64_t pages = dump_bytes / page_bytes;
  const std::int64_t tail = dump_bytes - pages * page_bytes;
  bad_block_set bad_blocks;
  if (status e = find_merged_bad_blocks(handles, dump_bytes, layout, bad_blocks); !e.ok())
    return failed(r, e);

  const bool to_stdout = q.out == kStdout;
  const std::string audit_path = q.no_audit         ? ""
                                 : !q.audit.empty() ? q.audit
                                 : !to_stdout       ? default_record_name(q.out)
                                                    : "";
  if (!audit_path.empty()) {
    for (int i = 0; i < count; ++i) {
      audit_file& f = inputs[static_cast<std::size_t>(i)];
      if (status hashed = sha256_of_file(handles[static_cast<std::size_t>(i)], f.sha256);
          !hashed.ok())
        return failed(r, status::error(f.path + ": " + hashed.message));
    }
  }
  const std::vector<named_output> named = {{"-o", q.out},
                                           {"--csv", q.csv},
                                           {"--map", q.map},
                                           {"--report", q.report},
                                           {"--audit", audit_path}};
  constexpr std::size_t kOut = 0, kCsv = 1, kMap = 2, kReport = 3, kAudit = 4;
  output_rules rules;
  rules.inputs = q.reads;
  rules.force = q.force;
  rules.standard_output = q.standard_output;
  rules.warning = q.warning;
  staged_list staged;
  if (status e = stage_outputs(named, rules, staged); !e.ok())
    return failed(r, e);
  output_sink out;
  out.file = to_stdout ? q.standard_output : file_of(staged, kOut);
  // The record and the report name the combined dump by its hash, taken on the way.
  out.hashed = !audit_path.empty() || !q.report.empty();
  const std::string out_name = to_stdout ? "standard output" : q.out;
  r.output_on_standard_output = to_stdout;
  if (to_stdout) {
    platform_binary_mode(q.standard_output);
    platform_ignore_file_size_signal();
  }
  const auto write_failed = [&](int error) {
    if (!to_stdout)
      return status::error(write_failure(out_name, error));
    r.standard_output_failed = true;
    return status::error("cannot write to standard output: " +
                         (error != 0 ? error_text(error) : std::string("an earlier write failed")));
  };

  scan_settings s;  // what the report reads of a pass
  s.layout = &layout;
  s.code = &code;
  s.action = scan_action::fix;
  s.threads = q.threads;
  scan_report report;
  report_open(report, s, pages, bad_blocks, q.out, take_file(staged, kCsv), take_file(staged, kMap),
              true);
  const bool wants_report = !q.report.empty();
  report_stats stats;
  if (wants_report)
    report_stats_open(stats, layout, code.t, pages, bad_blocks);
  std::FILE* const audit_out = file_of(staged, kAudit);
  audit_writer audit;
  if (audit_out) {
    audit_head head =
        record_head(q.program, "combine", q.command_line, started, layout, code, inputs[0]);
    head.more_inputs.assign(inputs.begin() + 1, inputs.end());
    head.changes = audit_changes::written;
    head.changes_in_csv = q.csv;
    errno = 0;
    if (!audit_begin(audit, audit_out, head).ok())
      return failed(r, status::error(write_failure(audit_path, errno)));
  }

  merge_settings m;
  m.layout = &layout;
  m.code = &code;
  m.threads = q.threads;
  m.budget = q.search_budget;
  r.counts.supplied.assign(static_cast<std::size_t>(count), 0);
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  std::vector<std::string> sources;
  status write_error;
  const status merged = run_merge(
      handles, dump_bytes, m,
      [&](const merge_batch& batch) -> status {
        const scan_batch& b = batch.combined;
        sources.resize(static_cast<std::size_t>(b.pages * steps));
        for (std::int64_t i = 0; i < b.pages * steps; ++i) {
          tally(batch.verdicts[i], r.counts);
          sources[static_cast<std::size_t>(i)] = source_text(batch.verdicts[i], b.outcomes[i]);
        }
        errno = 0;
        if (!report_batch(report, b, sources.data())) {
          const bool csv_failed = report.csv && std::ferror(report.csv.get());
          write_error = status::error(write_failure(csv_failed ? q.csv : q.map, errno));
          return write_error;
        }
        if (wants_report)
          report_stats_batch(stats, b);
        errno = 0;
        if (audit_out && !audit_add_batch(audit, b, batch.first_read, true)) {
          write_error = status::error(write_failure(audit_path, errno));
          return write_error;
        }
        errno = 0;
        if (!out.put(b.bytes, static_cast<std::size_t>(b.pages * page_bytes))) {
          write_error = write_failed(errno);
          return write_error;
        }
        return status::success();
      },
      [&](std::int64_t done) {
        if (q.progress)
          q.progress(done, dump_bytes);
      });
  if (!write_error.ok())
    return failed(r, write_error);
  if (!merged.ok())
    return failed(r, merged);

  // The tail after the last whole page lies outside every step: majority or the first read's.
  if (tail > 0) {
    std::vector<std::vector<unsigned char>> tails(static_cast<std::size_t>(count),
                                                  std::vector<unsigned char>(tail));
    const unsigned char* at[kMaxReads];
    for (int i = 0; i < count; ++i) {
      if (!platform_read_at(handles[static_cast<std::size_t>(i)], pages * page_bytes,
                            tails[static_cast<std::size_t>(i)].data(),
                            static_cast<std::size_t>(tail)))
        return failed(
            r, status::error("cannot read the tail of " + q.reads[static_cast<std::size_t>(i)]));
      at[i] = tails[static_cast<std::size_t>(i)].data();
    }
    std::vector<unsigned char> merged_tail(static_cast<std::size_t>(tail));
    bitwise_majority(at, count >= 3 ? count : 1, merged_tail.size(), merged_tail.data());
    errno = 0;
    if (!out.put(merged_tail.data(), merged_tail.size()))
      return failed(r, write_failed(errno));
  }
  if (status e = report_close(report); !e.ok())
    return failed(r, e);
  const std::string out_sha256 = platform_sha256_hex(out.hash);
  if (wants_report) {
    if (status e = write_report_page({q.out, q.program, q.command_line, q.report}, layout, code,
                                     nullptr, dump_bytes, tail, out_sha256, report, stats,
                                     file_of(staged, kReport));
        !e.ok())
      return failed(r, e);
  }
  if (to_stdout) {
    errno = 0;
    if (std::fflush(q.standard_output) != 0 || std::ferror(q.standard_output))
      return failed(r, write_failed(errno));
  }
  for (std::size_t i = 0; i < staged.size(); ++i) {
    if (!staged[i] || i == kAudit)
      continue;
    if (status e = commit_output(*staged[i]); !e.ok())
      return failed(r, e);
  }
  r.uncorrectable = uncorrectable_outside_bad_blocks(report) > 0;
  if (audit_out) {
    audit_tail ending;
    ending.totals = report.totals;
    ending.tail_bytes = tail;
    ending.exit_status = r.uncorrectable ? 1 : 0;
    ending.has_output = true;
    ending.output.path = q.out;
    ending.output.absolute_path = to_stdout ? "" : absolute_name(q.out);
    ending.output.bytes = out.bytes;
    ending.output.sha256 = out_sha256;
    if (status e =
            finish_record(audit, ending, q.csv, q.map, q.report, audit_path, *staged[kAudit]);
        !e.ok())
      return failed(r, e);
  }

  r.totals = report.totals;
  std::vector<std::string>& lines = r.summary;
  std::string names;
  for (int i = 0; i < count; ++i)
    names += std::string(i > 0 ? ", " : "") + q.reads[static_cast<std::size_t>(i)];
  lines.push_back("reads:           " + std::to_string(count) + " of " +
                  counted(dump_bytes, "byte", "bytes") + ": " + names);
  lines.push_back("layout:          " + layout_label(layout));
  lines.push_back("code:            " + code_text(layout.code, code.ecc_bytes));
  if (layout.scrambler.present)
    lines.push_back("scrambler:       " + scrambler_text(layout));
  for (std::string& line : count_lines(r.counts, q))
    lines.push_back(std::move(line));
  lines.push_back("against read 1 (corrected: the sector differs from read 1):");
  for (std::string& line : summary_lines(report, 0))
    lines.push_back(std::move(line));
  if (tail > 0) {
    lines.push_back("tail:            " + counted(tail, "byte", "bytes") +
                    " after the last whole " + "page, taken " +
                    (count >= 3 ? "by majority" : "from read 1"));
  }
  output_lines(lines, out_name, q.csv, q.map, q.report, audit_out ? audit_path : "",
               to_stdout && !q.no_audit);
  return r;
}
