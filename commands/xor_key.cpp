// xor-key: the key search run on a dump, the key checked with the layout's code where a layout
// file gives one, and written as a key file, staged and committed whole, with its record.
#include <cerrno>      // errno
#include <cstdio>      // std::fwrite, std::snprintf
#include <ctime>       // std::time
#include <filesystem>  // std::filesystem
#include <utility>     // std::move

#include "audit/audit_record.h"  // audit_writer, audit_begin, audit_end
#include "commands/commands.h"
#include "commands/commands_internal.h"  // open_whole_dump, reader_of, stage_outputs
#include "detect/key_check.h"            // key_decoder, decode_shares, refine_key
#include "files/file_digest.h"           // sha256_of_file
#include "report/report_text.h"          // counted

namespace {

xor_key_outcome failed(xor_key_outcome& r, status error) {
  r.error = std::move(error);
  r.lines.clear();
  return std::move(r);
}

std::string percent(double share) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%", 100.0 * share);
  return text;
}

}  // namespace

xor_key_outcome run_xor_key(const xor_key_request& q) {
  xor_key_outcome r;
  const std::string started = audit_utc_time(std::time(nullptr));
  if (q.out.empty())
    return failed(r, status::error("xor-key needs -o KEY.bin, the key file"));
  if (q.out == kStdout)
    return failed(r, status::error("-o -: the key goes to a file, to be named by a layout"));
  nand_layout layout;
  bch_code code;
  if (status e = choose_layout_and_code(q.layout, layout, code); !e.ok())
    return failed(r, e);
  file_ptr dump;
  std::int64_t bytes = 0;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  if (status e = open_whole_dump(q.dump, page_bytes, dump, bytes); !e.ok())
    return failed(r, e);
  key_search search;
  search.page_bytes = page_bytes;
  search.pages = bytes / page_bytes;
  search.period = q.period;
  const detect_reader read = reader_of(dump.get());
  if (status e = find_xor_key(read, search, r.finding); !e.ok())
    return failed(r, status::error(q.dump + ": " + e.message));
  const key_finding& f = r.finding;
  std::vector<std::string>& lines = r.lines;
  lines.push_back("dump:            " + q.dump + ", " + counted(bytes, "byte", "bytes") + ", " +
                  counted(search.pages, "page", "pages") + " of " + std::to_string(page_bytes) +
                  " bytes");
  lines.push_back("sampled:         " + counted(f.sampled, "page", "pages") + " from the start, " +
                  std::to_string(f.programmed) +
                  " of them programmed (erased pages are no "
                  "evidence)");
  if (!f.found) {
    lines.push_back(
        "key:             none found: no period makes pages agree beyond what "
        "unscrambled bytes and chance give; nothing written");
    return r;
  }
  double period_agreement = 0;
  for (const period_score& s : f.scores) {
    if (s.period == f.period)
      period_agreement = s.agreement;
  }
  std::int32_t fewest = f.pages_per_slot.empty() ? 0 : f.pages_per_slot[0], most = fewest;
  for (std::int32_t n : f.pages_per_slot) {
    fewest = std::min(fewest, n);
    most = std::max(most, n);
  }
  lines.push_back("period:          " + counted(f.period, "page", "pages") + " (pages " +
                  std::to_string(f.period) + " apart agree on " + percent(period_agreement) +
                  " of their bytes, most others on " + percent(f.baseline) + ")");
  lines.push_back("key:             " + percent(f.supported) +
                  " of its bytes agreed on beyond chance; each key page rests on " +
                  std::to_string(fewest) + (most > fewest ? " to " + std::to_string(most) : "") +
                  " pages");
  if (f.supported < 0.9) {
    lines.push_back(
        "note:            the key is partial: the rest of its bytes are each page's "
        "commonest value but rest on too few pages to be sure of; a dump with more "
        "pages, or --layout to check it by decoding, tells more");
  }
  if (!q.layout.layout_file.empty()) {
    key_decoder decoder(layout, code);
    decode_shares(read, search.pages, decoder, f, r.decode_plain, r.decode_stored);
    if (r.decode_plain >= r.decode_stored) {
      // Kept only when the pages decode at least as well with it.
      const std::vector<std::uint8_t> found = f.key;
      const std::int64_t bits = refine_key(read, f.sampled, decoder, r.finding);
      double plain = 0, stored = 0;
      if (bits > 0)
        decode_shares(read, search.pages, decoder, f, plain, stored);
      if (bits > 0 && plain >= r.decode_plain) {
        r.decode_plain = plain;
        r.refined_bits = bits;
        lines.push_back("refined:         " + counted(bits, "key bit", "key bits") +
                        " set by the code: the ECC of free space, and bits that every page of "
                        "a key page needed corrected");
      } else {
        r.finding.key = found;
      }
    }
    lines.push_back("decodes:         " + percent(r.decode_plain) +
                    " of the sampled steps with the key taken off (ecc = \"plain\"), " +
                    percent(r.decode_stored) + " as stored (ecc = \"scrambled\")");
  }
  // Pages that agree at every distance hold one key, or the same data: the code must tell.
  if (f.period == 1) {
    const bool keyed = r.decode_plain >= 0.5 && r.decode_plain > r.decode_stored;
    if (!keyed) {
      lines.push_back(
          q.layout.layout_file.empty()
              ? "key:             not told: every page agrees with every other, which one key "
                "for every page and pages that all hold the same data both give; --layout "
                "with the code tells them apart; nothing written"
              : "key:             none: the pages decode no better with it than as stored; "
                "they hold the same data rather than one key; nothing written");
      return r;
    }
  }

  // The key file and its record, staged and committed whole.
  const std::string audit_path = q.no_audit         ? ""
                                 : !q.audit.empty() ? q.audit
                                                    : default_record_name(q.out);
  audit_file input;
  input.path = q.dump;
  input.absolute_path = absolute_name(q.dump);
  input.bytes = bytes;
  if (!audit_path.empty()) {
    if (status e = sha256_of_file(dump.get(), input.sha256); !e.ok())
      return failed(r, status::error(q.dump + ": " + e.message));
  }
  output_rules rules;
  rules.inputs = {q.dump};
  rules.force = q.force;
  rules.standard_output = nullptr;
  rules.warning = q.warning;
  staged_list staged;
  if (status e = stage_outputs({{"-o", q.out}, {"--audit", audit_path}}, rules, staged); !e.ok())
    return failed(r, e);
  errno = 0;
  if (std::fwrite(f.key.data(), 1, f.key.size(), file_of(staged, 0)) != f.key.size())
    return failed(r, status::error(write_failure(q.out, errno)));
  if (status e = commit_output(*staged[0]); !e.ok())
    return failed(r, e);
  if (std::FILE* record = file_of(staged, 1)) {
    audit_head head =
        record_head(q.program, "xor-key", q.command_line, started, layout, code, input);
    head.changes = audit_changes::decoded;
    audit_writer audit;
    errno = 0;
    if (!audit_begin(audit, record, head).ok())
      return failed(r, status::error(write_failure(audit_path, errno)));
    audit_tail ending;
    ending.has_output = true;
    if (status e = hashed_output(q.out, ending.output); !e.ok())
      return failed(r, e);
    if (status e = finish_record(audit, ending, "", "", "", audit_path, *staged[1]); !e.ok())
      return failed(r, e);
  }
  r.found = true;
  const bool stored_better = r.decode_stored > r.decode_plain;
  lines.push_back("written:         " + q.out);
  if (!audit_path.empty())
    lines.push_back("audit:           " + audit_path);
  lines.push_back("use it:          [scrambler] key_file = \"" +
                  std::filesystem::u8path(q.out).filename().u8string() + "\", ecc = \"" +
                  (stored_better ? "scrambled" : "plain") + "\"" +
                  (r.decode_plain < 0 ? " (or \"scrambled\"; --layout with the code tells)" : ""));
  return r;
}
