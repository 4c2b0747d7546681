// Audit records written as the pass streams: the head as one JSON object's first members, the
// changed steps one line each, then the tail's members; and verification by re-hashing the
// files a record names, the record read as it streams too (nlohmann-json's SAX interface).
// JSON through nlohmann-json, whose exceptions stay inside this file.
#include "audit/audit_record.h"

#include <nlohmann/json.hpp>  // nlohmann::ordered_json

#include <algorithm>   // std::find_if
#include <cstdio>      // std::snprintf, std::fwrite, std::fflush, std::fread, std::fclose
#include <cstring>     // std::memcmp, std::strerror
#include <exception>   // std::exception
#include <cstddef>     // std::ptrdiff_t
#include <filesystem>  // std::filesystem::u8path, exists
#include <iterator>    // std::input_iterator_tag
#include <map>         // std::map
#include <memory>      // std::unique_ptr, std::make_unique
#include <utility>     // std::move

#include "codec/layout_code.h"  // code_text, mask_name
#include "files/file_digest.h"  // sha256_of_path
#include "layout/bit_spans.h"   // get_bit, stored_bit
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

// Lists the bits in which `after` differs from `before` within the spans; `bits` when they
// count bits of the raw page, numbered in the bit order.
void compare_spans(audit_writer& w, step_entry& e, const std::vector<layout_span>& spans, bool bits,
                   bool lsb_first, std::int64_t page_start, const unsigned char* before,
                   const unsigned char* after) {
  for (const layout_span& span : spans) {
    if (bits) {
      for (std::int64_t b = span.offset; b < span.offset + span.length; ++b) {
        if (get_bit(before, b, lsb_first) != get_bit(after, b, lsb_first))
          add_bit(w, e, page_start + b / 8, stored_bit(b, lsb_first),
                  get_bit(before, b, lsb_first));
      }
      continue;
    }
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
  // The key a scrambled layout names: what the pages were unscrambled with, hashed as it was
  // read, and verified again like the input.
  if (layout.scrambler.present) {
    platform_sha256 hash;
    platform_sha256_update(hash, layout.scrambler.key.data(), layout.scrambler.key.size());
    audit_file key;
    key.path = layout.scrambler.key_path;
    key.absolute_path = layout.scrambler.key_path;
    std::error_code ec;
    const std::filesystem::path at =
        std::filesystem::absolute(std::filesystem::u8path(layout.scrambler.key_path), ec);
    if (!ec)
      key.absolute_path = at.u8string();
    key.bytes = static_cast<std::int64_t>(layout.scrambler.key.size());
    key.sha256 = platform_sha256_hex(hash);
    j["scrambler_key"] = file_json(key);
    j["scrambler_ecc"] = layout.scrambler.ecc == scrambler_ecc::plain ? "plain" : "scrambled";
  }
  j["input"] = file_json(head.input);
  for (std::size_t i = 0; i < head.more_inputs.size(); ++i)
    j["input_" + std::to_string(i + 2)] = file_json(head.more_inputs[i]);
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
        const bool lsb = layout.code.lsb_first;
        compare_spans(w, e, step.data, step.bits, lsb, page_start, before, after);
        compare_spans(w, e, step.protected_, step.bits, lsb, page_start, before, after);
        compare_spans(w, e, {step.ecc}, step.bits, lsb, page_start, before, after);
      } else {
        if (outcome->fix_count == 0)
          continue;
        for (std::uint32_t i = 0; i < outcome->fix_count; ++i) {
          const bch_bit_fix& f = batch.fixes[outcome->fix_first + i];
          if (step.bits) {
            const bool lsb = layout.code.lsb_first;
            const std::int64_t j = 8 * std::int64_t{f.byte} + (lsb ? f.bit : 7 - f.bit);
            const std::int64_t b = f.in_ecc ? ecc_bit_offset(step, j) : message_bit_offset(step, j);
            add_bit(w, e, page_start + b / 8, stored_bit(b, lsb), f.to_one ? 0 : 1);
            continue;
          }
          const std::int64_t at =
              f.in_ecc ? step.ecc.offset + f.byte
                       : message_byte_offset(step, static_cast<std::int64_t>(f.byte));
          add_bit(w, e, page_start + at, f.bit, f.to_one ? 0 : 1);
        }
      }
      if (!finish_step(w, e, page, k, page_start + step_first_byte(step),
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

// The files a record may name, in the order they are verified.
// The inputs after the first of a command over several reads are input_2, input_3, ...
constexpr const char* kRoles[] = {
    "input",    "input_2",  "input_3",       "input_4",  "input_5",  "input_6",  "input_7",
    "input_8",  "input_9",  "input_10",      "input_11", "input_12", "input_13", "input_14",
    "input_15", "input_16", "scrambler_key", "output",   "csv",      "map",      "report"};
constexpr int kRoleCount = 21;
// The members of a file's object that verify reads.
constexpr const char* kFileFields[] = {"path", "path_hex", "absolute_path", "absolute_path_hex",
                                       "sha256"};

// The longest string or number a record holds is a path or the layout file, a few KiB. The
// parser keeps a token whole, so a longer one, which no record has, ends the reading there.
constexpr std::int64_t kLongestToken = std::int64_t{1} << 20;
// A record nests five deep (the root, the changed steps, a step, its bits, a bit).
constexpr int kDeepest = 16;

// The record's bytes for the parser, read in pieces. Follows JSON's strings and their escapes
// just enough to know the length of the token being read, and ends the input at a token longer
// than kLongestToken, so that what the parser keeps stays bounded whatever the file holds.
struct record_source {
  std::FILE* file = nullptr;
  char piece[1 << 16];
  std::size_t at = 0;
  std::size_t filled = 0;
  bool in_string = false;
  bool escaped = false;
  std::int64_t token = 0;  // bytes of the string, number or literal being read
  bool too_long = false;
  bool read_failed = false;

  bool available() {
    if (too_long)
      return false;
    if (at < filled)
      return true;
    at = 0;
    filled = std::fread(piece, 1, sizeof piece, file);
    if (filled == 0 && std::ferror(file))
      read_failed = true;
    return filled > 0;
  }

  void advance() {
    const char c = piece[at++];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
        token = 0;
        return;
      }
      ++token;
    } else if (c == '"') {
      in_string = true;
      token = 0;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '{' || c == '}' ||
               c == '[' || c == ']' || c == ',' || c == ':') {
      token = 0;
    } else {
      ++token;
    }
    if (token > kLongestToken)
      too_long = true;
  }
};

// An input iterator over a record_source for nlohmann's parser: it ends where the source ends.
struct record_bytes {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  record_source* source = nullptr;  // null: the end

  reference operator*() const { return source->piece[source->at]; }
  record_bytes& operator++() {
    source->advance();
    return *this;
  }
  bool ended() const { return source == nullptr || !source->available(); }
  bool operator==(const record_bytes& other) const { return ended() == other.ended(); }
  bool operator!=(const record_bytes& other) const { return !(*this == other); }
};

// One file a record names, as read: the members of its object that verify uses and are strings.
struct named_file {
  bool present = false;
  bool object = false;
  std::map<std::string, std::string> strings;
};

// Reads a record as it streams past: its kind and version, which must come first as audit_begin
// writes them, and the files it names. Keeps nothing else, so that memory does not grow with the
// list of changed steps; stops the parser at the first sign that the file is no record.
class record_reader final : public nlohmann::json_sax<json> {
 public:
  named_file files[kRoleCount];
  bool is_record = false;  // the first member said so
  bool version_ok = false;
  std::string refusal;        // why the reading was stopped here, appended to the record's name
  bool parse_failed = false;  // the parser found no JSON
  std::size_t failed_at = 0;  // the byte where

  bool null() override { return value(kind::other); }
  bool boolean(bool) override { return value(kind::other); }
  bool number_integer(number_integer_t n) override {
    return value(n == kRecordVersion ? kind::version : kind::other);
  }
  bool number_unsigned(number_unsigned_t n) override {
    return value(n == kRecordVersion ? kind::version : kind::other);
  }
  bool number_float(number_float_t, const string_t&) override { return value(kind::other); }
  bool string(string_t& text) override { return value(kind::string, &text); }
  bool binary(binary_t&) override { return value(kind::other); }
  bool start_object(std::size_t) override { return value(kind::object) && enter(); }
  bool start_array(std::size_t) override { return value(kind::other) && enter(); }
  bool end_object() override { return leave(); }
  bool end_array() override { return leave(); }
  bool key(string_t& name) override {
    if (depth_ == 1) {
      // audit_begin writes the kind first: a file that does not start so is no record, and
      // need not be read further.
      if (members_++ == 0 && name != "record")
        return refuse(" is not a pagolinth audit record");
      member_ = name;
    } else if (depth_ == 2 && role_ >= 0) {
      field_ = name;
    }
    return true;
  }
  bool parse_error(std::size_t at, const std::string&,
                   const nlohmann::detail::exception&) override {
    parse_failed = true;
    failed_at = at;
    return false;
  }

 private:
  enum class kind { object, string, version, other };

  bool refuse(const std::string& why) {
    refusal = why;
    return false;
  }
  bool enter() {
    if (++depth_ > kDeepest)
      return refuse(" is not a pagolinth audit record (nested too deeply)");
    return true;
  }
  bool leave() {
    if (depth_ == 2)
      role_ = -1;
    --depth_;
    return true;
  }
  // A value at the current depth, before a container's enter().
  bool value(kind k, const std::string* text = nullptr) {
    if (depth_ == 0)
      return k == kind::object || refuse(" is not a pagolinth audit record");
    if (depth_ == 1) {
      if (member_ == "record") {
        if (k != kind::string || *text != kRecordKind)
          return refuse(" is not a pagolinth audit record");
        is_record = true;
      } else if (member_ == "record_version") {
        version_ok = k == kind::version;
        if (!version_ok)
          return refuse(": record_version is not " + std::to_string(kRecordVersion));
      } else {
        for (int r = 0; r < kRoleCount; ++r) {
          if (member_ != kRoles[r])
            continue;
          files[r] = named_file{};
          files[r].present = true;
          files[r].object = k == kind::object;
          if (files[r].object)
            role_ = r;
        }
      }
    } else if (depth_ == 2 && role_ >= 0) {
      for (const char* f : kFileFields) {
        if (field_ != f)
          continue;
        if (k == kind::string)
          files[role_].strings[field_] = *text;
        else
          files[role_].strings.erase(field_);
      }
    }
    return true;
  }

  int depth_ = 0;
  int members_ = 0;     // of the root object, so far
  std::string member_;  // the name of the root's member being read
  int role_ = -1;       // the file whose object is open (at depth 2), or -1
  std::string field_;   // the name of that object's member being read
};

// The recorded name of a file: its bytes from hex when they were not UTF-8.
std::string recorded_name(const named_file& file, const char* key) {
  const auto hex = file.strings.find(std::string(key) + "_hex");
  if (hex != file.strings.end())
    return bytes_of_hex(hex->second);
  const auto text = file.strings.find(key);
  return text != file.strings.end() ? text->second : "";
}

bool exists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::exists(std::filesystem::u8path(path), ec);
}

// A name verify looks at for a file, and what finding the file there means.
struct place_tried {
  std::string path;  // absolute
  audit_place place;
};

// The names a recorded file is looked for at, in the order audit_verify tells, each once.
// REQUIRES: `given` or `absolute` not empty.
std::vector<place_tried> places_of(const std::filesystem::path& folder, const std::string& given,
                                   const std::string& absolute) {
  namespace fs = std::filesystem;
  std::vector<place_tried> tries;
  const auto add = [&tries](const fs::path& p, audit_place place) {
    // Absolute, so that the output says which file it hashed whatever the working folder.
    std::error_code ec;
    const fs::path whole = fs::absolute(p, ec);
    const std::string name = (ec ? p : whole).u8string();
    for (const place_tried& t : tries) {
      if (t.path == name)
        return;  // the record was not moved: beside it is where the file was recorded
    }
    tries.push_back({name, place});
  };
  const fs::path as_given = fs::u8path(given);
  if (!given.empty() && as_given.is_relative())
    add(folder / as_given, audit_place::beside);
  const fs::path name = (given.empty() ? fs::u8path(absolute) : as_given).filename();
  if (!name.empty())
    add(folder / name, audit_place::beside);
  if (!absolute.empty())
    add(fs::u8path(absolute), audit_place::absolute);
  if (!given.empty())
    add(as_given, as_given.is_relative() ? audit_place::working_folder : audit_place::absolute);
  return tries;
}

bool is_sha256(const std::string& hex) {
  return hex.size() == 64 && hex.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Reads the record from `in` into `reader`; fails with one line naming `path` and the reason.
status read_record(std::FILE* in, const std::string& path, record_reader& reader) {
  // On the heap: its piece is 64 KiB.
  const auto source = std::make_unique<record_source>();
  source->file = in;
  bool parsed = false;
  try {
    parsed = json::sax_parse(record_bytes{source.get()}, record_bytes{}, &reader);
  } catch (const std::exception& e) {
    return status::error("cannot read the record " + path + ": " + e.what());
  }
  if (source->read_failed)
    return status::error("cannot read the record " + path);
  if (!reader.refusal.empty())
    return status::error(path + reader.refusal);
  if (source->too_long)
    return status::error(path + " is not a pagolinth audit record (a value longer than " +
                         std::to_string(kLongestToken >> 20) + " MiB)");
  if (!parsed || !reader.is_record) {
    if (reader.is_record)
      return status::error(path + " is damaged: not JSON at byte " +
                           std::to_string(reader.failed_at));
    return status::error(path + " is not a pagolinth audit record");
  }
  if (!reader.version_ok)
    return status::error(path + ": record_version is not " + std::to_string(kRecordVersion));
  return status::success();
}

// audit_verify, but for what throws.
status verify_record(const std::string& path, std::vector<audit_check>& files,
                     std::vector<std::string>& skipped) {
  // Only a regular file can be a record: a folder, a device or a FIFO is refused unread.
  int error = 0;
  std::string not_regular;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
      platform_open_regular(path, error, not_regular), &std::fclose);
  if (!in && !not_regular.empty())
    return status::error(path + " is " + not_regular + ", not an audit record");
  if (!in)
    return status::error("cannot open the record " + path + ": " + std::strerror(error));
  record_reader record;
  if (status read = read_record(in.get(), path, record); !read.ok())
    return read;
  const std::filesystem::path folder = std::filesystem::u8path(path).parent_path();
  for (int r = 0; r < kRoleCount; ++r) {
    const char* role = kRoles[r];
    const named_file& f = record.files[r];
    if (!f.present)
      continue;
    if (!f.object || f.strings.count("sha256") == 0)
      return status::error(path + ": \"" + role + "\" has no sha256");
    audit_check c;
    c.role = role;
    c.recorded = f.strings.at("sha256");
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
    const std::vector<place_tried> tries = places_of(folder, given, absolute);
    const auto at = std::find_if(tries.begin(), tries.end(),
                                 [](const place_tried& t) { return exists(t.path); });
    if (at == tries.end()) {
      c.path = tries.front().path;
      for (auto t = tries.begin() + 1; t != tries.end(); ++t)
        c.also_tried.push_back(t->path);
      c.problem = audit_problem::missing;
      files.push_back(std::move(c));
      continue;
    }
    c.path = at->path;
    c.place = at->place;
    if (status hashed = sha256_of_path(c.path, c.found); !hashed.ok()) {
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

}  // namespace

status audit_verify(const std::string& path, std::vector<audit_check>& files,
                    std::vector<std::string>& skipped) {
  files.clear();
  skipped.clear();
  // Names are converted to paths (Windows: from UTF-8, which may fail) and the files' lists
  // grow: what throws stays here.
  try {
    return verify_record(path, files, skipped);
  } catch (const std::exception& e) {
    files.clear();
    skipped.clear();
    return status::error("cannot verify " + path + ": " + e.what());
  }
}
