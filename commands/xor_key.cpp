// xor-key: the key search run on a dump, the key checked with the layout's code where a layout
// file gives one, and written as a key file, staged and committed whole, with its record.
#include <cerrno>      // errno
#include <cstdio>      // std::fwrite, std::snprintf
#include <ctime>       // std::time
#include <filesystem>  // std::filesystem
#include <utility>     // std::move

#include "audit/audit_record.h"  // audit_writer, audit_begin, audit_end
#include "codec/layout_code.h"   // build_layout_code
#include "codec/step_frame.h"    // step_frame, frame_step, gather_frame_ecc, scatter_frame_ecc
#include "commands/commands.h"
#include "commands/commands_internal.h"  // open_whole_dump, reader_of, stage_outputs
#include "files/file_digest.h"           // sha256_of_file
#include "layout/bit_spans.h"            // gather_message_bits, scatter_message_bits
#include "report/report_text.h"          // counted
#include "scan/dump_scan.h"              // page_reads_erased

namespace {

// Programmed pages whose steps are decoded to check a key at most.
constexpr std::int64_t kCheckedPages = 512;

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

// The steps of one raw page, decoded with the layout's code.
struct page_decoder {
  const nand_layout& layout;
  const bch_code& code;
  std::vector<step_frame> frames;
  std::vector<std::uint8_t> message, ecc;
  bch_decode_result result;

  page_decoder(const nand_layout& l, const bch_code& c) : layout(l), code(c) {
    for (const layout_step& step : layout.steps)
      frames.push_back(frame_step(layout, code, step));
    ecc.resize(static_cast<std::size_t>(code.ecc_bytes));
  }

  void gather(const unsigned char* raw, std::size_t k) {
    const layout_step& step = layout.steps[k];
    const step_frame& frame = frames[k];
    message.assign(frame.message_bytes, 0);
    if (frame.bits) {
      gather_message_bits(raw, step, layout.code.lsb_first, message.data());
      gather_frame_ecc(frame, step, layout.code.lsb_first, raw, ecc.data(), code.ecc_bytes);
    } else {
      gather_message(raw, step, message.data());
      std::copy(raw + step.ecc.offset, raw + step.ecc.offset + code.ecc_bytes, ecc.begin());
    }
  }

  void scatter(unsigned char* raw, std::size_t k) const {
    const layout_step& step = layout.steps[k];
    if (frames[k].bits) {
      scatter_message_bits(raw, step, layout.code.lsb_first, message.data());
      scatter_frame_ecc(frames[k], step, layout.code.lsb_first, raw, ecc.data());
    } else {
      scatter_message(raw, step, message.data());
      std::copy(ecc.begin(), ecc.end(), raw + step.ecc.offset);
    }
  }

  // Steps of `raw` that decode (clean or corrected); with `fix`, their corrections are written
  // into `raw`.
  std::int64_t decode(unsigned char* raw, bool fix) {
    std::int64_t decoded = 0;
    for (std::size_t k = 0; k < layout.steps.size(); ++k) {
      gather(raw, k);
      bch_decode(code, message.data(), message.size(), ecc.data(), result, frame_offset(frames[k]));
      const bool ok = result.status == bch_status::clean || result.status == bch_status::corrected;
      decoded += ok;
      if (fix && result.status == bch_status::corrected)
        scatter(raw, k);
    }
    return decoded;
  }

  // A raw page of zeros but for the ECC the code gives each step's message of zeros: what a
  // page of free space stores before it is scrambled. All zeros unless the code has a mask.
  std::vector<unsigned char> free_space_page() {
    std::vector<unsigned char> page(static_cast<std::size_t>(raw_page_bytes(layout)), 0);
    for (std::size_t k = 0; k < layout.steps.size(); ++k) {
      gather(page.data(), k);
      bch_encode(code, message.data(), message.size(), ecc.data(), frame_offset(frames[k]));
      scatter(page.data(), k);
    }
    return page;
  }
};

// Shares of the steps of the first programmed pages that decode (clean or corrected) with the
// key taken off (the ECC over the plain bytes) and as they are stored.
void decode_shares(const detect_reader& read, std::int64_t pages, page_decoder& decoder,
                   const key_finding& f, double& plain, double& stored) {
  const nand_layout& layout = decoder.layout;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  std::vector<unsigned char> page(static_cast<std::size_t>(page_bytes)), open(page.size());
  std::int64_t steps = 0, plain_ok = 0, stored_ok = 0, checked = 0;
  for (std::int64_t i = 0; i < pages && checked < kCheckedPages; ++i) {
    if (!read(i * page_bytes, page.data(), page.size()))
      break;
    if (page_reads_erased(layout, decoder.code.t, page.data()))
      continue;
    ++checked;
    const std::uint8_t* key = f.key.data() + (i % f.period) * page_bytes;
    for (std::int64_t j = 0; j < page_bytes; ++j)
      open[static_cast<std::size_t>(j)] = static_cast<unsigned char>(page[j] ^ key[j]);
    steps += static_cast<std::int64_t>(layout.steps.size());
    plain_ok += decoder.decode(open.data(), false);
    stored_ok += decoder.decode(page.data(), false);
  }
  plain = steps > 0 ? static_cast<double>(plain_ok) / static_cast<double>(steps) : 0;
  stored = steps > 0 ? static_cast<double>(stored_ok) / static_cast<double>(steps) : 0;
}

// Programmed pages of a key page decoded to refine it, at most.
constexpr std::int64_t kRefinedPagesPerSlot = 16;

// The key refined with the code, where the ECC covers the plain bytes. Free space stores the
// code's ECC of zeros, which a mask makes other than zeros: the key's ECC bytes are what free
// pages hold XOR that ECC. And a key bit that is wrong shows in every page of its key page as
// a bit the decoder corrects: one that most decoded pages of the key page need corrected is
// flipped. Returns the key bits changed.
std::int64_t refine_key(const detect_reader& read, page_decoder& decoder, key_finding& f) {
  const nand_layout& layout = decoder.layout;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  std::int64_t changed = 0;
  const std::vector<unsigned char> free_page = decoder.free_space_page();
  const std::vector<std::uint8_t> before = f.key;
  for (std::int64_t slot = 0; slot < f.period; ++slot) {
    std::uint8_t* key = f.key.data() + slot * page_bytes;
    for (std::int64_t j = 0; j < page_bytes; ++j)
      key[j] ^= free_page[static_cast<std::size_t>(j)];
  }
  std::vector<unsigned char> page(static_cast<std::size_t>(page_bytes)), fixed(page.size());
  std::vector<std::uint16_t> flips(static_cast<std::size_t>(page_bytes * 8));
  for (std::int64_t slot = 0; slot < f.period; ++slot) {
    std::uint8_t* key = f.key.data() + slot * page_bytes;
    std::fill(flips.begin(), flips.end(), 0);
    std::int64_t decoded = 0;
    for (std::int64_t i = slot; i < f.sampled && decoded < kRefinedPagesPerSlot; i += f.period) {
      if (!read(i * page_bytes, page.data(), page.size()))
        break;
      if (page_reads_erased(layout, decoder.code.t, page.data()))
        continue;
      for (std::int64_t j = 0; j < page_bytes; ++j)
        page[static_cast<std::size_t>(j)] ^= key[j];
      fixed = page;
      if (decoder.decode(fixed.data(), true) == 0)
        continue;
      ++decoded;
      for (std::int64_t j = 0; j < page_bytes; ++j) {
        const unsigned diff =
            page[static_cast<std::size_t>(j)] ^ fixed[static_cast<std::size_t>(j)];
        for (int b = 0; diff != 0 && b < 8; ++b)
          flips[static_cast<std::size_t>(j * 8 + b)] += (diff >> b) & 1;
      }
    }
    for (std::int64_t j = 0; decoded >= 2 && j < page_bytes; ++j) {
      for (int b = 0; b < 8; ++b) {
        const std::int64_t n = flips[static_cast<std::size_t>(j * 8 + b)];
        if (n >= 2 && 2 * n > decoded)
          key[j] ^= static_cast<std::uint8_t>(1u << b);
      }
    }
  }
  for (std::size_t i = 0; i < f.key.size(); ++i)
    changed += __builtin_popcount(static_cast<unsigned>(f.key[i] ^ before[i]));
  return changed;
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
    page_decoder decoder(layout, code);
    decode_shares(read, search.pages, decoder, f, r.decode_plain, r.decode_stored);
    if (r.decode_plain >= r.decode_stored) {
      // Kept only when the pages decode at least as well with it.
      const std::vector<std::uint8_t> found = f.key;
      const std::int64_t bits = refine_key(read, decoder, r.finding);
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
