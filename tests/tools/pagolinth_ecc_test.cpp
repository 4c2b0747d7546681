// End-to-end tests of pagolinth-ecc over the built executable: encode, inject, check and fix
// round trips for both variants and several geometries, uncorrectable and erased sectors,
// truncated dumps, refused outputs and usage, probe, and thread-count independence.
#include <gtest/gtest.h>

#include <cstdint>     // std::uint32_t
#include <filesystem>  // std::filesystem::exists
#include <random>      // std::mt19937
#include <string>      // std::string
#include <vector>      // std::vector

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
    (void)entry;
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

}  // namespace
