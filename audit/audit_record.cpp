// Audit records written as the pass streams: the head as one JSON object's first members, the
// changed steps one line each, then the tail's members; and verification by re-hashing the
// files a record names. JSON through nlohmann-json, whose exceptions stay inside this file.
#include "audit/audit_record.h"

#include <nlohmann/json.hpp>  // nlohmann::ordered_json

#include <cstdio>      // std::snprintf, std::fwrite, std::fflush, std::fread, std::fclose
#include <cstring>     // std::memcmp, std::strerror
#include <exception>   // std::exception
#include <filesystem>  // std::filesystem::u8path, exists
#include <memory>      // std::unique_ptr
#include <utility>     // std::move

#include "codec/layout_code.h"  // code_text, mask_name
#include "files/file_digest.h"  // sha256_of_path
#include "platform/platform.h"  // platform_open_regular
#include "version/version.h"    // pagolinth_version, pagolinth_revision

namespace {

using json = nlohmann::ordered_json;

constexpr char kRecordKind[] = "pagolinth audit record";
constexpr int kRecordVersion = 1;

// Serialises without throwing: bytes that are not UTF-8 (a file name in another encoding)
// become U+FFFD; such names also carry their bytes in hex (see file_json).
std::string dumped(const json& j, int indent) {
  return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

bool valid_utf8(const std::string& text) {
  try {
    (void)json(text).dump();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string hex_of(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// The bytes of an even number of hex digits; "" for anything else.
std::string bytes_of_hex(const std::string& hex) {
  const auto value = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = value(hex[i]), low = value(hex[i + 1]);
    if (high < 0 || low < 0)
      return "";
    bytes += static_cast<char>(high * 16 + low);
  }
  return hex.size() % 2 == 0 ? bytes : "";
}

json file_json(const audit_file& f) {
  json j;
  j["path"] = f.path;
  if (!valid_utf8(f.path))
    j["path_hex"] = hex_of(f.path);
  j["absolute_path"] = f.absolute_path;
  if (!valid_utf8(f.absolute_path))
    j["absolute_path_hex"] = hex_of(f.absolute_path);
  j["bytes"] = f.bytes;
  j["sha256"] = f.sha256;
  return j;
}

// The members of an object as text, without its braces, to be joined with others: the record
// is one object whose middle (the changed steps) is streamed.
std::string members(const json& object) {
  const std::string text = dumped(object, 2);  // "{\n  ...\n}"
  return text.size() > 4 ? text.substr(2, text.size() - 4) : "";
}

bool put(audit_writer& w, const std::string& text) {
  if (w.failed)
    return false;
  if (std::fwrite(text.data(), 1, text.size(), w.file) != text.size())
    w.failed = true;
  return !w.failed;
}

// One changed step: its line in the list, and its bits in the counts.
struct step_entry {
  std::int64_t count = 0;
  json bits = json::array();  // empty when the CSV lists the steps
};

void add_bit(audit_writer& w, step_entry& e, std::int64_t at, int bit, int read) {
  ++e.count;
  if (read == 0)
    ++w.bits_0_to_1;
  else
    ++w.bits_1_to_0;
  if (w.listing)
    e.bits.push_back(json::array({at, bit, read}));
}

bool finish_step(audit_writer& w, step_entry& e, std::int64_t page, std::size_t k,
                 std::int64_t offset, const step_outcome* outcome) {
  if (e.count == 0)
    return true;
  ++w.steps_changed;
  if (!w.listing)
    return true;
  json j;
  j["page"] = page;
  j["step"] = k;
  j["offset"] = offset;
  if (outcome)
    j["status"] = bch_status_name(outcome->status);
  j["bits"] = std::move(e.bits);
  return put(w, std::string(w.steps_changed == 1 ? "\n    " : ",\n    ") + dumped(j, -1));
}

void compare_spans(audit_writer& w, step_entry& e, const std::vector<layout_span>& spans,
                   std::int64_t page_start, const unsigned char* before,
                   const unsigned char* after) {
  for (const layout_span& span : spans) {
    for (std::int64_t i = span.offset; i < span.offset + span.length; ++i) {
      const unsigned diff = static_cast<unsigned>(before[i] ^ after[i]);
      for (int bit = 0; diff != 0 && bit < 8; ++bit) {
        if ((diff >> bit) & 1u)
          add_bit(w, e, page_start + i, bit, (before[i] >> bit) & 1);
      }
    }
  }
}

}  // namespace

std::string audit_utc_time(std::time_t when) {
  const std::tm* utc = std::gmtime(&when);
  if (utc == nullptr)
    return "";
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc) == 0)
    return "";
  return text;
}

status audit_begin(audit_writer& w, std::FILE* file, const audit_head& head) {
  w = audit_writer{};
  w.file = file;
  w.layout = head.layout;
  w.changes = head.changes;
  w.listing = head.changes_in_csv.empty();
  const nand_layout& layout = *head.layout;
  const bch_code& code = *head.code;

  json j;
  j["record"] = kRecordKind;
  j["record_version"] = kRecordVersion;
  j["tool"] = {{"program", head.program},
               {"version", pagolinth_version()},
               {"revision", pagolinth_revision()}};
  j["command"] = head.command;
  j["command_line"] = head.command_line;
  j["working_directory"] = head.working_directory;
  j["started_utc"] = head.started_utc;
  json l;
  l["label"] = layout.name.empty() ? layout.source : layout.name;
  l["source"] = layout.source;
  l["raw_page_bytes"] = raw_page_bytes(layout);
  l["steps_per_page"] = layout.steps.size();
  l["as_layout_file"] = layout_to_toml(layout);
  j["layout"] = std::move(l);
  json c;
  c["m"] = code.m;
  c["t"] = code.t;
  char polynomial[16];
  std::snprintf(polynomial, sizeof polynomial, "0x%X",
                static_cast<unsigned>(code.primitive_polynomial));
  c["primitive_polynomial"] = polynomial;
  c["parity_bits"] = code.parity_bits;
  c["ecc_bytes"] = code.ecc_bytes;
  c["bit_order"] = layout.code.lsb_first ? "lsb" : "msb";
  c["ecc_mask"] = mask_name(layout.code.mask);
  c["pad"] = layout.code.pad_start ? "start" : "end";
  c["text"] = code_text(layout.code, code.ecc_bytes);
  j["code"] = std::move(c);
  j["input"] = file_json(head.input);
  j["changes_are"] =
      head.changes == audit_changes::written
          ? "the bits in which the output differs from the input, found by comparing them"
          : "the bits the decoder corrected; offsets are those of the input";
  j["changed_bits_format"] = "[dump offset, bit (0 = least significant, as stored), value read]";
  if (!w.listing) {
    j["changed_steps_in_csv"] = head.changes_in_csv;
    put(w, "{\n" + members(j));
  } else {
    put(w, "{\n" + members(j) + ",\n  \"changed_steps\": [");
  }
  return w.failed ? status::error("cannot write the audit record") : status::success();
}

bool audit_add_batch(audit_writer& w, const scan_batch& batch, const unsigned char* input,
                     bool with_status) {
  const nand_layout& layout = *w.layout;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const std::size_t steps = layout.steps.size();
  for (std::int64_t p = 0; p < batch.pages; ++p) {
    const std::int64_t page = batch.first_page + p;
    const std::int64_t page_start = page * page_bytes;
    const unsigned char* after = batch.bytes + p * page_bytes;
    const unsigned char* before = input ? input + p * page_bytes : nullptr;
    if (w.changes == audit_changes::written &&
        std::memcmp(before, after, static_cast<std::size_t>(page_bytes)) == 0)
      continue;
    for (std::size_t k = 0; k < steps; ++k) {
      const layout_step& step = layout.steps[k];
      const step_outcome* outcome =
          batch.outcomes + p * static_cast<std::int64_t>(steps) + static_cast<std::int64_t>(k);
      step_entry e;
      if (w.changes == audit_changes::written) {
        compare_spans(w, e, step.data, page_start, before, after);
        compare_spans(w, e, step.protected_, page_start, before, after);
        compare_spans(w, e, {step.ecc}, page_start, before, after);
      } else {
        if (outcome->fix_count == 0)
          continue;
        for (std::uint32_t i = 0; i < outcome->fix_count; ++i) {
          const bch_bit_fix& f = batch.fixes[outcome->fix_first + i];
          const std::int64_t at =
              f.in_ecc ? step.ecc.offset + f.byte
                       : message_byte_offset(step, static_cast<std::int64_t>(f.byte));
          add_bit(w, e, page_start + at, f.bit, f.to_one ? 0 : 1);
        }
      }
      if (!finish_step(w, e, page, k, page_start + step.data.front().offset,
                       with_status ? outcome : nullptr))
        return false;
    }
  }
  return !w.failed;
}

status audit_end(audit_writer& w, const audit_tail& tail) {
  json j;
  j["ended_utc"] = tail.ended_utc;
  j["exit_status"] = tail.exit_status;
  if (tail.has_output)
    j["output"] = file_json(tail.output);
  for (const auto& [role, file] : tail.side_files)
    j[role] = file_json(file);
  const scan_totals& t = tail.totals;
  json s;
  s["pages"] = t.pages;
  s["steps"] = t.sectors;
  s["clean"] = t.clean;
  s["erased"] = t.erased;
  s["corrected"] = t.corrected;
  s["uncorrectable"] = t.uncorrectable;
  s["bits_corrected"] = t.corrected_bits;
  s["bits_flipped_in_erased_steps"] = t.erased_bits;
  s["bits_injected"] = t.injected_bits;
  s["bad_blocks"] = t.bad_blocks;
  s["steps_in_bad_blocks"] = t.bad_block_steps;
  s["uncorrectable_in_bad_blocks"] = t.bad_block_uncorrectable;
  s["tail_bytes"] = tail.tail_bytes;
  j["summary"] = std::move(s);
  json changed;
  changed["steps"] = w.steps_changed;
  changed["bits_0_to_1"] = w.bits_0_to_1;
  changed["bits_1_to_0"] = w.bits_1_to_0;
  j["changed"] = std::move(changed);
  put(w, std::string(w.listing ? (w.steps_changed > 0 ? "\n  ],\n" : "],\n") : ",\n") + members(j) +
             "\n}\n");
  if (!w.failed && std::fflush(w.file) != 0)
    w.failed = true;
  return w.failed ? status::error("cannot write the audit record") : status::success();
}

namespace {

// The recorded name of a file: its bytes from hex when they were not UTF-8.
std::string recorded_name(const json& file, const char* key) {
  const std::string hex_key = std::string(key) + "_hex";
  if (file.contains(hex_key) && file[hex_key].is_string())
    return bytes_of_hex(file[hex_key].get<std::string>());
  if (file.contains(key) && file[key].is_string())
    return file[key].get<std::string>();
  return "";
}

bool exists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::exists(std::filesystem::u8path(path), ec);
}

bool is_sha256(const std::string& hex) {
  return hex.size() == 64 && hex.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

status audit_verify(const std::string& path, std::vector<audit_check>& files,
                    std::vector<std::string>& skipped) {
  files.clear();
  skipped.clear();
  // Only a regular file can be a record: a folder, a device or a FIFO is refused unread.
  int error = 0;
  std::string not_regular;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
      platform_open_regular(path, error, not_regular), &std::fclose);
  if (!in && !not_regular.empty())
    return status::error(path + " is " + not_regular + ", not an audit record");
  if (!in)
    return status::error("cannot open the record " + path + ": " + std::strerror(error));
  std::string text;
  char piece[1 << 16];
  for (std::size_t got; (got = std::fread(piece, 1, sizeof piece, in.get())) > 0;)
    text.append(piece, got);
  if (std::ferror(in.get()))
    return status::error("cannot read the record " + path);
  const json record = json::parse(text, nullptr, false);
  if (record.is_discarded() || !record.is_object())
    return status::error(path + " is not JSON");
  if (!record.contains("record") || record["record"] != kRecordKind)
    return status::error(path + " is not a pagolinth audit record");
  if (!record.contains("record_version") || record["record_version"] != kRecordVersion)
    return status::error(path + ": record_version is not " + std::to_string(kRecordVersion));
  const std::filesystem::path folder = std::filesystem::u8path(path).parent_path();
  for (const char* role : {"input", "output", "csv", "map", "report"}) {
    if (!record.contains(role))
      continue;
    const json& f = record[role];
    if (!f.is_object() || !f.contains("sha256") || !f["sha256"].is_string())
      return status::error(path + ": \"" + role + "\" has no sha256");
    audit_check c;
    c.role = role;
    c.recorded = f["sha256"].get<std::string>();
    const std::string given = recorded_name(f, "path");
    const std::string absolute = recorded_name(f, "absolute_path");
    if (given == "-") {
      skipped.push_back(std::string(role) + " went to standard output and cannot be hashed again");
      continue;
    }
    if (!is_sha256(c.recorded))
      return status::error(path + ": the sha256 of \"" + role + "\" is not 64 hex digits");
    if (given.empty() && absolute.empty())
      return status::error(path + ": \"" + role + "\" names no file");
    std::vector<std::string> tries = {absolute, given};
    if (!given.empty() && std::filesystem::u8path(given).is_relative())
      tries.push_back((folder / std::filesystem::u8path(given)).u8string());
    for (const std::string& one : tries) {
      if (exists(one)) {
        c.path = one;
        break;
      }
    }
    if (c.path.empty()) {
      c.path = absolute.empty() ? given : absolute;
      c.problem = audit_problem::missing;
    } else if (status hashed = sha256_of_path(c.path, c.found); !hashed.ok()) {
      // A device, a FIFO or a /proc file would hash as anything but itself: no match.
      c.problem = audit_problem::unreadable;
      c.why = hashed.message;
    } else if (c.found != c.recorded) {
      c.problem = audit_problem::changed;
    }
    files.push_back(std::move(c));
  }
  if (files.empty() && skipped.empty())
    return status::error(path + " names no file");
  return status::success();
}
