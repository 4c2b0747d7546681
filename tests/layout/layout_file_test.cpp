// Tests of layout files: every class of fault a file can have, each named by its key; files
// read against layouts built by hand; layout_to_toml read back to the same layout for the
// default, random and regular layouts; and the example files in layouts/.
#include "layout/layout_file.h"

#include <gtest/gtest.h>

#include <cstdio>      // std::FILE, std::fopen, std::fwrite
#include <filesystem>  // std::filesystem::directory_iterator
#include <random>      // std::mt19937
#include <string>      // std::string
#include <utility>     // std::pair
#include <vector>      // std::vector

#include "layout/layout.h"               // nand_layout, layout_to_toml, default_layout
#include "tests/layout/random_layout.h"  // layout_test::random_layout, layout_test::regular_layout

namespace {

std::string span_text(const layout_span& s) {
  return "[" + std::to_string(s.offset) + ", " + std::to_string(s.length) + "]";
}

bool same_spans(const std::vector<layout_span>& a, const std::vector<layout_span>& b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t j = 0; j < a.size(); ++j) {
    if (a[j].offset != b[j].offset || a[j].length != b[j].length)
      return false;
  }
  return true;
}

// "" when the layouts agree in everything but their source; otherwise the first difference.
std::string layout_difference(const nand_layout& a, const nand_layout& b) {
  if (a.name != b.name)
    return "name \"" + a.name + "\" vs \"" + b.name + "\"";
  if (a.page_size != b.page_size || a.spare_size != b.spare_size || a.block_pages != b.block_pages)
    return "geometry";
  const layout_code& x = a.code;
  const layout_code& y = b.code;
  if (x.m != y.m || x.t != y.t || x.primitive_polynomial != y.primitive_polynomial)
    return "code m, t or polynomial";
  if (x.lsb_first != y.lsb_first || x.pad_start != y.pad_start)
    return "code bit order or pad";
  if (x.mask != y.mask || x.mask_bytes != y.mask_bytes)
    return "code mask";
  if (a.steps.size() != b.steps.size())
    return std::to_string(a.steps.size()) + " steps vs " + std::to_string(b.steps.size());
  for (std::size_t k = 0; k < a.steps.size(); ++k) {
    const layout_step& s = a.steps[k];
    const layout_step& t = b.steps[k];
    if (s.bits != t.bits || !same_spans(s.data, t.data) ||
        !same_spans(s.protected_, t.protected_) || !same_spans({s.ecc}, {t.ecc}))
      return "step " + std::to_string(k) + " (ECC " + span_text(s.ecc) + " vs " + span_text(t.ecc) +
             ")";
  }
  if (a.bad_block.present != b.bad_block.present)
    return "bad block present";
  if (a.bad_block.present && (!same_spans({a.bad_block.marker}, {b.bad_block.marker}) ||
                              a.bad_block.pages != b.bad_block.pages))
    return "bad block marker or pages";
  return "";
}

// A valid file: a repeated table with protected bytes and separate strides, a split last
// step, a polynomial and a bad-block marker. The fault cases below each change one thing.
const char kBase[] = R"(name = "test layout"

[geometry]
page_size = 2048
spare_size = 64
block_pages = 64

[code]
m = 13
t = 4
primitive_polynomial = 0x201B
bit_order = "msb"
ecc_mask = "none"
pad = "end"

[[steps]]
data = [[0, 512]]
protected = [[2050, 4]]
ecc = [2054, 7]
repeat = 3
data_stride = 512
protected_stride = 11
ecc_stride = 11

[[steps]]
data = [[1536, 500], [2040, 8]]
protected = [[2083, 4]]
ecc = [2087, 7]

[bad_block]
marker = [2048, 2]
pages = [0, -1]
)";

// kBase, built step by step by hand.
nand_layout base_layout() {
  nand_layout layout;
  layout.name = "test layout";
  layout.page_size = 2048;
  layout.spare_size = 64;
  layout.block_pages = 64;
  layout.code.m = 13;
  layout.code.t = 4;
  layout.code.primitive_polynomial = 0x201B;
  for (int k = 0; k < 3; ++k) {
    layout_step step;
    step.data = {{512 * k, 512}};
    step.protected_ = {{2050 + 11 * k, 4}};
    step.ecc = {2054 + 11 * k, 7};
    layout.steps.push_back(step);
  }
  layout_step last;
  last.data = {{1536, 500}, {2040, 8}};
  last.protected_ = {{2083, 4}};
  last.ecc = {2087, 7};
  layout.steps.push_back(last);
  layout.bad_block.present = true;
  layout.bad_block.marker = {2048, 2};
  layout.bad_block.pages = {0, -1};
  return layout;
}

// kBase with each `from` replaced by its `to`; a `from` missing from the text is a fault of
// the test itself.
std::string changed(const std::vector<std::pair<std::string, std::string>>& changes) {
  std::string text = kBase;
  for (const auto& [from, to] : changes) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos)
      return "test case error: \"" + from + "\" is not in the base text";
    text.replace(at, from.size(), to);
  }
  return text;
}

TEST(LayoutFile, ReadsTheBaseFileAsBuiltByHand) {
  nand_layout layout;
  ASSERT_EQ(parse_layout(kBase, "test.toml", layout).message, "");
  EXPECT_EQ(layout.source, "test.toml");
  EXPECT_EQ(layout_difference(layout, base_layout()), "");
}

TEST(LayoutFile, RefusesEachFaultNamingItsKey) {
  struct fault_case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> changes;
    std::string key;       // the message starts "test.toml: KEY: "
    std::string fragment;  // and holds this
  };
  const std::string base = kBase;
  const std::string steps_and_on = base.substr(base.find("[[steps]]"));
  const fault_case cases[] = {
      // Not TOML at all: toml++'s line and column.
      {"a doubled equals sign", {{"m = 13", "m = = 13"}}, "line 9, column 5", ""},
      {"a key twice", {{"t = 4", "t = 4\nt = 5"}}, "line 11, column 5", "redefine"},
      {"an unclosed list", {{"pages = [0, -1]", "pages = [0, -1"}}, "line 32, column 16", ""},
      // Unknown keys, at every level.
      {"misspelt top-level key", {{"name =", "nmae ="}}, "nmae", "unknown key"},
      {"misspelt geometry key",
       {{"page_size", "page_sise"}},
       "geometry.page_sise",
       "geometry takes page_size, spare_size and block_pages"},
      {"misspelt code key", {{"bit_order", "bitorder"}}, "code.bitorder", "unknown key"},
      {"misspelt step key", {{"ecc_stride", "ecc_strde"}}, "steps[0].ecc_strde", "unknown key"},
      {"unknown key in the second step",
       {{"ecc = [2087, 7]", "ecc = [2087, 7]\ncrc = 1"}},
       "steps[1].crc",
       "unknown key"},
      {"misspelt bad-block key", {{"pages = [0", "page = [0"}}, "bad_block.page", "unknown key"},
      {"name inside a table",
       {{"block_pages = 64", "block_pages = 64\nname = \"x\""}},
       "geometry.name",
       "unknown key"},
      // Missing keys and tables.
      {"no page size", {{"page_size = 2048\n", ""}}, "geometry.page_size", "is missing"},
      {"no spare size", {{"spare_size = 64\n", ""}}, "geometry.spare_size", "is missing"},
      {"no block size", {{"block_pages = 64\n", ""}}, "geometry.block_pages", "is missing"},
      {"no m", {{"m = 13\n", ""}}, "code.m", "is missing"},
      {"no t", {{"t = 4\n", ""}}, "code.t", "is missing"},
      {"no geometry",
       {{"[geometry]\npage_size = 2048\nspare_size = 64\nblock_pages = 64\n", ""}},
       "geometry",
       "is missing"},
      {"no data", {{"data = [[1536, 500], [2040, 8]]\n", ""}}, "steps[1].data", "is missing"},
      {"no ECC", {{"ecc = [2087, 7]\n", ""}}, "steps[1].ecc", "is missing"},
      {"no steps", {{steps_and_on, "[bad_block]\nmarker = [2048, 2]\n"}}, "steps", "is missing"},
      {"no marker", {{"marker = [2048, 2]\n", ""}}, "bad_block.marker", "is missing"},
      // Wrong types.
      {"page size as a string",
       {{"page_size = 2048", "page_size = \"2048\""}},
       "geometry.page_size",
       "not a string"},
      {"m with a fraction", {{"m = 13", "m = 13.0"}}, "code.m", "not a number with a fraction"},
      {"t as a boolean", {{"t = 4", "t = true"}}, "code.t", "not a boolean"},
      {"name as a number", {{"name = \"test layout\"", "name = 5"}}, "name", "not a whole number"},
      {"geometry as a number",
       {{"[geometry]\npage_size = 2048\nspare_size = 64\nblock_pages = 64\n", ""},
        {"name = \"test layout\"", "geometry = 5"}},
       "geometry",
       "must be a table"},
      {"steps as a list of numbers",
       {{steps_and_on, "\n"}, {"name = \"test layout\"", "steps = [1, 2]"}},
       "steps[0]",
       "must be a table"},
      {"steps as a string",
       {{steps_and_on, "\n"}, {"name = \"test layout\"", "steps = \"4\""}},
       "steps",
       "not a string"},
      {"an empty list of steps",
       {{steps_and_on, "\n"}, {"name = \"test layout\"", "steps = []"}},
       "steps",
       "names no step"},
      {"a single span not in a list",
       {{"data = [[0, 512]]", "data = [0, 512]"}},
       "steps[0].data",
       "list of [offset, length] spans"},
      {"a span of three numbers",
       {{"data = [[0, 512]]", "data = [[0, 512, 3]]"}},
       "steps[0].data[0]",
       "must be [offset, length]"},
      {"a span with a string",
       {{"[2040, 8]", "[2040, \"8\"]"}},
       "steps[1].data[1]",
       "must be [offset, length]"},
      {"ECC as a list of spans",
       {{"ecc = [2054, 7]", "ecc = [[2054, 7]]"}},
       "steps[0].ecc",
       "must be [offset, length]"},
      {"protected as one span",
       {{"protected = [[2050, 4]]", "protected = [2050, 4]"}},
       "steps[0].protected",
       "list of [offset, length] spans"},
      {"repeat as a string", {{"repeat = 3", "repeat = \"3\""}}, "steps[0].repeat", "not a string"},
      {"stride with a fraction",
       {{"data_stride = 512", "data_stride = 512.5"}},
       "steps[0].data_stride",
       "not a number with a fraction"},
      {"pages as a number",
       {{"pages = [0, -1]", "pages = 0"}},
       "bad_block.pages",
       "must be a list of page numbers"},
      {"a page as a string",
       {{"pages = [0, -1]", "pages = [0, \"1\"]"}},
       "bad_block.pages[1]",
       "not a string"},
      {"mask as a number",
       {{"ecc_mask = \"none\"", "ecc_mask = 0"}},
       "code.ecc_mask",
       "not a whole number"},
      {"bit order in capitals",
       {{"\"msb\"", "\"MSB\""}},
       "code.bit_order",
       "must be \"msb\" or \"lsb\", not \"MSB\""},
      {"pad in the middle",
       {{"pad = \"end\"", "pad = \"middle\""}},
       "code.pad",
       "must be \"end\" or \"start\", not \"middle\""},
      {"polynomial as a string",
       {{"= 0x201B", "= \"0x201B\""}},
       "code.primitive_polynomial",
       "not a string"},
      // Values out of range.
      {"page size 0",
       {{"page_size = 2048", "page_size = 0"}},
       "geometry.page_size",
       "from 1 to 4194304, not 0"},
      {"page size too large",
       {{"page_size = 2048", "page_size = 4194305"}},
       "geometry.page_size",
       "not 4194305"},
      {"negative spare size",
       {{"spare_size = 64", "spare_size = -64"}},
       "geometry.spare_size",
       "not -64"},
      {"no pages per block",
       {{"block_pages = 64", "block_pages = 0"}},
       "geometry.block_pages",
       "not 0"},
      {"m 4", {{"m = 13", "m = 4"}}, "code.m", "from 5 to 16, not 4"},
      {"m 17", {{"m = 13", "m = 17"}}, "code.m", "from 5 to 16, not 17"},
      {"t 0", {{"t = 4", "t = 0"}}, "code.t", "must be a whole number of at least 1, not 0"},
      {"t negative", {{"t = 4", "t = -1"}}, "code.t", "not -1"},
      {"polynomial 0", {{"= 0x201B", "= 0"}}, "code.primitive_polynomial", "not 0"},
      {"negative polynomial", {{"= 0x201B", "= -5"}}, "code.primitive_polynomial", "not -5"},
      {"polynomial of 33 bits",
       {{"= 0x201B", "= 0x100000000"}},
       "code.primitive_polynomial",
       "32 bits"},
      {"polynomial of another degree",
       {{"= 0x201B", "= 0x4443"}},
       "code.primitive_polynomial",
       "0x4443 has degree 14, but m is 13"},
      {"negative length",
       {{"[[0, 512]]", "[[0, -512]]"}},
       "steps[0].data[0]",
       "[0, -512]: the length must be at least 1"},
      {"zero length",
       {{"ecc = [2087, 7]", "ecc = [2087, 0]"}},
       "steps[1].ecc",
       "the length must be at least 1"},
      {"negative offset",
       {{"[[2083, 4]]", "[[-1, 4]]"}},
       "steps[1].protected[0]",
       "the offset must be at least 0"},
      {"empty data", {{"data = [[0, 512]]", "data = []"}}, "steps[0].data", "names no span"},
      {"repeat 0", {{"repeat = 3", "repeat = 0"}}, "steps[0].repeat", "not 0"},
      {"repeat beyond any page",
       {{"repeat = 3", "repeat = 1057"}},
       "steps[0].repeat",
       "from 1 to 1056"},
      {"more steps than the page holds",
       {{"repeat = 3", "repeat = 1056"}},
       "steps[1]",
       "1057 steps"},
      {"stride beyond the page",
       {{"data_stride = 512", "data_stride = 5000"}},
       "steps[0].data_stride",
       "from -2112 to 2112, not 5000"},
      {"ECC past the raw page",
       {{"ecc = [2087, 7]", "ecc = [2110, 7]"}},
       "steps[1].ecc",
       "[2110, 7] ends at 2117, past the raw page of 2112 bytes"},
      {"offset beyond any page",
       {{"ecc = [2087, 7]", "ecc = [9223372036854775807, 7]"}},
       "steps[1].ecc",
       "ends at 9223372036854775814"},
      {"a copy past the raw page",
       {{"ecc_stride = 11", "ecc_stride = 30"}},
       "steps[0].ecc",
       "[2114, 7] (copy 3 of 3) ends at 2121, past the raw page of 2112 bytes"},
      {"copies that overlap",
       {{"protected_stride = 11", "protected_stride = 4"}},
       "steps[0].protected[0]",
       "[2054, 4] (copy 2 of 3) overlaps steps[0].ecc [2054, 7] (copy 1 of 3)"},
      {"data over the marker",
       {{"[2040, 8]", "[2040, 9]"}},
       "bad_block.marker",
       "[2048, 2] overlaps steps[1].data[1] [2040, 9]"},
      {"marker page past the block",
       {{"pages = [0, -1]", "pages = [0, 64]"}},
       "bad_block.pages[1]",
       "64 is outside the block of 64 pages"},
      {"marker page before the block",
       {{"pages = [0, -1]", "pages = [-65]"}},
       "bad_block.pages[0]",
       "-65 is outside the block"},
      {"no marker page", {{"pages = [0, -1]", "pages = []"}}, "bad_block.pages", "names no page"},
      // Masks.
      {"mask shorter than the ECC",
       {{"ecc_mask = \"none\"", "ecc_mask = \"A1 B2 C3\""}},
       "code.ecc_mask",
       "3 bytes, but steps[0].ecc [2054, 7] (copy 1 of 3) holds 7"},
      {"mask and ECC spans of two lengths",
       {{"ecc_mask = \"none\"", "ecc_mask = \"01 02 03 04 05 06 07\""},
        {"ecc = [2087, 7]", "ecc = [2087, 8]"}},
       "code.ecc_mask",
       "7 bytes, but steps[1].ecc [2087, 8] holds 8"},
      {"odd hex digits",
       {{"ecc_mask = \"none\"", "ecc_mask = \"A1B2C3D4E5F6A\""}},
       "code.ecc_mask",
       "not \"A1B2C3D4E5F6A\""},
      {"blank inside a byte",
       {{"ecc_mask = \"none\"", "ecc_mask = \"A 1B2C3D4E5F6A7\""}},
       "code.ecc_mask",
       "in hex"},
      {"not hex",
       {{"ecc_mask = \"none\"", "ecc_mask = \"G1 B2 C3 D4 E5 F6 A7\""}},
       "code.ecc_mask",
       "in hex"},
      {"empty mask", {{"ecc_mask = \"none\"", "ecc_mask = \"\""}}, "code.ecc_mask", "in hex"},
      {"other mask word",
       {{"ecc_mask = \"none\"", "ecc_mask = \"erased\""}},
       "code.ecc_mask",
       "\"none\", \"erased-ff\""},
      // Steps in bits: their unit, the page and overlaps at bit level, the mask's bytes.
      {"unknown unit",
       {{"data = [[1536, 500], [2040, 8]]", "unit = \"words\"\ndata = [[1536, 500], [2040, 8]]"}},
       "steps[1].unit",
       "\"bytes\" or \"bits\""},
      {"bit span past the page",
       {{"data = [[1536, 500], [2040, 8]]\nprotected = [[2083, 4]]\necc = [2087, 7]",
         "unit = \"bits\"\ndata = [[12288, 4096]]\necc = [16860, 52]"}},
       "steps[1].ecc",
       "ends at 16912, past the raw page of 16896 bits"},
      {"bit span into a byte step",
       {{"data = [[1536, 500], [2040, 8]]\nprotected = [[2083, 4]]\necc = [2087, 7]",
         "unit = \"bits\"\ndata = [[12288, 4096]]\nprotected = [[16600, 8]]\necc = [16700, 52]"}},
       "steps[1].protected[0]",
       "[16600, 8] overlaps steps[0].protected[0] [2072, 4] (copy 3 of 3)"},
      {"mask shorter than a bit step's parity",
       {{"ecc_mask = \"none\"", "ecc_mask = \"A1 B2 C3 D4 E5 F6 07\""},
        {"data = [[1536, 500], [2040, 8]]\nprotected = [[2083, 4]]\necc = [2087, 7]",
         "unit = \"bits\"\ndata = [[12288, 4096]]\necc = [16700, 60]"}},
       "code.ecc_mask",
       "holds 60 bits (8 bytes)"},
      // The name.
      {"name of two lines", {{"\"test layout\"", "\"test\\nlayout\""}}, "name", "must be one line"},
  };
  for (const fault_case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = changed(c.changes);
    ASSERT_EQ(text.find("test case error"), std::string::npos) << text;
    nand_layout layout;
    const std::string message = parse_layout(text, "test.toml", layout).message;
    const std::string head = "test.toml: " + c.key + ": ";
    EXPECT_EQ(message.substr(0, head.size()), head) << message;
    EXPECT_NE(message.find(c.fragment), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
}

TEST(LayoutFile, AcceptsEachWayOfWritingTheSameThing) {
  struct accept_case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> changes;
  };
  const nand_layout want = base_layout();
  // Each of these must read to kBase's layout exactly.
  const accept_case same[] = {
      {"defaults left out",
       {{"bit_order = \"msb\"\n", ""}, {"ecc_mask = \"none\"\n", ""}, {"pad = \"end\"\n", ""}}},
      {"hex, octal and binary numbers",
       {{"page_size = 2048", "page_size = 0x800"},
        {"spare_size = 64", "spare_size = 0o100"},
        {"block_pages = 64", "block_pages = 0b1000000"}}},
      {"an inline code table",
       {{"[code]\nm = 13\nt = 4\nprimitive_polynomial = 0x201B\nbit_order = \"msb\"\n"
         "ecc_mask = \"none\"\npad = \"end\"\n",
         ""},
        {"name = \"test layout\"",
         "name = \"test layout\"\ncode = { m = 13, t = 4, primitive_polynomial = 8219 }"}}},
      {"one stride overridden", {{"protected_stride = 11\necc_stride = 11", "stride = 11"}}},
      {"strides on a single step", {{"ecc = [2087, 7]", "ecc = [2087, 7]\nstride = 99"}}},
      {"explicit repeat 1", {{"ecc = [2087, 7]", "ecc = [2087, 7]\nrepeat = 1"}}},
      {"comments and blank lines", {{"m = 13", "# the field\n\nm = 13   # degree"}}},
  };
  for (const accept_case& c : same) {
    SCOPED_TRACE(c.what);
    const std::string text = changed(c.changes);
    nand_layout layout;
    ASSERT_EQ(parse_layout(text, "test.toml", layout).message, "") << text;
    EXPECT_EQ(layout_difference(layout, want), "");
  }

  nand_layout layout;
  // Masks with and without blanks, in either case, read to the same bytes.
  const char* const masks[] = {"01 A2 03 04 05 06 FF", "01A2030405 06FF", "01a2030405\t06ff",
                               " 01 a2 03 04 05 06 ff "};
  for (const char* mask : masks) {
    SCOPED_TRACE(mask);
    ASSERT_EQ(
        parse_layout(changed({{"\"none\"", std::string("\"") + mask + "\""}}), "m.toml", layout)
            .message,
        "");
    EXPECT_EQ(layout.code.mask, layout_mask::bytes);
    EXPECT_EQ(layout.code.mask_bytes, (std::vector<std::uint8_t>{1, 0xA2, 3, 4, 5, 6, 0xFF}));
  }
  // The other settings of the code.
  ASSERT_EQ(parse_layout(changed({{"\"msb\"", "\"lsb\""},
                                  {"\"end\"", "\"start\""},
                                  {"\"none\"", "\"erased-ff\""}}),
                         "v.toml", layout)
                .message,
            "");
  EXPECT_TRUE(layout.code.lsb_first);
  EXPECT_TRUE(layout.code.pad_start);
  EXPECT_EQ(layout.code.mask, layout_mask::erased_ff);
  EXPECT_TRUE(layout.code.mask_bytes.empty());
  // Without pages the marker is on the first page; without [bad_block] there is none; without
  // a name the name is empty and without a polynomial it is 0, the tabled one.
  ASSERT_EQ(parse_layout(changed({{"pages = [0, -1]\n", ""}}), "p.toml", layout).message, "");
  EXPECT_EQ(layout.bad_block.pages, std::vector<std::int32_t>{0});
  ASSERT_EQ(parse_layout(changed({{"[bad_block]\nmarker = [2048, 2]\npages = [0, -1]\n", ""},
                                  {"name = \"test layout\"\n", ""},
                                  {"primitive_polynomial = 0x201B\n", ""}}),
                         "b.toml", layout)
                .message,
            "");
  EXPECT_FALSE(layout.bad_block.present);
  EXPECT_EQ(layout.name, "");
  EXPECT_EQ(layout.code.primitive_polynomial, 0u);
}

// Reads `layout_to_toml(layout)` back and returns the difference, "" when there is none.
std::string round_trip(const nand_layout& layout, std::string& text) {
  text = layout_to_toml(layout);
  nand_layout back;
  const std::string fault = parse_layout(text, "round trip", back).message;
  if (!fault.empty())
    return fault;
  if (back.source != "round trip")
    return "source " + back.source;
  return layout_difference(back, layout);
}

int table_count(const std::string& text) {
  int count = 0;
  for (std::size_t at = text.find("[[steps]]"); at != std::string::npos;
       at = text.find("[[steps]]", at + 1))
    ++count;
  return count;
}

TEST(LayoutFile, LayoutToTomlReadsBackToTheSameLayout) {
  std::string text;
  // The default at 2048 + 64: three chunks with stride 525, then the split last sector.
  const nand_layout two_kib = default_layout(2048, 64, 64);
  ASSERT_EQ(round_trip(two_kib, text), "") << text;
  const std::string steps = text.substr(text.find("[[steps]]"));
  EXPECT_EQ(steps,
            "[[steps]]\n"
            "data = [[4, 512]]\n"
            "ecc = [516, 13]\n"
            "repeat = 3\n"
            "stride = 525\n"
            "\n"
            "[[steps]]\n"
            "data = [[1579, 469], [2054, 43]]\n"
            "ecc = [2097, 13]\n");
  EXPECT_NE(text.find("[code]\nm = 13\nt = 8\nbit_order = \"msb\"\necc_mask = \"none\"\n"
                      "pad = \"end\"\n"),
            std::string::npos)
      << text;
  for (std::int32_t page : {512, 4096, 8192, 16384}) {
    SCOPED_TRACE(testing::Message() << "default layout, page " << page);
    EXPECT_EQ(round_trip(default_layout(page, page / 16 + 64, 128), text), "") << text;
    EXPECT_EQ(table_count(text), page == 512 ? 1 : 2) << text;
  }
  // kBase: the repeated table keeps its three strides.
  ASSERT_EQ(round_trip(base_layout(), text), "") << text;
  EXPECT_NE(text.find("repeat = 3\ndata_stride = 512\nprotected_stride = 11\necc_stride = 11\n"),
            std::string::npos)
      << text;

  // Steps in bits stay in bits, those in bytes in bytes, each run one table with its strides.
  nand_layout mixed = base_layout();
  for (int k = 0; k < 3; ++k) {
    layout_step& step = mixed.steps[static_cast<std::size_t>(k)];
    step.bits = true;
    step.data = {{4096 * k, 4096}};
    step.protected_ = {{16400 + 64 * k, 12}};
    step.ecc = {16412 + 64 * k, 52};
  }
  ASSERT_EQ(round_trip(mixed, text), "") << text;
  EXPECT_NE(text.find("[[steps]]\nunit = \"bits\"\ndata = [[0, 4096]]\nprotected = [[16400, 12]]\n"
                      "ecc = [16412, 52]\nrepeat = 3\ndata_stride = 4096\nprotected_stride = 64\n"
                      "ecc_stride = 64\n\n[[steps]]\ndata = [[1536, 500], [2040, 8]]\n"),
            std::string::npos)
      << text;

  std::mt19937 rng(4242);
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(testing::Message() << "random layout " << trial);
    const nand_layout layout = layout_test::random_layout(rng);
    ASSERT_EQ(round_trip(layout, text), "") << text;
  }
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(testing::Message() << "regular layout " << trial);
    const nand_layout layout = layout_test::regular_layout(rng);
    ASSERT_EQ(round_trip(layout, text), "") << text;
    // Same-shaped steps at constant shifts make one table; a split last step one more.
    const std::size_t tables = layout.steps.back().data.size() == 2 ? 2 : 1;
    EXPECT_EQ(table_count(text), static_cast<int>(std::min(tables, layout.steps.size()))) << text;
  }
}

TEST(LayoutFile, ReadsFilesAndNamesThoseItCannotRead) {
  const std::string path = testing::TempDir() + "pagolinth_layout_file_test.toml";
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(kBase, 1, sizeof kBase - 1, file), sizeof kBase - 1);
    std::fclose(file);
  }
  nand_layout layout;
  EXPECT_EQ(read_layout_file(path, layout).message, "");
  EXPECT_EQ(layout.source, path);
  EXPECT_EQ(layout_difference(layout, base_layout()), "");
  std::remove(path.c_str());

  const std::string missing = testing::TempDir() + "no such layout.toml";
  const std::string message = read_layout_file(missing, layout).message;
  EXPECT_EQ(message.substr(0, missing.size() + 2), missing + ": ") << message;
  EXPECT_NE(message.find("cannot open"), std::string::npos) << message;
}

TEST(LayoutFile, ExampleFilesReadToTheLayoutsTheyDescribe) {
  // What each example says in its comments, built by hand.
  nand_layout spare_end;
  spare_end.page_size = 4096;
  spare_end.spare_size = 224;
  spare_end.block_pages = 64;
  spare_end.code.m = 14;
  spare_end.code.t = 24;
  for (int k = 0; k < 4; ++k) {
    layout_step step;
    step.data = {{1024 * k, 1024}};
    step.ecc = {4128 + 42 * k, 42};
    spare_end.steps.push_back(step);
  }
  spare_end.bad_block.present = true;
  spare_end.bad_block.marker = {4096, 2};

  nand_layout pad_start;
  pad_start.page_size = 2048;
  pad_start.spare_size = 64;
  pad_start.block_pages = 64;
  pad_start.code.m = 13;
  pad_start.code.t = 4;
  pad_start.code.primitive_polynomial = 0x201B;
  pad_start.code.pad_start = true;
  for (int k = 0; k < 4; ++k) {
    layout_step step;
    step.data = {{512 * k, 512}};
    step.protected_ = {{2050 + 11 * k, 4}};
    step.ecc = {2054 + 11 * k, 7};
    pad_start.steps.push_back(step);
  }
  pad_start.bad_block.present = true;
  pad_start.bad_block.marker = {2048, 2};
  spare_end.bad_block.pages = {0, 1};
  pad_start.bad_block.pages = {0, -1};
  nand_layout built_in = default_layout(2048, 64, 64);
  nand_layout bits_protected;
  bits_protected.page_size = 2048;
  bits_protected.spare_size = 64;
  bits_protected.block_pages = 64;
  bits_protected.code.m = 13;
  bits_protected.code.t = 4;
  nand_layout bits_packed = bits_protected;
  bits_packed.code.t = 5;
  for (int k = 0; k < 4; ++k) {
    layout_step step;
    step.bits = true;
    step.data = {{4096 * k, 4096}};
    step.protected_ = {{16384 + 128 * k, 76}};
    step.ecc = {16460 + 128 * k, 52};
    bits_protected.steps.push_back(step);
    step.data = {{k == 0 ? 0 : 4128 + 4161 * k - 4096, 4096}};
    step.protected_.clear();
    if (k == 0)
      step.protected_ = {{4096, 32}};
    step.ecc = {4128 + 4161 * k, 65};
    bits_packed.steps.push_back(step);
  }

  // The default example is what layout_to_toml prints, name and all; the others' names are
  // prose.
  const std::pair<const char*, const nand_layout*> examples[] = {
      {"default-2048-64.toml", &built_in},
      {"spare-end-4096-224.toml", &spare_end},
      {"protected-pad-start-2048-64.toml", &pad_start},
      {"bits-protected-2048-64.toml", &bits_protected},
      {"bits-packed-2048-64.toml", &bits_packed},
  };
  int read = 0;
  int known = 0;
  for (const auto& entry : std::filesystem::directory_iterator(PAGOLINTH_LAYOUTS_DIR)) {
    const std::string path = entry.path().string();
    SCOPED_TRACE(path);
    nand_layout layout;
    ASSERT_EQ(read_layout_file(path, layout).message, "");
    EXPECT_EQ(check_layout(layout).message, "");
    ++read;
    for (const auto& [file, built] : examples) {
      if (entry.path().filename() != file)
        continue;
      nand_layout want = *built;
      if (built != &built_in)
        want.name = layout.name;
      EXPECT_EQ(layout_difference(layout, want), "");
      ++known;
    }
  }
  EXPECT_EQ(known, 5);
  EXPECT_GE(read, 5);
}

}  // namespace

TEST(LayoutFile, CharactersBeyondAsciiOnlyInStringsAndComments) {
  const std::string rest = std::string(kBase).substr(std::string(kBase).find('\n'));
  // Accepted, with the value as written: in a name, in comments, in literal and multi-line
  // strings.
  const std::pair<std::string, std::string> accepted[] = {
      {"name = \"Bl\u00f6cke f\u00fcr M\u00fcller\"", "Bl\u00f6cke f\u00fcr M\u00fcller"},
      {"# Gr\u00fc\u00dfe \u2014 \u00a1hola!\nname = \"a\" # \u00e4", "a"},
      {"name = 'M\u00fcller \u0100 \\ \"q\" \U0001F600'", "M\u00fcller \u0100 \\ \"q\" \U0001F600"},
      {"name = \"\"\"\u00fc \u00e4\"\"\"", "\u00fc \u00e4"},
      {"name = '''x''\u00fc'''", "x''\u00fc"},
      {"name = \"\\\"\u00fc\\\\\"", "\"\u00fc\\"},
  };
  for (const auto& [first_line, name] : accepted) {
    nand_layout layout;
    EXPECT_EQ(parse_layout(first_line + rest, "ok.toml", layout).message, "") << first_line;
    EXPECT_EQ(layout.name, name) << first_line;
  }
  // Refused with the place, before the TOML reader sees them: U+00FC and U+0100 where a value
  // should start sent the reader of Debian 12 into undefined behaviour; also a character after
  // a string that ends in extra quotes, which belong to the string.
  const struct {
    std::string text, place;
  } refused[] = {
      {"m =\u00fc\n", "line 1, column 4"},
      {"name = \"test layout\"\n[code]\nm = 13\u0100", "line 3, column 7"},
      {"name = \"\"\"a\"\"\"\"\u00fc\n", "line 1, column 16"},
      {"name = '''a'''''\u00fc\n", "line 1, column 17"},
      {"\u3000name = 1\n", "line 1, column 1"},
      // Found by fuzzing: the reader met the character after a value cut short by a quote.
      {"e=0\"\u00fc", ""},
      {"name = \"a\xff\"\n", "line 1, column 10"},
      {"name = 'a\xc3'\n", "line 1, column 10"},
  };
  for (const auto& c : refused) {
    nand_layout layout;
    const std::string message = parse_layout(c.text, "bad.toml", layout).message;
    const bool utf8 = c.text.find_first_of("\xff\xc3") != std::string::npos &&
                      c.text.find("\u00fc") == std::string::npos;
    if (c.place.empty()) {
      EXPECT_NE(message, "") << c.text;
    } else {
      EXPECT_EQ(message,
                "bad.toml: " + c.place + ": " +
                    (utf8 ? "the text is not UTF-8"
                          : "a character outside ASCII stands outside a string or comment"))
          << c.text;
    }
  }
}

namespace {

TEST(LayoutFile, AScramblerNamesAKeyOfWholePagesBesideTheFile) {
  const std::string folder = testing::TempDir() + "pagolinth_scrambler_test";
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/board.toml";
  const auto write = [](const std::string& name, const std::string& bytes) {
    std::FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  };
  const std::string key(2 * 2112, '\x5A');
  write(folder + "/key.bin", key);
  write(folder + "/short.bin", key.substr(1));
  const struct {
    std::string table, fault;  // "" for a layout that reads
  } cases[] = {
      {"[scrambler]\nkey_file = \"key.bin\"\necc = \"scrambled\"\n", ""},
      {"[scrambler]\nkey_file = \"short.bin\"\necc = \"plain\"\n",
       "scrambler.key_file: short.bin holds 4223 bytes, not a whole number of raw pages of 2112 "
       "bytes"},
      {"[scrambler]\nkey_file = \"none.bin\"\necc = \"plain\"\n", "none.bin: no such file"},
      {"[scrambler]\nkey_file = \"key.bin\"\n", "scrambler.ecc: must be \"plain\""},
      {"[scrambler]\necc = \"plain\"\n", "scrambler.key_file: is missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.table);
    write(path, kBase + std::string("\n") + c.table);
    nand_layout layout;
    const std::string message = read_layout_file(path, layout).message;
    if (!c.fault.empty()) {
      EXPECT_NE(message.find(c.fault), std::string::npos) << message;
      continue;
    }
    ASSERT_EQ(message, "");
    EXPECT_TRUE(layout.scrambler.present);
    EXPECT_EQ(layout.scrambler.ecc, scrambler_ecc::scrambled);
    EXPECT_EQ(std::string(layout.scrambler.key.begin(), layout.scrambler.key.end()), key);
    // Written out and read back beside the same key, the same scrambler.
    write(path, layout_to_toml(layout));
    nand_layout again;
    ASSERT_EQ(read_layout_file(path, again).message, "");
    EXPECT_EQ(again.scrambler.key_file, "key.bin");
    EXPECT_EQ(again.scrambler.key, layout.scrambler.key);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
