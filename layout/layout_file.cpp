// Reading layout files: toml++ parses the TOML, then every key is checked against the schema
// (names, types, ranges), the [[steps]] tables are expanded into one step per ECC step, and
// the whole layout goes through check_layout. Every fault becomes one line; nothing throws.
#include "layout/layout_file.h"

#include <cerrno>       // errno
#include <cstdint>      // std::int64_t, std::uint8_t, std::uint64_t, INT32_MIN, INT32_MAX
#include <cstdio>       // std::FILE, std::fopen, std::fread, std::ferror, std::fclose
#include <cstring>      // std::strerror
#include <filesystem>   // std::filesystem
#include <memory>       // std::unique_ptr
#include <new>          // std::bad_alloc
#include <string>       // std::string, std::to_string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <toml++/toml.h>  // toml::parse, toml::table, toml::node (header-only, no exceptions)

#include "layout/layout_internal.h"  // layout_step_origin, check_layout_with_origins,
                                     // layout_utf8_at

namespace {

// A layout file larger than this is not a layout file: even a page of thousands of steps
// written out one table each stays far below it.
constexpr std::int64_t kMaxLayoutFileBytes = 16 * 1024 * 1024;

const char* type_name(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "a list";
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "a whole number";
    case toml::node_type::floating_point:
      return "a number with a fraction";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::date:
      return "a date";
    case toml::node_type::time:
      return "a time";
    case toml::node_type::date_time:
      return "a date-time";
    case toml::node_type::none:
      break;
  }
  return "nothing";
}

// A string value as it stood in the file, quoted, for messages.
std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// The [[steps]] table as written, before its copies are made.
struct step_table {
  layout_step step;
  std::int64_t repeat = 1;
  std::int64_t data_stride = 0;
  std::int64_t protected_stride = 0;
  std::int64_t ecc_stride = 0;
};

// Reads one layout document. Each read_* function returns false after setting `fault` to
// "KEY: what is wrong"; the first fault stops the reading.
struct layout_reader {
  std::string fault;
  std::int64_t raw = 0;  // bytes of the raw page, once the geometry is read
  bool bits = false;     // the [[steps]] table being read counts bits

  // The raw page in the unit of what is being read, and that unit's name.
  std::int64_t units() const { return bits ? 8 * raw : raw; }
  const char* unit_name() const { return bits ? " bits" : " bytes"; }

  bool fail(const std::string& key, const std::string& what) {
    fault = key + ": " + what;
    return false;
  }

  // Refuses any key of `table` that is not one of `known`, so that a misspelt key is never
  // taken for an absent one.
  bool only_known_keys(const toml::table& table, const std::string& prefix,
                       const std::vector<std::string_view>& known) {
    for (auto&& [key, node] : table) {
      (void)node;
      bool found = false;
      for (std::string_view k : known)
        found = found || key.str() == k;
      if (found)
        continue;
      std::string list;
      for (std::size_t i = 0; i < known.size(); ++i)
        list += (i == 0 ? "" : i + 1 == known.size() ? " and " : ", ") + std::string(known[i]);
      const std::string where = prefix.empty() ? "the file" : prefix;
      return fail(prefix.empty() ? std::string(key.str()) : prefix + "." + std::string(key.str()),
                  "unknown key (" + where + " takes " + list + ")");
    }
    return true;
  }

  // A whole number from `low` to `high`. `range` says which in the message.
  bool read_integer(const toml::node& node, const std::string& key, std::int64_t low,
                    std::int64_t high, const std::string& range, std::int64_t& value) {
    const toml::value<std::int64_t>* integer = node.as_integer();
    if (integer == nullptr)
      return fail(key, "must be " + range + ", not " + type_name(node));
    value = integer->get();
    if (value < low || value > high)
      return fail(key, "must be " + range + ", not " + std::to_string(value));
    return true;
  }

  bool read_required_integer(const toml::table& table, std::string_view name,
                             const std::string& key, std::int64_t low, std::int64_t high,
                             const std::string& range, std::int64_t& value) {
    const toml::node* node = table.get(name);
    if (node == nullptr)
      return fail(key, "is missing (" + range + ")");
    return read_integer(*node, key, low, high, range, value);
  }

  // A span [offset, length]. Spans far outside the page are refused here already, so that
  // the shifts of repeated tables cannot overflow; the rest is check_layout's.
  bool read_span(const toml::node& node, const std::string& key, layout_span& span) {
    const toml::array* pair = node.as_array();
    if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_integer() ||
        !(*pair)[1].is_integer())
      return fail(key, "must be [offset, length], two whole numbers");
    span.offset = (*pair)[0].as_integer()->get();
    span.length = (*pair)[1].as_integer()->get();
    const std::string text =
        "[" + std::to_string(span.offset) + ", " + std::to_string(span.length) + "]";
    if (span.offset < 0)
      return fail(key, text + ": the offset must be at least 0");
    if (span.length < 1)
      return fail(key, text + ": the length must be at least 1");
    if (span.offset > units() || span.length > units() - span.offset) {
      // Both are below 2^63, so their sum fits 64 unsigned bits.
      const std::uint64_t end =
          static_cast<std::uint64_t>(span.offset) + static_cast<std::uint64_t>(span.length);
      return fail(key, text + " ends at " + std::to_string(end) + ", past the raw page of " +
                           std::to_string(units()) + unit_name());
    }
    return true;
  }

  bool read_span_list(const toml::node& node, const std::string& key,
                      std::vector<layout_span>& spans) {
    const toml::array* list = node.as_array();
    if (list == nullptr || (!list->empty() && !(*list)[0].is_array()))
      return fail(key, "must be a list of [offset, length] spans, e.g. [[0, 512]]");
    spans.resize(list->size());
    for (std::size_t j = 0; j < list->size(); ++j) {
      if (!read_span((*list)[j], key + "[" + std::to_string(j) + "]", spans[j]))
        return false;
    }
    return true;
  }

  bool read_geometry(const toml::table& root, nand_layout& layout) {
    const toml::node* node = root.get("geometry");
    if (node == nullptr)
      return fail("geometry", "is missing (page_size, spare_size and block_pages)");
    const toml::table* table = node->as_table();
    if (table == nullptr)
      return fail("geometry", std::string("must be a table, not ") + type_name(*node));
    if (!only_known_keys(*table, "geometry", {"page_size", "spare_size", "block_pages"}))
      return false;
    const std::string size_range = "a whole number from 1 to " + std::to_string(kMaxPagePart);
    std::int64_t page = 0;
    std::int64_t spare = 0;
    std::int64_t block = 0;
    if (!read_required_integer(*table, "page_size", "geometry.page_size", 1, kMaxPagePart,
                               size_range, page) ||
        !read_required_integer(*table, "spare_size", "geometry.spare_size", 1, kMaxPagePart,
                               size_range, spare) ||
        !read_required_integer(*table, "block_pages", "geometry.block_pages", 1, INT32_MAX,
                               "a whole number from 1 to " + std::to_string(INT32_MAX), block))
      return false;
    layout.page_size = static_cast<std::int32_t>(page);
    layout.spare_size = static_cast<std::int32_t>(spare);
    layout.block_pages = static_cast<std::int32_t>(block);
    raw = page + spare;
    return true;
  }

  // The mask's bytes in hex, two digits a byte, with or without blanks between bytes.
  static bool hex_mask(std::string_view text, std::vector<std::uint8_t>& bytes) {
    const auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9')
        return c - '0';
      if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
      if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
      return -1;
    };
    bytes.clear();
    for (std::size_t i = 0; i < text.size();) {
      if (text[i] == ' ' || text[i] == '\t') {
        ++i;
        continue;
      }
      // Two digits of one byte never have a blank between them.
      if (i + 1 >= text.size() || digit(text[i]) < 0 || digit(text[i + 1]) < 0)
        return false;
      bytes.push_back(static_cast<std::uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
      i += 2;
    }
    return !bytes.empty();
  }

  // A string value that must be one of a few words; `index` is which.
  bool read_choice(const toml::table& table, std::string_view name, const std::string& key,
                   const std::vector<std::string_view>& words, std::size_t& index) {
    index = 0;
    const toml::node* node = table.get(name);
    if (node == nullptr)
      return true;
    std::string list;
    for (std::size_t i = 0; i < words.size(); ++i)
      list += (i == 0 ? "" : " or ") + quoted(words[i]);
    const toml::value<std::string>* text = node->as_string();
    if (text == nullptr)
      return fail(key, "must be " + list + ", not " + type_name(*node));
    for (index = 0; index < words.size(); ++index) {
      if (text->get() == words[index])
        return true;
    }
    return fail(key, "must be " + list + ", not " + quoted(std::string_view(text->get())));
  }

  bool read_code(const toml::table& root, layout_code& code) {
    const toml::node* node = root.get("code");
    if (node == nullptr)
      return fail("code", "is missing (at least m and t)");
    const toml::table* table = node->as_table();
    if (table == nullptr)
      return fail("code", std::string("must be a table, not ") + type_name(*node));
    if (!only_known_keys(*table, "code",
                         {"m", "t", "primitive_polynomial", "bit_order", "ecc_mask", "pad"}))
      return false;
    std::int64_t m = 0;
    std::int64_t t = 0;
    if (!read_required_integer(*table, "m", "code.m", kLayoutMinDegree, kLayoutMaxDegree,
                               "a whole number from " + std::to_string(kLayoutMinDegree) + " to " +
                                   std::to_string(kLayoutMaxDegree),
                               m))
      return false;
    // No code of degree 16 corrects anywhere near 2^16 errors; the bound keeps t an int.
    if (!read_required_integer(*table, "t", "code.t", 1, 1 << kLayoutMaxDegree,
                               "a whole number of at least 1", t))
      return false;
    code.m = static_cast<int>(m);
    code.t = static_cast<int>(t);
    code.primitive_polynomial = 0;
    if (const toml::node* poly = table->get("primitive_polynomial")) {
      std::int64_t value = 0;
      if (!read_integer(*poly, "code.primitive_polynomial", 1, 0xFFFFFFFFll,
                        "a whole number from 1 to 0xFFFFFFFF (32 bits)", value))
        return false;
      code.primitive_polynomial = static_cast<std::uint32_t>(value);
    }
    std::size_t choice = 0;
    if (!read_choice(*table, "bit_order", "code.bit_order", {"msb", "lsb"}, choice))
      return false;
    code.lsb_first = choice == 1;
    if (!read_choice(*table, "pad", "code.pad", {"end", "start"}, choice))
      return false;
    code.pad_start = choice == 1;

    code.mask = layout_mask::none;
    code.mask_bytes.clear();
    if (const toml::node* mask = table->get("ecc_mask")) {
      const std::string what =
          "must be \"none\", \"erased-ff\" or the mask's bytes in hex (\"A1 B2 ...\"), not ";
      const toml::value<std::string>* text = mask->as_string();
      if (text == nullptr)
        return fail("code.ecc_mask", what + type_name(*mask));
      if (text->get() == "erased-ff")
        code.mask = layout_mask::erased_ff;
      else if (text->get() != "none" && hex_mask(text->get(), code.mask_bytes))
        code.mask = layout_mask::bytes;
      else if (text->get() != "none")
        return fail("code.ecc_mask", what + quoted(std::string_view(text->get())));
    }
    return true;
  }

  bool read_stride(const toml::table& table, std::string_view name, const std::string& prefix,
                   std::int64_t& stride) {
    const toml::node* node = table.get(name);
    if (node == nullptr)
      return true;
    // A shift beyond the raw page puts every later copy outside it; the bound keeps the
    // copies' offsets far from overflow.
    return read_integer(
        *node, prefix + "." + std::string(name), -units(), units(),
        "a whole number from " + std::to_string(-units()) + " to " + std::to_string(units()),
        stride);
  }

  bool read_step(const toml::node& node, const std::string& key, step_table& out) {
    const toml::table* table = node.as_table();
    if (table == nullptr)
      return fail(key, std::string("must be a table, not ") + type_name(node));
    if (!only_known_keys(*table, key,
                         {"unit", "data", "protected", "ecc", "repeat", "stride", "data_stride",
                          "protected_stride", "ecc_stride"}))
      return false;
    std::size_t unit = 0;
    if (!read_choice(*table, "unit", key + ".unit", {"bytes", "bits"}, unit))
      return false;
    bits = unit == 1;
    out.step.bits = bits;
    const toml::node* data = table->get("data");
    if (data == nullptr)
      return fail(key + ".data", "is missing (a list of [offset, length] spans)");
    if (!read_span_list(*data, key + ".data", out.step.data))
      return false;
    if (out.step.data.empty())
      return fail(key + ".data", "names no span");
    if (const toml::node* prot = table->get("protected")) {
      if (!read_span_list(*prot, key + ".protected", out.step.protected_))
        return false;
    }
    const toml::node* ecc = table->get("ecc");
    if (ecc == nullptr)
      return fail(key + ".ecc", "is missing (one [offset, length] span)");
    if (!read_span(*ecc, key + ".ecc", out.step.ecc))
      return false;
    if (const toml::node* repeat = table->get("repeat")) {
      // Each step holds at least one data and one ECC byte of its own.
      if (!read_integer(*repeat, key + ".repeat", 1, raw / 2,
                        "a whole number from 1 to " + std::to_string(raw / 2) +
                            " (steps of at least 2 bytes in a raw page of " + std::to_string(raw) +
                            ")",
                        out.repeat))
        return false;
    }
    std::int64_t stride = 0;
    if (!read_stride(*table, "stride", key, stride))
      return false;
    out.data_stride = out.protected_stride = out.ecc_stride = stride;
    const bool read = read_stride(*table, "data_stride", key, out.data_stride) &&
                      read_stride(*table, "protected_stride", key, out.protected_stride) &&
                      read_stride(*table, "ecc_stride", key, out.ecc_stride);
    bits = false;
    return read;
  }

  bool read_steps(const toml::table& root, nand_layout& layout,
                  std::vector<layout_step_origin>& origins) {
    const toml::node* node = root.get("steps");
    if (node == nullptr)
      return fail("steps", "is missing (one [[steps]] table for each ECC step, in page order)");
    const toml::array* tables = node->as_array();
    if (tables == nullptr)
      return fail("steps", std::string("must be [[steps]] tables, not ") + type_name(*node));
    if (tables->empty())
      return fail("steps", "names no step");
    std::int64_t total = 0;
    for (std::size_t i = 0; i < tables->size(); ++i) {
      const std::string key = "steps[" + std::to_string(i) + "]";
      step_table table;
      if (!read_step((*tables)[i], key, table))
        return false;
      total += table.repeat;
      if (total > raw / 2)
        return fail(key, "the tables up to here make " + std::to_string(total) +
                             " steps, more than a raw page of " + std::to_string(raw) +
                             " bytes holds (each step takes at least 2 bytes)");
      for (std::int64_t c = 0; c < table.repeat; ++c) {
        layout_step step = table.step;
        for (layout_span& s : step.data)
          s.offset += c * table.data_stride;
        for (layout_span& s : step.protected_)
          s.offset += c * table.protected_stride;
        step.ecc.offset += c * table.ecc_stride;
        layout.steps.push_back(std::move(step));
        origins.push_back({static_cast<std::int64_t>(i), c, table.repeat});
      }
    }
    return true;
  }

  bool read_bad_block(const toml::table& root, layout_bad_block& bad) {
    bad = layout_bad_block{};
    const toml::node* node = root.get("bad_block");
    if (node == nullptr)
      return true;
    const toml::table* table = node->as_table();
    if (table == nullptr)
      return fail("bad_block", std::string("must be a table, not ") + type_name(*node));
    if (!only_known_keys(*table, "bad_block", {"marker", "pages"}))
      return false;
    const toml::node* marker = table->get("marker");
    if (marker == nullptr)
      return fail("bad_block.marker", "is missing (one [offset, length] span)");
    if (!read_span(*marker, "bad_block.marker", bad.marker))
      return false;
    bad.present = true;
    const toml::node* pages = table->get("pages");
    if (pages == nullptr) {
      bad.pages = {0};
      return true;
    }
    const toml::array* list = pages->as_array();
    if (list == nullptr)
      return fail("bad_block.pages",
                  std::string("must be a list of page numbers, not ") + type_name(*pages));
    for (std::size_t j = 0; j < list->size(); ++j) {
      std::int64_t page = 0;
      if (!read_integer((*list)[j], "bad_block.pages[" + std::to_string(j) + "]", INT32_MIN,
                        INT32_MAX, "a whole number, a page of the block", page))
        return false;
      bad.pages.push_back(static_cast<std::int32_t>(page));
    }
    return true;
  }

  bool read_scrambler(const toml::table& root, layout_scrambler& scrambler) {
    scrambler = layout_scrambler{};
    const toml::node* node = root.get("scrambler");
    if (node == nullptr)
      return true;
    const toml::table* table = node->as_table();
    if (table == nullptr)
      return fail("scrambler", std::string("must be a table, not ") + type_name(*node));
    if (!only_known_keys(*table, "scrambler", {"key_file", "ecc"}))
      return false;
    const toml::node* file = table->get("key_file");
    if (file == nullptr || file->as_string() == nullptr || file->as_string()->get().empty())
      return fail("scrambler.key_file", file == nullptr
                                            ? "is missing (the key's file, beside the layout file)"
                                            : "must be the name of the key's file");
    scrambler.key_file = file->as_string()->get();
    const toml::node* ecc = table->get("ecc");
    const toml::value<std::string>* word = ecc ? ecc->as_string() : nullptr;
    if (word == nullptr || (word->get() != "plain" && word->get() != "scrambled"))
      return fail("scrambler.ecc",
                  "must be \"plain\" (the ECC was computed over the unscrambled bytes) or "
                  "\"scrambled\" (over the scrambled ones)");
    scrambler.ecc = word->get() == "plain" ? scrambler_ecc::plain : scrambler_ecc::scrambled;
    scrambler.present = true;
    return true;
  }

  bool read(const toml::table& root, nand_layout& layout,
            std::vector<layout_step_origin>& origins) {
    if (!only_known_keys(root, "", {"name", "geometry", "code", "steps", "bad_block", "scrambler"}))
      return false;
    layout.name.clear();
    if (const toml::node* name = root.get("name")) {
      const toml::value<std::string>* text = name->as_string();
      if (text == nullptr)
        return fail("name", std::string("must be a string, not ") + type_name(*name));
      layout.name = text->get();
    }
    layout.steps.clear();
    return read_geometry(root, layout) && read_code(root, layout.code) &&
           read_steps(root, layout, origins) && read_bad_block(root, layout.bad_block) &&
           read_scrambler(root, layout.scrambler);
  }
};

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads the key file a [scrambler] table names, beside the layout file `source` unless its
// name is absolute. Returns "" or what is wrong, after "scrambler.key_file: ".
std::string read_key(const std::string& source, layout_scrambler& s) {
  const std::filesystem::path name = std::filesystem::u8path(s.key_file);
  const std::filesystem::path at =
      name.is_absolute() ? name : std::filesystem::u8path(source).parent_path() / name;
  s.key_path = at.u8string();
  return key_file_fault(s.key_path, s.key);
}

// The TOML reader of Debian 12 (toml++ 3.3) meets some characters beyond ASCII (U+00A1 ...
// U+0499 among them, every German umlaut too) with undefined behaviour wherever it asks whether
// a character is a blank: outside strings, and in its error paths. So it is given ASCII only.
// Characters beyond ASCII become \u escapes in strings (a literal string that holds one is
// rewritten as the basic string of the same value) and blanks in comments; elsewhere TOML
// allows none, and they are refused here, as is text that is not UTF-8. Returns "" with the
// ASCII text in `out`, or "line L, column C: what". Later errors count columns of the
// rewritten line.
std::string to_ascii_toml(const std::string& text, std::string& out) {
  enum class in { toml, comment, basic, multi_basic } state = in::toml;
  out.clear();
  out.reserve(text.size());
  std::size_t line = 1, column = 1;
  const auto where = [&](const char* what) {
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
  };
  const auto starts = [&](std::size_t i, const char* word) {
    return text.compare(i, 3, word) == 0;
  };
  // How many quotes close a multi-line string at i: three, and up to two more of its own.
  const auto closing_run = [&](std::size_t i, char quote) {
    std::size_t run = 3;
    while (run < 5 && i + run < text.size() && text[i + run] == quote)
      ++run;
    return run;
  };
  const auto escaped = [](char32_t cp) {
    char code[16];
    std::snprintf(code, sizeof code, cp > 0xFFFF ? "\\U%08X" : "\\u%04X",
                  static_cast<unsigned>(cp));
    return std::string(code);
  };
  // Copies text[from, to) to `out` (`rewrite`: as the content of a basic string), keeping count
  // of lines and columns.
  const auto copy = [&](std::size_t from, std::size_t to, bool rewrite) {
    for (std::size_t k = from; k < to;) {
      char32_t cp = 0;
      const std::size_t n = layout_utf8_at(text, k, cp);
      if (n == 0)
        return false;
      if (!rewrite)
        out.append(text, k, n);
      else if (cp >= 0x80)
        out += escaped(cp);
      else if (cp == '"' || cp == '\\')
        out += std::string("\\") + static_cast<char>(cp);
      else
        out += static_cast<char>(cp);
      if (cp == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
      k += n;
    }
    return true;
  };

  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const std::size_t length = layout_utf8_at(text, i, cp);
    if (length == 0)
      return where("the text is not UTF-8");
    const char c = text[i];
    std::size_t take = 1;  // ASCII bytes copied as they are this round
    if (state == in::toml) {
      if (cp >= 0x80)
        return where("a character outside ASCII stands outside a string or comment");
      if (c == '#') {
        state = in::comment;
      } else if (starts(i, "\"\"\"")) {
        state = in::multi_basic;
        take = 3;
      } else if (c == '"') {
        state = in::basic;
      } else if (c == '\'') {
        // A literal string, taken whole: copied as it is when all ASCII, else rewritten.
        const bool multi = starts(i, "'''");
        const std::size_t open = multi ? 3 : 1;
        std::size_t end = i + open;
        while (end < text.size() &&
               (multi ? !starts(end, "'''") : text[end] != '\'' && text[end] != '\n'))
          ++end;
        const bool closed = end < text.size() && text[end] == '\'';
        const std::size_t stop = !closed ? end : multi ? end + closing_run(end, '\'') : end + 1;
        bool plain = true;
        for (std::size_t k = i; k < stop; ++k)
          plain = plain && static_cast<unsigned char>(text[k]) < 0x80;
        if (plain) {
          if (!copy(i, stop, false))
            return where("the text is not UTF-8");
        } else {
          const std::size_t content_end = closed ? stop - open : stop;
          out += multi ? "\"\"\"" : "\"";
          column += open;
          if (!copy(i + open, content_end, true))
            return where("the text is not UTF-8");
          if (closed) {
            out += multi ? "\"\"\"" : "\"";
            column += open;
          }
        }
        i = stop;
        continue;
      }
    } else if (state == in::comment) {
      if (c == '\n')
        state = in::toml;
    } else if (c == '\\' && i + 1 < text.size() && text[i + 1] != '\n' &&
               static_cast<unsigned char>(text[i + 1]) < 0x80) {
      take = 2;  // an escaped character, a quote among them
    } else if (state == in::basic ? (c == '"' || c == '\n') : starts(i, "\"\"\"")) {
      take = state == in::multi_basic ? closing_run(i, '"') : 1;
      state = in::toml;
    }
    if (cp >= 0x80) {
      out += state == in::comment ? std::string(" ") : escaped(cp);
      ++column;
      i += length;
      continue;
    }
    if (!copy(i, i + take, false))
      return where("the text is not UTF-8");
    i += take;
  }
  return "";
}

std::string parse_checked(const std::string& text, const std::string& source, nand_layout& layout) {
  std::string ascii;
  if (std::string stray = to_ascii_toml(text, ascii); !stray.empty())
    return source + ": " + stray;
  toml::parse_result parsed = toml::parse(ascii, source);
  if (!parsed) {
    const toml::parse_error& error = parsed.error();
    return source + ": line " + std::to_string(error.source().begin.line) + ", column " +
           std::to_string(error.source().begin.column) + ": " + std::string(error.description());
  }
  layout_reader reader;
  std::vector<layout_step_origin> origins;
  layout.source = source;
  if (!reader.read(parsed.table(), layout, origins))
    return source + ": " + reader.fault;
  if (layout.scrambler.present) {
    if (std::string fault = read_key(source, layout.scrambler); !fault.empty())
      return source + ": scrambler.key_file: " + fault;
  }
  const status checked = check_layout_with_origins(layout, origins);
  return checked.ok() ? "" : source + ": " + checked.message;
}

}  // namespace

status parse_layout(const std::string& text, const std::string& source, nand_layout& layout) {
  // toml++ is built without exceptions; only the allocations of strings and vectors can
  // still throw, and no exception may leave the module.
  try {
    return status{parse_checked(text, source, layout)};
  } catch (const std::bad_alloc&) {
    return status::error(source + ": out of memory while reading the layout");
  } catch (...) {
    return status::error(source + ": the layout could not be read");
  }
}

status read_layout_file(const std::string& path, nand_layout& layout) {
  try {
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
    if (!file)
      return status::error(path + ": cannot open the layout file: " + std::strerror(errno));
    std::string text;
    char buffer[65536];
    errno = 0;
    for (;;) {
      const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
      text.append(buffer, got);
      if (static_cast<std::int64_t>(text.size()) > kMaxLayoutFileBytes)
        return status::error(path + ": larger than " + std::to_string(kMaxLayoutFileBytes) +
                             " bytes, too large for a layout file");
      if (got < sizeof buffer)
        break;
    }
    if (std::ferror(file.get()))
      return status::error(path + ": cannot read the layout file: " + std::strerror(errno));
    return parse_layout(text, path, layout);
  } catch (const std::bad_alloc&) {
    return status::error(path + ": out of memory while reading the layout");
  }
}

std::string layout_comment_text(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = layout_utf8_at(text, i, cp);
    // A line break would end the comment and let the rest pass for TOML; other control
    // characters and broken UTF-8 would make the file unreadable.
    if (n == 0 || cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
      for (const std::size_t end = i + (n == 0 ? 1 : n); i < end; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out += "\\x";
        out += digits[c >> 4];
        out += digits[c & 15];
      }
      continue;
    }
    out.append(text, i, n);
    i += n;
  }
  return out;
}

std::string key_file_fault(const std::string& path, std::vector<std::uint8_t>& key) {
  const std::filesystem::path at = std::filesystem::u8path(path);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(at, ec))
    return path + (std::filesystem::exists(at, ec) ? " is no regular file" : ": no such file");
  // Its size is asked first, so that a file far too large is never read, and a file that
  // holds more than its size says (as those of /proc do) is no key.
  const std::uintmax_t size = std::filesystem::file_size(at, ec);
  if (ec || size > static_cast<std::uintmax_t>(kMaxKeyBytes))
    return path +
           (ec ? ": cannot tell its size"
               : " is larger than " + std::to_string(kMaxKeyBytes) + " bytes, too large for a key");
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
  if (!file)
    return "cannot open " + path + ": " + std::strerror(errno);
  key.assign(static_cast<std::size_t>(size) + 1, 0);
  const std::size_t got = std::fread(key.data(), 1, key.size(), file.get());
  if (got != size)
    return path + (got > size ? " holds more than its size says; no key file"
                              : " could not be read whole");
  key.resize(got);
  if (std::ferror(file.get()))
    return "cannot read " + path + ": " + std::strerror(errno);
  if (key.empty())
    return path + " is empty";
  return "";
}
