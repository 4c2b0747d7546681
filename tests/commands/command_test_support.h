// Shared by the tests of pagolinth-ecc's commands, in process and end to end: random dumps, a
// byte comparison that names the first difference, sha256sum run as an outside answer, pass
// requests in one line, and layouts spelt out step by step, from which both the TOML the
// commands read and the image extract must write are made, independently of the layout reader.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>   // std::sort, std::find
#include <cstdint>     // std::int32_t, std::uint32_t, std::uint64_t
#include <cstdio>      // popen, pclose, std::fgets
#include <filesystem>  // std::filesystem
#include <random>      // std::mt19937
#include <string>      // std::string
#include <vector>      // std::vector

#include "commands/commands.h"          // pass_request, run_pass
#include "tests/support/run_program.h"  // scratch_dir, read_file, write_file

namespace command_test {

inline std::string random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(gen() & 0xFF);
  return bytes;
}

// Compares two files' bytes; on a difference names its first offset instead of printing
// megabytes.
inline testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want)
    return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at])
    ++at;
  return testing::AssertionFailure()
         << "sizes " << got.size() << " and " << want.size() << ", first difference at byte " << at;
}

inline std::string sha256sum(const std::string& path) {
  std::string out = "sha256sum failed";
  if (std::FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r")) {
    char line[256];
    if (std::fgets(line, sizeof line, p))
      out = std::string(line).substr(0, 64);
    pclose(p);
  }
  return out;
}

inline bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines)
    text += l + "\n";
  return text;
}

// Every name in `folder`, sorted.
inline std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// inject's bits flipped per step and seed, which the other commands ignore.
inline pass_request request(pass_command command, const std::string& dump,
                            const std::string& out = "", const layout_choice& layout = {},
                            int flips_min = 0, int flips_max = 0, std::uint64_t seed = 1) {
  pass_request q;
  q.command = command;
  q.dump = dump;
  q.out = out;
  q.layout = layout;
  q.flips_min = flips_min;
  q.flips_max = flips_max;
  q.seed = seed;
  return q;
}

inline layout_choice layout_file(const std::string& path) {
  layout_choice c;
  c.layout_file = path;
  return c;
}

inline layout_choice built_in(std::int32_t page_size, std::int32_t spare_size,
                              std::int32_t block_pages = 64, int t = 8) {
  layout_choice c;
  c.page_size = page_size;
  c.spare_size = spare_size;
  c.block_pages = block_pages;
  c.t = t;
  return c;
}

// raw.bin of `bytes` random bytes in `dir`, encoded as enc.bin and, unless `flips` is negative,
// with 0 ... `flips` bit errors a step as noisy.bin; no records. Returns enc.bin's bytes.
inline std::string encoded_dump(const scratch_dir& dir, std::size_t bytes, std::uint32_t seed,
                                int flips = -1, const layout_choice& layout = {}) {
  write_file(dir.file("raw.bin"), random_bytes(bytes, seed));
  pass_request q = request(pass_command::encode, dir.file("raw.bin"), dir.file("enc.bin"), layout);
  q.no_audit = true;
  EXPECT_EQ(run_pass(q).error.message, "");
  if (flips >= 0) {
    q = request(pass_command::inject, q.out, dir.file("noisy.bin"), layout, 0, flips, seed);
    q.no_audit = true;
    EXPECT_EQ(run_pass(q).error.message, "");
  }
  return read_file(dir.file("enc.bin"));
}

struct span {
  int offset, length;
};
struct test_step {
  std::vector<span> data, prot;
  span ecc{0, 0};
  bool bits = false;  // the spans count bits (written to TOML in bytes only)
};
struct test_layout {
  std::string label;
  int page_size = 0, spare_size = 0, block_pages = 0;
  int m = 0, t = 0;
  std::string polynomial;  // "" for the tabled one, else a TOML integer
  std::string bit_order = "msb", mask = "none", pad = "end";
  std::vector<test_step> steps;
  span marker{0, 0};  // length 0: no bad-block marker

  test_layout() = default;
  test_layout(std::string label_, int page, int spare, int pages, int m_, int t_,
              std::string polynomial_ = "", std::string order = "msb", std::string mask_ = "none",
              std::string pad_ = "end")
      : label(label_),
        page_size(page),
        spare_size(spare),
        block_pages(pages),
        m(m_),
        t(t_),
        polynomial(polynomial_),
        bit_order(order),
        mask(mask_),
        pad(pad_) {}
  int page_bytes() const { return page_size + spare_size; }
};

inline std::string toml_span(const span& s) {
  return "[" + std::to_string(s.offset) + ", " + std::to_string(s.length) + "]";
}

inline std::string toml_spans(const std::vector<span>& spans) {
  std::string out = "[";
  for (std::size_t i = 0; i < spans.size(); ++i)
    out += (i > 0 ? ", " : "") + toml_span(spans[i]);
  return out + "]";
}

inline std::string to_toml(const test_layout& l) {
  std::string out = "name = \"" + l.label +
                    "\"\n[geometry]\npage_size = " + std::to_string(l.page_size) +
                    "\nspare_size = " + std::to_string(l.spare_size) +
                    "\nblock_pages = " + std::to_string(l.block_pages) +
                    "\n[code]\nm = " + std::to_string(l.m) + "\nt = " + std::to_string(l.t) + "\n";
  if (!l.polynomial.empty())
    out += "primitive_polynomial = " + l.polynomial + "\n";
  out += "bit_order = \"" + l.bit_order + "\"\necc_mask = \"" + l.mask + "\"\npad = \"" + l.pad +
         "\"\n";
  for (const test_step& s : l.steps) {
    out += "[[steps]]\ndata = " + toml_spans(s.data) + "\n";
    if (!s.prot.empty())
      out += "protected = " + toml_spans(s.prot) + "\n";
    out += "ecc = " + toml_span(s.ecc) + "\n";
  }
  if (l.marker.length > 0)
    out += "[bad_block]\nmarker = " + toml_span(l.marker) + "\npages = [0, -1]\n";
  return out;
}

// The families a layout file must describe: ECC interleaved with the data, and gathered at the
// end of the spare; protected spare bytes; padding before the parity; other polynomials, lsb bit
// order and a hex mask; the widest codes.
inline std::vector<test_layout> test_layouts() {
  // Interleaved 512 + 14 chunks after a 2-byte header, the last step's data split by a hole.
  test_layout a{"interleaved 514+14", 2048, 64, 4, 13, 8};
  for (int k = 0, c = 2; k < 4; ++k, c += 526)
    a.steps.push_back(k < 3 ? test_step{{{c, 512}}, {}, {c + 512, 14}}
                            : test_step{{{c, 300}, {c + 306, 212}}, {}, {c + 518, 14}});
  // 4096 + 224: four 1 KiB steps, bad-block marker, 8 protected bytes and 42 ECC bytes per step
  // at the end of the spare; m = 14, t = 24 on another polynomial.
  test_layout b{"spare at end, protected", 4096, 224, 4, 14, 24, "0x4443"};
  for (int k = 0; k < 4; ++k)
    b.steps.push_back({{{1024 * k, 1024}}, {{4098 + 50 * k, 8}}, {4106 + 50 * k, 42}});
  b.marker = {4096, 2};
  // Padding first, lsb bit order, the erased-ff mask: m = 13, t = 4 (52 bits in 7 bytes).
  test_layout c{
      "pad start, lsb, erased-ff", 2048, 64, 4, 13, 4, "0x201B", "lsb", "erased-ff", "start"};
  for (int k = 0; k < 4; ++k)
    c.steps.push_back({{{512 * k, 512}}, {{2050 + 11 * k, 4}}, {2054 + 11 * k, 7}});
  c.marker = {2048, 2};
  // The widest: m = 15, t = 60 on 2 KiB steps (900 bits in 113 bytes), a hex mask.
  test_layout d{"m15 t60, hex mask", 4096, 256, 2, 15, 60, "", "msb", ""};
  for (int i = 0; i < 113; ++i) {
    const int byte = (i * 37 + 11) & 0xFF;
    d.mask += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
  }
  for (int k = 0; k < 2; ++k)
    d.steps.push_back({{{2048 * k, 2048}}, {}, {4096 + 16 + 113 * k, 113}});
  // m = 16, t = 12 on 1 KiB steps with a short data span in the spare.
  test_layout e{"m16 t12", 2048, 128, 4, 16, 12};
  for (int k = 0; k < 2; ++k)
    e.steps.push_back({{{1024 * k, 1024}, {2048 + 4 * k, 4}}, {}, {2064 + 24 * k, 24}});
  return {a, b, c, d, e};
}

// The user data of every page, step by step, then (with_protected) every step's protected
// bytes, as extract writes it; the blocks in `skipped` left out.
inline std::string expected_image(const test_layout& l, const std::string& dump,
                                  bool with_protected, const std::vector<int>& skipped = {}) {
  const auto page_bytes = static_cast<std::size_t>(l.page_bytes());
  std::string image;
  const bool lsb = l.bit_order == "lsb";
  // Spans in bits: packed into bytes in the bit order, zero bits after the last one.
  const auto append = [&](std::size_t page, const std::vector<span>& spans, bool bits) {
    for (const span& s : spans) {
      if (!bits) {
        image += dump.substr(page * page_bytes + static_cast<std::size_t>(s.offset),
                             static_cast<std::size_t>(s.length));
        continue;
      }
      std::string packed(static_cast<std::size_t>((s.length + 7) / 8), '\0');
      for (int i = 0; i < s.length; ++i) {
        const std::size_t b = page * page_bytes * 8 + static_cast<std::size_t>(s.offset + i);
        const int from = lsb ? static_cast<int>(b % 8) : 7 - static_cast<int>(b % 8);
        const int to = lsb ? i % 8 : 7 - i % 8;
        if ((static_cast<unsigned char>(dump[b / 8]) >> from) & 1)
          packed[static_cast<std::size_t>(i / 8)] |= static_cast<char>(1 << to);
      }
      image += packed;
    }
  };
  for (std::size_t p = 0; p < dump.size() / page_bytes; ++p) {
    if (std::find(skipped.begin(), skipped.end(), static_cast<int>(p) / l.block_pages) !=
        skipped.end())
      continue;
    for (const test_step& s : l.steps)
      append(p, s.data, s.bits);
    for (const test_step& s : l.steps)
      append(p, with_protected ? s.prot : std::vector<span>{}, s.bits);
  }
  return image;
}

}  // namespace command_test
