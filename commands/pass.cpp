// check, fix, extract, encode and inject: one streaming pass over the dump, with its outputs
// staged under temporary names and committed only when complete, the audit record last.
#include <algorithm>   // std::min
#include <cerrno>      // errno
#include <ctime>       // std::time
#include <filesystem>  // std::filesystem
#include <memory>      // std::unique_ptr, std::make_unique
#include <utility>     // std::move, std::pair

#include "audit/audit_record.h"  // audit_writer, audit_begin, audit_add_batch, audit_end
#include "codec/layout_code.h"   // code_text
#include "commands/commands.h"
#include "commands/commands_internal.h"  // open_whole_dump, stage_outputs, output_sink
#include "files/file_digest.h"           // sha256_of_file, sha256_of_path
#include "files/output_file.h"           // staged_output, stage_output, commit_output
#include "layout/bit_spans.h"            // copy_bits
#include "platform/platform.h"           // platform_is_terminal, platform_file_is, platform_sha256
#include "report/report_stats.h"         // report_stats, report_stats_open, report_stats_batch
#include "report/report_text.h"          // counted
#include "report/scan_report.h"          // scan_report, report_open, summary_lines, layout_label
#include "scan/dump_scan.h"              // run_scan, find_bad_blocks, bad_block_set

namespace {

// The command's word, as the audit record names it; in the order of pass_command.
const char* verb_of(pass_command c) {
  static const char* const kVerbs[] = {"check", "fix", "extract", "encode", "inject"};
  return kVerbs[static_cast<int>(c)];
}

std::string default_output(const std::string& dump) {
  return (std::filesystem::u8path(dump).parent_path() / "Dump_New.bin").u8string();
}

// Writes the user data (and with --protected the protected bytes) of every page of a batch,
// leaving out the blocks that are skipped as bad: those of `skipped`, or none when it is null.
// REQUIRES: `layout` and `skipped` outlive the extractor.
class extractor {
 public:
  extractor(const nand_layout& layout, int t, const bad_block_set* skipped, bool with_protected)
      : layout_(layout), t_(t), skipped_(skipped), with_protected_(with_protected) {}

  bool write(const scan_batch& batch, output_sink& out) {
    const std::int64_t page_bytes = raw_page_bytes(layout_);
    buffer_.clear();
    for (std::int64_t p = 0; p < batch.pages; ++p) {
      const std::int64_t block = (batch.first_page + p) / layout_.block_pages;
      if (skipped_ && is_bad_block(*skipped_, block))
        continue;
      const unsigned char* page = batch.bytes + p * page_bytes;
      // The user data as it was written: a scrambled page unscrambled.
      if (const unsigned char* key = scrambled_key(layout_, t_, batch.first_page + p, page)) {
        plain_.resize(static_cast<std::size_t>(page_bytes));
        for (std::int64_t i = 0; i < page_bytes; ++i)
          plain_[static_cast<std::size_t>(i)] = static_cast<unsigned char>(page[i] ^ key[i]);
        page = plain_.data();
      }
      for (const layout_step& step : layout_.steps)
        append(page, step.data, step.bits);
      if (with_protected_) {
        for (const layout_step& step : layout_.steps)
          append(page, step.protected_, step.bits);
      }
      ++pages_;
    }
    return buffer_.empty() || out.put(buffer_.data(), buffer_.size());
  }

  std::int64_t pages() const { return pages_; }

 private:
  // A span of bits is packed into whole bytes in the bit order, zero bits after its last one.
  void append(const unsigned char* page, const std::vector<layout_span>& spans, bool bits) {
    for (const layout_span& span : spans) {
      if (!bits) {
        buffer_.insert(buffer_.end(), page + span.offset, page + span.offset + span.length);
        continue;
      }
      const std::size_t at = buffer_.size();
      buffer_.resize(at + static_cast<std::size_t>((span.length + 7) / 8), 0);
      copy_bits(buffer_.data() + at, 0, page, span.offset, span.length, layout_.code.lsb_first);
    }
  }

  const nand_layout& layout_;
  int t_;
  const bad_block_set* skipped_;
  bool with_protected_;
  std::int64_t pages_ = 0;
  std::vector<unsigned char> buffer_;
  std::vector<unsigned char> plain_;  // a scrambled page unscrambled
};

pass_outcome failed(pass_outcome& r, status error) {
  r.error = std::move(error);
  r.summary.clear();
  return std::move(r);
}

}  // namespace

pass_outcome run_pass(const pass_request& q) {
  pass_outcome r;
  const pass_command cmd = q.command;
  const std::string started = audit_utc_time(std::time(nullptr));
  nand_layout layout;
  bch_code code;
  if (status e = choose_layout_and_code(q.layout, layout, code); !e.ok())
    return failed(r, e);

  scan_settings s;
  s.layout = &layout;
  s.code = &code;
  s.action = cmd == pass_command::check    ? scan_action::check
             : cmd == pass_command::encode ? scan_action::encode
             : cmd == pass_command::inject ? scan_action::inject
                                           : scan_action::fix;
  s.threads = q.threads;
  s.seed = q.seed;
  if (cmd == pass_command::inject) {
    if (q.flips_min < 0 || q.flips_max < q.flips_min || q.flips_max > kMaxFlips)
      return failed(
          r, status::error("--flips takes N or MIN-MAX, from 0 to " + std::to_string(kMaxFlips)));
    s.flips_min = q.flips_min;
    s.flips_max = q.flips_max;
  }
  if (q.threads < 1 || q.threads > 64)
    return failed(r, status::error("--threads takes 1 to 64"));
  const bool skip_bad = cmd == pass_command::extract &&
                        (q.bad_blocks == bad_block_choice::skip ||
                         (q.bad_blocks == bad_block_choice::by_layout && layout.bad_block.present));
  if (skip_bad && !layout.bad_block.present) {
    return failed(r, status::error("--bad-blocks skip needs a layout that names a bad-block "
                                   "marker ([bad_block])"));
  }

  file_ptr dump;
  std::int64_t dump_bytes = 0;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  if (status e = open_whole_dump(q.dump, page_bytes, dump, dump_bytes); !e.ok())
    return failed(r, e);
  const std::int64_t pages = dump_bytes / page_bytes;
  const std::int64_t tail = dump_bytes - pages * page_bytes;
  bad_block_set bad_blocks;  // one bit a block, read by reference by all that follow
  if (status e = find_bad_blocks(dump.get(), dump_bytes, layout, bad_blocks); !e.ok())
    return failed(r, status::error(q.dump + ": " + e.message));

  // The dump (or image), the CSV, the map, the HTML report and the record, in this order in
  // `named` and `staged`.
  const bool writes = cmd != pass_command::check;
  const bool reports =
      cmd == pass_command::check || cmd == pass_command::fix || cmd == pass_command::extract;
  const std::string out_path = !writes ? "" : q.out.empty() ? default_output(q.dump) : q.out;
  const bool to_stdout = out_path == kStdout;
  const std::string csv = reports ? q.csv : "", map = reports ? q.map : "";
  const std::string report_path = reports ? q.report : "";
  // The audit record goes beside the output unless named or refused; check, and a dump on
  // standard output, have one only when it is named.
  const std::string audit_path = q.no_audit             ? ""
                                 : !q.audit.empty()     ? q.audit
                                 : writes && !to_stdout ? default_record_name(out_path)
                                                        : "";
  audit_file input_file;
  if (!audit_path.empty()) {
    input_file.path = q.dump;
    input_file.absolute_path = absolute_name(q.dump);
    input_file.bytes = dump_bytes;
    if (status hashed = sha256_of_file(dump.get(), input_file.sha256); !hashed.ok())
      return failed(r, status::error(q.dump + ": " + hashed.message));
  }
  const std::vector<named_output> named = {{"-o", out_path},
                                           {"--csv", csv},
                                           {"--map", map},
                                           {"--report", report_path},
                                           {"--audit", audit_path}};
  constexpr std::size_t kOut = 0, kCsv = 1, kMap = 2, kReport = 3, kAudit = 4;
  staged_list staged;
  output_rules rules;
  rules.inputs = {q.dump};
  rules.force = q.force;
  rules.standard_output = q.standard_output;
  rules.warning = q.warning;
  if (status e = stage_outputs(named, rules, staged); !e.ok())
    return failed(r, e);
  output_sink out;
  out.file = to_stdout ? q.standard_output : file_of(staged, kOut);
  const std::string out_name = to_stdout ? "standard output" : out_path;
  r.output_on_standard_output = to_stdout;
  if (to_stdout) {
    platform_binary_mode(q.standard_output);
    platform_ignore_file_size_signal();
  }
  const auto stdout_failure = [&r](int error) {
    r.standard_output_failed = true;
    return status::error("cannot write to standard output: " +
                         (error != 0 ? error_text(error) : std::string("an earlier write failed")));
  };
  scan_report report;
  report_open(report, s, pages, bad_blocks, q.dump, take_file(staged, kCsv),
              take_file(staged, kMap));

  const bool wants_report = !report_path.empty();
  report_stats stats;
  if (wants_report)
    report_stats_open(stats, layout, code.t, pages, bad_blocks);
  // The record lists what the output changed against the input where both are dumps; for
  // check and extract, the decoder's corrections.
  const audit_changes changes = cmd == pass_command::check || cmd == pass_command::extract
                                    ? audit_changes::decoded
                                    : audit_changes::written;
  const bool with_status = cmd != pass_command::encode && cmd != pass_command::inject;
  std::FILE* const audit_out = file_of(staged, kAudit);
  audit_writer audit;
  if (audit_out) {
    audit_head head =
        record_head(q.program, verb_of(cmd), q.command_line, started, layout, code, input_file);
    head.changes = changes;
    head.changes_in_csv = csv;
    errno = 0;
    if (!audit_begin(audit, audit_out, head).ok())
      return failed(r, status::error(write_failure(audit_path, errno)));
    out.hashed = to_stdout;
  }
  std::vector<unsigned char> input_pages;  // a batch's pages as read, for the record

  extractor extract(layout, code.t, skip_bad ? &bad_blocks : nullptr, q.with_protected);
  status write_error;  // told as it is, not as a fault of the dump
  const status scanned = run_scan(
      dump.get(), dump_bytes, s,
      [&](const scan_batch& batch) -> status {
        errno = 0;
        if (!report_batch(report, batch)) {
          const bool csv_failed = report.csv && std::ferror(report.csv.get());
          write_error = status::error(write_failure(csv_failed ? csv : map, errno));
          return write_error;
        }
        if (wants_report)
          report_stats_batch(stats, batch);
        if (audit_out) {
          const unsigned char* before = nullptr;
          if (changes == audit_changes::written) {
            input_pages.resize(static_cast<std::size_t>(batch.pages * page_bytes));
            if (!platform_read_at(dump.get(), batch.first_page * page_bytes, input_pages.data(),
                                  input_pages.size()))
              return status::error("cannot read the dump again for the audit record");
            before = input_pages.data();
          }
          errno = 0;
          if (!audit_add_batch(audit, batch, before, with_status)) {
            write_error = status::error(write_failure(audit_path, errno));
            return write_error;
          }
        }
        bool ok = true;
        if (cmd == pass_command::extract)
          ok = extract.write(batch, out);
        else if (writes)
          ok = out.put(batch.bytes, static_cast<std::size_t>(batch.pages * page_bytes));
        if (!ok) {
          write_error =
              to_stdout ? stdout_failure(errno) : status::error(write_failure(out_name, errno));
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
  if (!scanned.ok())
    return failed(r, status::error(q.dump + ": " + scanned.message));
  const bool copies_tail = writes && cmd != pass_command::extract;
  errno = 0;
  if (!copy_tail(dump.get(), copies_tail ? &out : nullptr, tail)) {
    if (copies_tail && std::ferror(out.file)) {
      return failed(
          r, to_stdout ? stdout_failure(errno) : status::error(write_failure(out_name, errno)));
    }
    return failed(r, status::error("cannot copy the tail of " + q.dump));
  }
  if (status e = report_close(report); !e.ok())
    return failed(r, e);
  if (wants_report) {
    if (status e = write_report_page({q.dump, q.program, q.command_line, q.report}, layout, code,
                                     dump.get(), dump_bytes, tail, input_file.sha256, report, stats,
                                     file_of(staged, kReport));
        !e.ok())
      return failed(r, e);
  }
  if (to_stdout) {
    errno = 0;
    if (std::fflush(q.standard_output) != 0 || std::ferror(q.standard_output))
      return failed(r, stdout_failure(errno));
  }
  // The record is committed last, so that an output that fails leaves none.
  for (std::size_t i = 0; i < staged.size(); ++i) {
    if (!staged[i] || i == kAudit)
      continue;
    if (status e = commit_output(*staged[i]); !e.ok())
      return failed(r, e);
  }
  r.uncorrectable = reports && uncorrectable_outside_bad_blocks(report) > 0;
  if (audit_out) {
    audit_tail ending;
    ending.totals = report.totals;
    ending.tail_bytes = tail;
    ending.exit_status = r.uncorrectable ? 1 : 0;
    ending.has_output = writes;
    if (to_stdout) {
      ending.output.path = kStdout;
      ending.output.bytes = out.bytes;
      ending.output.sha256 = platform_sha256_hex(out.hash);
    } else if (writes) {
      if (status e = hashed_output(out_path, ending.output); !e.ok())
        return failed(r, e);
    }
    if (status e = finish_record(audit, ending, csv, map, report_path, audit_path, *staged[kAudit]);
        !e.ok())
      return failed(r, e);
  }

  r.totals = report.totals;
  r.tail_bytes = tail;
  r.pages_extracted = extract.pages();
  std::vector<std::string>& lines = r.summary;
  lines.push_back("dump:            " + q.dump + ", " + std::to_string(dump_bytes) + " bytes");
  lines.push_back("layout:          " + layout_label(layout));
  lines.push_back("code:            " + code_text(layout.code, code.ecc_bytes));
  if (layout.scrambler.present)
    lines.push_back("scrambler:       " + scrambler_text(layout));
  if (reports) {
    for (std::string& line : summary_lines(report, tail))
      lines.push_back(std::move(line));
  } else {
    lines.push_back("pages:           " + std::to_string(report.totals.pages) + ", " +
                    counted(report.totals.sectors, "sector", "sectors"));
    if (cmd == pass_command::inject)
      lines.push_back("bits flipped:    " + std::to_string(report.totals.injected_bits));
    if (tail > 0)
      lines.push_back("tail:            " + counted(tail, "byte", "bytes") + " copied unchanged");
  }
  if (cmd == pass_command::extract) {
    const std::int64_t as_read =
        report.totals.uncorrectable - (skip_bad ? report.totals.bad_block_uncorrectable : 0);
    lines.push_back("extracted:       " + counted(extract.pages(), "page", "pages") +
                    (q.with_protected ? ", protected bytes after each page's data" : "") + "; " +
                    counted(as_read, "uncorrectable sector", "uncorrectable sectors") +
                    " written as read");
    if (skip_bad) {
      lines.push_back("skipped:         " + counted(bad_blocks.count, "bad block", "bad blocks"));
    }
  }
  output_lines(lines, writes ? out_name : "", csv, map, wants_report ? report_path : "",
               audit_out ? audit_path : "", writes && to_stdout && !q.no_audit);
  return r;
}
