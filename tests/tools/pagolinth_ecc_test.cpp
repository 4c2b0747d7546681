// End-to-end tests of pagolinth-ecc over the built executable: encode, inject, check and fix
// round trips for both variants and several geometries, uncorrectable and erased sectors,
// truncated dumps, refused outputs and usage, probe, and thread-count independence; the same
// round trips and extract on layout files of both families, with protected bytes, padding
// first, other polynomials, bit orders and masks, bad blocks, and the layout options refused.
#include <gtest/gtest.h>

#include <cstdint>     // std::uint32_t
#include <cstdio>      // std::snprintf
#include <filesystem>  // std::filesystem::exists
#include <random>      // std::mt19937
#include <string>      // std::string
#include <vector>      // std::vector

#include "layout/layout_file.h"         // read_layout_file, for the example layouts' spans
#include "tests/support/run_program.h"  // scratch_dir, run_program, read_file, write_file

namespace {

const std::string kTool = PAGOLINTH_ECC;

struct geometry {
  int page_size, spare_size, block_pages;
};

std::vector<std::string> geometry_args(const geometry& g) {
  return {"--page-size",   std::to_string(g.page_size),
          "--spare-size",  std::to_string(g.spare_size),
          "--block-pages", std::to_string(g.block_pages)};
}

std::string random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(gen() & 0xFF);
  return bytes;
}

// Runs pagolinth-ecc in `dir` with the words given, then the geometry and code options.
program_result ecc(const scratch_dir& dir, std::vector<std::string> words,
                   const std::vector<std::string>& extra = {}) {
  words.insert(words.end(), extra.begin(), extra.end());
  return run_program(kTool, dir.path(), "", words);
}

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Compares two files' bytes; on a difference names its first offset instead of printing
// megabytes.
testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want)
    return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at])
    ++at;
  return testing::AssertionFailure()
         << "sizes " << got.size() << " and " << want.size() << ", first difference at byte " << at;
}

// The number after `label` in the summary, or -1.
long long summary_value(const std::string& out, const std::string& label) {
  const std::size_t at = out.find(label);
  if (at == std::string::npos)
    return -1;
  return std::stoll(out.substr(at + label.size()));
}

TEST(PagolinthEcc, EncodeInjectCheckFixRoundTrips) {
  const geometry geometries[] = {{2048, 64, 64}, {4096, 224, 4}, {512, 23, 2}};
  const char* orders[] = {"msb", "lsb"};
  const char* masks[] = {"none", "erased-ff"};
  std::uint32_t seed = 1;
  for (const geometry& g : geometries) {
    for (const char* order : orders) {
      for (const char* mask : masks) {
        SCOPED_TRACE(testing::Message() << "geometry " << g.page_size << "+" << g.spare_size
                                        << ", bit order " << order << ", mask " << mask);
        scratch_dir dir;
        const int pages = 9;  // more than one block for the 4 KiB and 512-byte pages
        const int page_bytes = g.page_size + g.spare_size;
        write_file(dir.file("raw.bin"),
                   random_bytes(static_cast<std::size_t>(pages * page_bytes), ++seed));
        const auto code = plus(geometry_args(g), {"--bit-order", order, "--ecc-mask", mask});

        ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}, code).exit_status, 0);
        const program_result clean = ecc(dir, {"check", "enc.bin"}, code);
        EXPECT_EQ(clean.exit_status, 0) << clean.err;
        const long long sectors = pages * (g.page_size / 512);
        EXPECT_EQ(summary_value(clean.out, "  clean:"), sectors) << clean.out;

        ASSERT_EQ(ecc(dir,
                      {"inject", "enc.bin", "-o", "noisy.bin", "--flips", "1-8", "--seed",
                       std::to_string(seed)},
                      code)
                      .exit_status,
                  0);
        const std::string noisy = read_file(dir.file("noisy.bin"));
        EXPECT_FALSE(noisy == read_file(dir.file("enc.bin"))) << "inject changed nothing";
        const program_result check = ecc(dir, {"check", "noisy.bin"}, code);
        EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
        EXPECT_EQ(summary_value(check.out, "  corrected:"), sectors) << check.out;

        const program_result fix = ecc(dir, {"fix", "noisy.bin", "-o", "fixed.bin"}, code);
        EXPECT_EQ(fix.exit_status, 0) << fix.err;
        EXPECT_TRUE(same_bytes(read_file(dir.file("fixed.bin")), read_file(dir.file("enc.bin"))))
            << "the fixed dump differs from the encoded one";
        EXPECT_TRUE(same_bytes(read_file(dir.file("noisy.bin")), noisy))
            << "the input was modified";
      }
    }
  }
}

TEST(PagolinthEcc, UncorrectableSectorsAreLeftAsRead) {
  scratch_dir dir;
  write_file(dir.file("raw.bin"), random_bytes(4 * 2112, 7));
  ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}).exit_status, 0);
  ASSERT_EQ(ecc(dir, {"inject", "enc.bin", "-o", "bad.bin", "--flips", "9-12"}).exit_status, 0);
  const program_result check = ecc(dir, {"check", "bad.bin", "--csv", "bad.csv"});
  EXPECT_EQ(check.exit_status, 1);
  EXPECT_EQ(summary_value(check.out, "  uncorrectable:"), 16) << check.out;
  EXPECT_NE(check.out.find("note: most sectors are uncorrectable"), std::string::npos)
      << "a dump beyond repair throughout should point at the layout";
  const std::string csv = read_file(dir.file("bad.csv"));
  EXPECT_EQ(
      csv.rfind("page,block,sector,offset,status,bits,flipped_1to0,flipped_0to1,positions\n", 0),
      0u);
  EXPECT_NE(csv.find("\n0,0,1,529,uncorrectable,0,0,0,\n"), std::string::npos) << csv;

  const program_result fix = ecc(dir, {"fix", "bad.bin"});
  EXPECT_EQ(fix.exit_status, 1);
  EXPECT_TRUE(same_bytes(read_file(dir.file("Dump_New.bin")), read_file(dir.file("bad.bin"))));
}

TEST(PagolinthEcc, ErasedPagesAndATruncatedTail) {
  // Three erased pages, the second with a few bits flipped to 0, then 1,000 bytes of a page
  // that is not whole.
  scratch_dir dir;
  std::string dump(3 * 2112, '\xFF');
  dump[2112 + 10] = '\xFE';    // sector 0, data byte 6: one bit
  dump[2112 + 600] = '\x7F';   // sector 1, data byte 71: one bit
  dump[2112 + 2100] = '\xEF';  // sector 3, ECC byte 3: one bit
  dump += random_bytes(1000, 3);
  write_file(dir.file("erased.bin"), dump);
  const program_result check = ecc(dir, {"check", "erased.bin", "--csv", "e.csv"});
  EXPECT_EQ(check.exit_status, 0) << check.err;
  EXPECT_EQ(summary_value(check.out, "  erased:"), 12) << check.out;
  EXPECT_NE(check.out.find("(3 bits flipped within them)"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("tail:            1000 bytes"), std::string::npos) << check.out;
  EXPECT_NE(read_file(dir.file("e.csv")).find("1,0,0,2116,erased,1,1,0,d6.0:1>0\n"),
            std::string::npos)
      << read_file(dir.file("e.csv"));

  ASSERT_EQ(ecc(dir, {"fix", "erased.bin", "-o", "fixed.bin"}).exit_status, 0);
  std::string want = dump;
  want[2112 + 10] = want[2112 + 600] = want[2112 + 2100] = '\xFF';
  EXPECT_TRUE(same_bytes(read_file(dir.file("fixed.bin")), want))
      << "erased sectors not set to 0xFF, or the tail changed";
}

TEST(PagolinthEcc, OutputsAreNeverOverwrittenUnasked) {
  scratch_dir dir;
  write_file(dir.file("d.bin"), random_bytes(2 * 2112, 5));
  write_file(dir.file("taken.bin"), "keep");
  const program_result refused = ecc(dir, {"encode", "d.bin", "-o", "taken.bin"});
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_NE(refused.err.find("exists already"), std::string::npos) << refused.err;
  EXPECT_EQ(read_file(dir.file("taken.bin")), "keep");

  const program_result onto_input = ecc(dir, {"encode", "d.bin", "-o", "d.bin", "--force"});
  EXPECT_EQ(onto_input.exit_status, 2);
  EXPECT_NE(onto_input.err.find("is the input"), std::string::npos) << onto_input.err;

  const program_result csv_onto_input = ecc(dir, {"check", "d.bin", "--csv", "d.bin"});
  EXPECT_EQ(csv_onto_input.exit_status, 2);
  EXPECT_EQ(read_file(dir.file("d.bin")).size(), 2u * 2112) << "the input was overwritten";

  // The empty Dump_New.bin that the dialogue leaves behind does not block fix.
  write_file(dir.file("Dump_New.bin"), "");
  const program_result after_walk = ecc(dir, {"fix", "d.bin"});
  EXPECT_EQ(after_walk.exit_status, 1) << after_walk.err;  // random data: uncorrectable
  EXPECT_EQ(read_file(dir.file("Dump_New.bin")).size(), 2u * 2112);
  EXPECT_EQ(ecc(dir, {"fix", "d.bin"}).exit_status, 2) << "a full output replaced unasked";
  std::filesystem::remove(dir.file("Dump_New.bin"));

  EXPECT_EQ(ecc(dir, {"encode", "d.bin", "-o", "taken.bin", "--force"}).exit_status, 0);
  EXPECT_EQ(read_file(dir.file("taken.bin")).size(), 2u * 2112);
  // No temporary file is left behind.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().extension() != ".json")  // the outputs' audit records
      ++files;
  }
  EXPECT_EQ(files, 2);
}

TEST(PagolinthEcc, BadUsageGetsOneLineAndStatusTwo) {
  scratch_dir dir;
  write_file(dir.file("d.bin"), random_bytes(2112, 9));
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"scrub", "d.bin"},
      {"check"},
      {"check", "missing.bin"},
      {"check", "d.bin", "--bit-order", "middle"},
      {"check", "d.bin", "-t", "9"},
      {"check", "d.bin", "-t", "0"},
      {"check", "d.bin", "--page-size", "512", "--spare-size", "16"},
      {"check", "d.bin", "--page-size", "256"},
      {"check", "d.bin", "--page-size", "x"},
      {"inject", "d.bin", "-o", "n.bin", "--flips", "8-2"},
      {"probe", "d.bin", "--sectors", "0"},
  };
  for (const auto& words : cases) {
    std::string joined;
    for (const auto& w : words)
      joined += w + " ";
    SCOPED_TRACE("pagolinth-ecc " + joined);
    const program_result r = run_program(kTool, dir.path(), "", words);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.signal, 0);
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  const program_result help = run_program(kTool, dir.path(), "", {"fix", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("Example: pagolinth-ecc fix"), std::string::npos) << help.out;
}

TEST(PagolinthEcc, ProbeNamesTheVariantADumpWasMadeWith) {
  struct variant {
    const char* order;
    const char* mask;
    int t;
  } variants[] = {{"msb", "none", 8},
                  {"lsb", "none", 8},
                  {"msb", "erased-ff", 8},
                  {"lsb", "erased-ff", 4},
                  {"msb", "none", 2}};
  for (const variant& v : variants) {
    SCOPED_TRACE(testing::Message() << v.order << " " << v.mask << " t=" << v.t);
    scratch_dir dir;
    write_file(dir.file("raw.bin"), random_bytes(16 * 2112, static_cast<std::uint32_t>(v.t)));
    const std::vector<std::string> code = {"-t",    std::to_string(v.t), "--bit-order",
                                           v.order, "--ecc-mask",        v.mask};
    ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}, code).exit_status, 0);
    const std::string flips = "0-" + std::to_string(v.t);
    ASSERT_EQ(ecc(dir, {"inject", "enc.bin", "-o", "n.bin", "--flips", flips}, code).exit_status,
              0);
    const program_result r = ecc(dir, {"probe", "n.bin", "--sectors", "40"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const std::string best = std::string(
                                 "best: pagolinth-ecc check --page-size 2048 --spare-size 64 "
                                 "--block-pages 64 -t ") +
                             std::to_string(v.t) + " --bit-order " + v.order + " --ecc-mask " +
                             v.mask + " n.bin\n";
    EXPECT_NE(r.out.find(best), std::string::npos) << r.out;
  }
}

TEST(PagolinthEcc, ThreadsChangeNothingAndTheMapIsDrawn) {
  scratch_dir dir;
  // Enough pages for several batches of the pass.
  write_file(dir.file("raw.bin"), random_bytes(4100 * 2112, 11));
  ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}).exit_status, 0);
  ASSERT_EQ(ecc(dir, {"inject", "enc.bin", "-o", "n.bin", "--flips", "0-10"}).exit_status, 0);
  const program_result one =
      ecc(dir, {"check", "n.bin", "--threads", "1", "--csv", "one.csv", "--map", "one.svg"});
  const program_result three =
      ecc(dir, {"check", "n.bin", "--threads", "3", "--csv", "three.csv", "--map", "three.svg"});
  EXPECT_EQ(one.exit_status, 1);
  EXPECT_EQ(three.exit_status, 1);
  auto without_file_names = [](std::string text) {
    const std::size_t csv = text.find("csv:");
    return text.substr(0, csv);
  };
  EXPECT_EQ(without_file_names(one.out), without_file_names(three.out));
  EXPECT_TRUE(same_bytes(read_file(dir.file("one.csv")), read_file(dir.file("three.csv"))));
  const std::string map = read_file(dir.file("one.svg"));
  EXPECT_TRUE(same_bytes(map, read_file(dir.file("three.svg"))));
  EXPECT_EQ(map.rfind("<?xml", 0), 0u);
  EXPECT_EQ(map.substr(map.size() - 7), "</svg>\n");
  EXPECT_NE(map.find("fill=\"#000000\""), std::string::npos) << "no uncorrectable page drawn";
  EXPECT_NE(map.find(">uncorrectable</text>"), std::string::npos) << "no legend";
}

// A layout as the tests write it: every step spelt out, so that the TOML the tool reads and the
// image the tests expect come from one description, independent of the tool's layout reader.
struct span {
  int offset, length;
};
struct test_step {
  std::vector<span> data, prot;
  span ecc{0, 0};
};
struct test_layout {
  std::string label;
  int page_size = 0, spare_size = 0, block_pages = 0;
  int m = 0, t = 0;
  std::string polynomial;  // "" for the tabled one, else a TOML integer
  std::string bit_order = "msb", mask = "none", pad = "end";
  std::vector<test_step> steps;
  span marker{0, 0};  // length 0: no bad-block marker
};

test_layout make_layout(const char* label, int page_size, int spare_size, int block_pages, int m,
                        int t) {
  test_layout l;
  l.label = label;
  l.page_size = page_size;
  l.spare_size = spare_size;
  l.block_pages = block_pages;
  l.m = m;
  l.t = t;
  return l;
}

std::string toml_span(const span& s) {
  return "[" + std::to_string(s.offset) + ", " + std::to_string(s.length) + "]";
}

std::string toml_spans(const std::vector<span>& spans) {
  std::string out = "[";
  for (std::size_t i = 0; i < spans.size(); ++i)
    out += (i > 0 ? ", " : "") + toml_span(spans[i]);
  return out + "]";
}

std::string to_toml(const test_layout& l) {
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

// The families the tool must handle: ECC interleaved with the data, and gathered at the end of
// the spare; protected spare bytes; padding before the parity; other polynomials, lsb bit order
// and a hex mask; the widest codes.
std::vector<test_layout> test_layouts() {
  std::vector<test_layout> all;
  {
    // Interleaved 512 + 14 chunks after a 2-byte header, the last step's data split by a hole.
    test_layout l = make_layout("interleaved 514+14", 2048, 64, 4, 13, 8);
    for (int k = 0; k < 4; ++k) {
      const int c = 2 + 526 * k;
      if (k < 3)
        l.steps.push_back({{{c, 512}}, {}, {c + 512, 14}});
      else
        l.steps.push_back({{{c, 300}, {c + 306, 212}}, {}, {c + 518, 14}});
    }
    all.push_back(l);
  }
  {
    // 4096 + 224: four 1 KiB steps, bad-block marker, 8 protected bytes and 42 ECC bytes per
    // step at the end of the spare; m = 14, t = 24 on another polynomial.
    test_layout l = make_layout("spare at end, protected", 4096, 224, 4, 14, 24);
    l.polynomial = "0x4443";
    for (int k = 0; k < 4; ++k)
      l.steps.push_back({{{1024 * k, 1024}}, {{4098 + 50 * k, 8}}, {4106 + 50 * k, 42}});
    l.marker = {4096, 2};
    all.push_back(l);
  }
  {
    // Padding first, lsb bit order, the erased-ff mask: m = 13, t = 4 (52 bits in 7 bytes).
    test_layout l = make_layout("pad start, lsb, erased-ff", 2048, 64, 4, 13, 4);
    l.polynomial = "0x201B";
    l.bit_order = "lsb";
    l.mask = "erased-ff";
    l.pad = "start";
    for (int k = 0; k < 4; ++k)
      l.steps.push_back({{{512 * k, 512}}, {{2050 + 11 * k, 4}}, {2054 + 11 * k, 7}});
    l.marker = {2048, 2};
    all.push_back(l);
  }
  {
    // The widest: m = 15, t = 60 on 2 KiB steps (900 bits in 113 bytes), a hex mask.
    test_layout l = make_layout("m15 t60, hex mask", 4096, 256, 2, 15, 60);
    std::string mask;
    for (int i = 0; i < 113; ++i) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", (i * 37 + 11) & 0xFF);
      mask += hex;
    }
    l.mask = mask;
    for (int k = 0; k < 2; ++k)
      l.steps.push_back({{{2048 * k, 2048}}, {}, {4096 + 16 + 113 * k, 113}});
    all.push_back(l);
  }
  {
    // m = 16, t = 12 on 1 KiB steps with a short data span in the spare.
    test_layout l = make_layout("m16 t12", 2048, 128, 4, 16, 12);
    for (int k = 0; k < 2; ++k)
      l.steps.push_back({{{1024 * k, 1024}, {2048 + 4 * k, 4}}, {}, {2064 + 24 * k, 24}});
    all.push_back(l);
  }
  return all;
}

// The user data of every page, step by step, as extract writes it.
std::string expected_image(const test_layout& l, const std::string& dump, bool with_protected,
                           const std::vector<int>& skipped_blocks = {}) {
  const std::size_t page_bytes = static_cast<std::size_t>(l.page_size + l.spare_size);
  std::string image;
  for (std::size_t p = 0; p < dump.size() / page_bytes; ++p) {
    const int block = static_cast<int>(p) / l.block_pages;
    bool skip = false;
    for (int b : skipped_blocks)
      skip = skip || b == block;
    if (skip)
      continue;
    for (const test_step& s : l.steps) {
      for (const span& d : s.data)
        image += dump.substr(p * page_bytes + static_cast<std::size_t>(d.offset),
                             static_cast<std::size_t>(d.length));
    }
    for (const test_step& s : l.steps) {
      for (const span& d : s.prot) {
        if (with_protected)
          image += dump.substr(p * page_bytes + static_cast<std::size_t>(d.offset),
                               static_cast<std::size_t>(d.length));
      }
    }
  }
  return image;
}

TEST(PagolinthEccLayouts, DumpsRoundTripThroughEncodeInjectFixAndExtract) {
  std::uint32_t seed = 100;
  for (const test_layout& l : test_layouts()) {
    SCOPED_TRACE("layout \"" + l.label + "\"");
    scratch_dir dir;
    write_file(dir.file("l.toml"), to_toml(l));
    const std::vector<std::string> layout = {"--layout", "l.toml"};
    const int pages = 3 * l.block_pages + 1;
    const std::size_t page_bytes = static_cast<std::size_t>(l.page_size + l.spare_size);
    std::string raw = random_bytes(pages * page_bytes, ++seed);
    // Markers of good blocks read 0xFF.
    for (int p = 0; p < pages && l.marker.length > 0; ++p)
      raw.replace(p * page_bytes + static_cast<std::size_t>(l.marker.offset),
                  static_cast<std::size_t>(l.marker.length),
                  static_cast<std::size_t>(l.marker.length), '\xFF');
    write_file(dir.file("raw.bin"), raw);
    ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}, layout).exit_status, 0);
    // The first page erased, as a real chip leaves it.
    std::string enc = read_file(dir.file("enc.bin"));
    enc.replace(0, page_bytes, page_bytes, '\xFF');
    write_file(dir.file("enc.bin"), enc);
    const long long steps = static_cast<long long>(pages * l.steps.size());
    const long long erased = static_cast<long long>(l.steps.size());

    const program_result clean = ecc(dir, {"check", "enc.bin"}, layout);
    EXPECT_EQ(clean.exit_status, 0) << clean.out << clean.err;
    EXPECT_EQ(summary_value(clean.out, "  clean:"), steps - erased) << clean.out;
    EXPECT_EQ(summary_value(clean.out, "  erased:"), erased) << clean.out;
    EXPECT_NE(clean.out.find("layout:          \"" + l.label + "\" (l.toml)"), std::string::npos)
        << clean.out;

    // Up to t errors in every step: restored exactly, by fix and by extract.
    const std::string flips = "1-" + std::to_string(l.t);
    ASSERT_EQ(
        ecc(dir, {"inject", "enc.bin", "-o", "noisy.bin", "--flips", flips}, layout).exit_status,
        0);
    const program_result check = ecc(dir, {"check", "noisy.bin"}, layout);
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
    EXPECT_EQ(summary_value(check.out, "  corrected:") + summary_value(check.out, "  erased:"),
              steps)
        << check.out;
    const program_result fix = ecc(dir, {"fix", "noisy.bin", "-o", "fixed.bin"}, layout);
    EXPECT_EQ(fix.exit_status, 0) << fix.err;
    EXPECT_TRUE(same_bytes(read_file(dir.file("fixed.bin")), enc)) << "fix did not restore";
    const program_result extract =
        ecc(dir, {"extract", "noisy.bin", "-o", "image.bin", "--bad-blocks", "keep"}, layout);
    EXPECT_EQ(extract.exit_status, 0) << extract.err;
    EXPECT_TRUE(same_bytes(read_file(dir.file("image.bin")), expected_image(l, enc, false)))
        << "extract";

    // More than t: left as read, or corrected into a verified codeword, never anything else.
    const std::string over = std::to_string(l.t + 1) + "-" + std::to_string(l.t + 3);
    ASSERT_EQ(ecc(dir, {"inject", "enc.bin", "-o", "bad.bin", "--flips", over}, layout).exit_status,
              0);
    const program_result bad_fix = ecc(dir, {"fix", "bad.bin", "-o", "bad_fixed.bin"}, layout);
    EXPECT_EQ(bad_fix.exit_status, 1) << bad_fix.out << bad_fix.err;
    const long long left = summary_value(bad_fix.out, "  uncorrectable:");
    EXPECT_GT(left, 0) << bad_fix.out;
    const program_result recheck = ecc(dir, {"check", "bad_fixed.bin"}, layout);
    EXPECT_EQ(summary_value(recheck.out, "  corrected:"), 0) << recheck.out;
    EXPECT_EQ(summary_value(recheck.out, "  uncorrectable:"), left) << recheck.out;
  }
}

TEST(PagolinthEccLayouts, ExtractSkipsBadBlocksAndAddsProtectedBytes) {
  const test_layout l = test_layouts()[1];  // 4 pages a block, marker [4096, 2]
  scratch_dir dir;
  write_file(dir.file("l.toml"), to_toml(l));
  const std::vector<std::string> layout = {"--layout", "l.toml"};
  const std::size_t page_bytes = static_cast<std::size_t>(l.page_size + l.spare_size);
  const int pages = 4 * 4;
  std::string raw = random_bytes(pages * page_bytes, 77);
  for (int p = 0; p < pages; ++p)
    raw.replace(p * page_bytes + 4096, 2, 2, '\xFF');
  raw[1 * 4 * page_bytes + 4096] = '\x00';        // block 1: first page marked
  raw[(2 * 4 + 3) * page_bytes + 4097] = '\xF0';  // block 2: last page marked
  write_file(dir.file("raw.bin"), raw);
  ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}, layout).exit_status, 0);
  const std::string enc = read_file(dir.file("enc.bin"));

  const program_result skip = ecc(dir, {"extract", "enc.bin", "-o", "skip.bin"}, layout);
  EXPECT_EQ(skip.exit_status, 0) << skip.err;
  EXPECT_TRUE(same_bytes(read_file(dir.file("skip.bin")), expected_image(l, enc, false, {1, 2})))
      << "bad blocks not skipped";
  EXPECT_NE(skip.out.find("bad blocks:      2"), std::string::npos) << skip.out;
  EXPECT_NE(skip.out.find(": 1 2\n"), std::string::npos) << skip.out;

  const program_result keep = ecc(
      dir, {"extract", "enc.bin", "-o", "keep.bin", "--bad-blocks", "keep", "--protected"}, layout);
  EXPECT_EQ(keep.exit_status, 0) << keep.err;
  EXPECT_TRUE(same_bytes(read_file(dir.file("keep.bin")), expected_image(l, enc, true)))
      << "protected bytes not after each page's data";

  // The marker pages' bytes are never user data, so a bad block's steps check as they are;
  // the verdict leaves them out.
  std::string broken = enc;
  for (std::size_t i = 4 * page_bytes; i < 5 * page_bytes; i += 7)
    broken[i] = static_cast<char>(~broken[i]);
  write_file(dir.file("broken.bin"), broken);
  const program_result check = ecc(dir, {"check", "broken.bin"}, layout);
  EXPECT_EQ(check.exit_status, 0) << check.out;
  EXPECT_EQ(summary_value(check.out, "  uncorrectable:"), 4) << check.out;
}

TEST(PagolinthEccLayouts, LayoutOptionsAndFilesAreCheckedWithOneLine) {
  scratch_dir dir;
  write_file(dir.file("d.bin"), random_bytes(4 * 2112, 3));
  write_file(dir.file("good.toml"), to_toml(test_layouts()[0]));
  write_file(dir.file("bad.toml"),
             "[geometry]\npage_size = 2048\nspare_size = 64\n"
             "block_pages = 64\n[code]\nm = 13\nt = -1\n");
  write_file(dir.file("small.toml"),
             "[geometry]\npage_size = 2048\nspare_size = 64\nblock_pages = 64\n[code]\nm = 13\n"
             "t = 8\n[[steps]]\ndata = [[0, 512]]\necc = [2048, 12]\n");
  const std::vector<std::vector<std::string>> cases = {
      {"check", "d.bin", "--layout", "good.toml", "--page-size", "2048"},
      {"check", "d.bin", "--layout", "good.toml", "-t", "4"},
      {"check", "d.bin", "--layout", "missing.toml"},
      {"check", "d.bin", "--layout", "bad.toml"},
      {"fix", "d.bin", "--layout", "small.toml", "-o", "x.bin"},
      {"extract", "d.bin", "-o", "x.bin", "--bad-blocks", "skip"},
      {"layout", "--layout", "bad.toml"},
  };
  for (const auto& words : cases) {
    std::string joined;
    for (const auto& w : words)
      joined += w + " ";
    SCOPED_TRACE("pagolinth-ecc " + joined);
    const program_result r = run_program(kTool, dir.path(), "", words);
    EXPECT_EQ(r.exit_status, 2);
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.bin")));
  }
  EXPECT_NE(run_program(kTool, dir.path(), "", cases[3]).err.find("code.t"), std::string::npos);
  EXPECT_NE(run_program(kTool, dir.path(), "", cases[4]).err.find("13"), std::string::npos);
}

TEST(PagolinthEccLayouts, TheLayoutCommandPrintsAFileThatReadsBack) {
  scratch_dir dir;
  write_file(dir.file("raw.bin"), random_bytes(5 * 4320, 8));
  const std::vector<std::string> geometry = {"--page-size",   "4096", "--spare-size", "224",
                                             "--block-pages", "2",    "-t",           "6"};
  const program_result printed = ecc(dir, {"layout"}, geometry);
  ASSERT_EQ(printed.exit_status, 0) << printed.err;
  write_file(dir.file("printed.toml"), printed.out);
  ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "a.bin"}, geometry).exit_status, 0);
  ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "b.bin", "--layout", "printed.toml"}).exit_status,
            0);
  EXPECT_TRUE(same_bytes(read_file(dir.file("b.bin")), read_file(dir.file("a.bin"))));
  const program_result again = ecc(dir, {"layout", "--layout", "printed.toml"});
  EXPECT_EQ(again.out, printed.out) << "printing is not stable";
}

TEST(PagolinthEccLayouts, ProbeFindsTheCodeSettingsOfALayout) {
  // Written lsb first with the erased-ff mask; the file handed to probe says msb and none.
  test_layout written = test_layouts()[1];
  written.bit_order = "lsb";
  written.mask = "erased-ff";
  test_layout guessed = test_layouts()[1];
  scratch_dir dir;
  write_file(dir.file("written.toml"), to_toml(written));
  write_file(dir.file("guessed.toml"), to_toml(guessed));
  write_file(dir.file("raw.bin"), random_bytes(4 * 4320, 21));
  ASSERT_EQ(
      ecc(dir, {"encode", "raw.bin", "-o", "enc.bin", "--layout", "written.toml"}).exit_status, 0);
  ASSERT_EQ(
      ecc(dir, {"inject", "enc.bin", "-o", "n.bin", "--flips", "0-20", "--layout", "written.toml"})
          .exit_status,
      0);
  const program_result r =
      ecc(dir, {"probe", "n.bin", "--layout", "guessed.toml", "--sectors", "12"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("best: in [code] of guessed.toml: t = 24, bit_order = \"lsb\", ecc_mask = "
                       "\"erased-ff\", pad = \"end\"\n"),
            std::string::npos)
      << r.out;
}

TEST(PagolinthEccLayouts, EveryExampleLayoutRoundTrips) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(PAGOLINTH_LAYOUTS)) {
    if (entry.path().extension() != ".toml")
      continue;
    ++files;
    const std::string path = entry.path().string();
    SCOPED_TRACE(path);
    nand_layout l;
    ASSERT_EQ(read_layout_file(path, l).message, "");
    scratch_dir dir;
    const std::vector<std::string> layout = {"--layout", path};
    const std::size_t page_bytes = static_cast<std::size_t>(raw_page_bytes(l));
    std::string raw = random_bytes(2 * page_bytes, static_cast<std::uint32_t>(files));
    write_file(dir.file("raw.bin"), raw);
    ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}, layout).exit_status, 0);
    const std::string flips = "0-" + std::to_string(l.code.t);
    ASSERT_EQ(ecc(dir, {"inject", "enc.bin", "-o", "n.bin", "--flips", flips}, layout).exit_status,
              0);
    const program_result fix = ecc(dir, {"fix", "n.bin", "-o", "fixed.bin"}, layout);
    EXPECT_EQ(fix.exit_status, 0) << fix.err;
    EXPECT_TRUE(same_bytes(read_file(dir.file("fixed.bin")), read_file(dir.file("enc.bin"))));
    const program_result extract =
        ecc(dir, {"extract", "n.bin", "-o", "image.bin", "--bad-blocks", "keep"}, layout);
    EXPECT_EQ(extract.exit_status, 0) << extract.err;
    const std::string enc = read_file(dir.file("enc.bin"));
    std::string want;
    for (std::size_t p = 0; p < 2; ++p) {
      for (const layout_step& step : l.steps) {
        for (const layout_span& d : step.data)
          want += enc.substr(p * page_bytes + static_cast<std::size_t>(d.offset),
                             static_cast<std::size_t>(d.length));
      }
    }
    EXPECT_TRUE(same_bytes(read_file(dir.file("image.bin")), want)) << "extract";
  }
  EXPECT_GE(files, 3) << "the example layouts were not found";
}

}  // namespace
