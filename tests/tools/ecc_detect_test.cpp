// End-to-end tests of pagolinth-ecc detect over the built executable: the layout file it
// writes, or prints, is taken by check as it is and decodes the generated dump; a dump without
// ECC gives exit status 1 and what was ruled out; bad usage and inputs give status 2 and leave
// no output behind.
#include <gtest/gtest.h>

#include <filesystem>  // std::filesystem::exists
#include <random>      // std::mt19937
#include <string>      // std::string

#include "layout/layout_file.h"           // read_layout_file
#include "tests/detect/dump_generator.h"  // generate_dump
#include "tests/support/run_program.h"    // scratch_dir, run_program, read_file, write_file

namespace {

const std::string kTool = PAGOLINTH_ECC;

std::string as_text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(EccDetect, WritesALayoutThatCheckTakes) {
  for (unsigned seed : {13u, 20u}) {
    SCOPED_TRACE("case seed " + std::to_string(seed));
    scratch_dir dir;
    std::mt19937 rng(seed);
    const detect_test::generated_dump d = detect_test::generate_dump(rng, true, 128);
    write_file(dir.file("dump.bin"), as_text(d.bytes));
    const std::string page = std::to_string(d.truth.page_size);
    const std::string spare = std::to_string(d.truth.spare_size);
    program_result r = run_program(
        kTool, dir.path(), "",
        {"detect", "dump.bin", "--page-size", page, "--spare-size", spare, "-o", "found.toml"});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("# found: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("odds of chance"), std::string::npos) << r.out;
    nand_layout found;
    ASSERT_EQ(read_layout_file(dir.file("found.toml"), found).message, "");
    EXPECT_EQ(found.steps.size(), d.truth.steps.size());
    EXPECT_EQ(found.code.m, d.truth.code.m);
    EXPECT_EQ(found.code.t, d.truth.code.t);
    // check decodes every step with it: none uncorrectable beyond what the dump holds.
    r = run_program(kTool, dir.path(), "", {"check", "dump.bin", "--layout", "found.toml"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("uncorrectable: 0"), std::string::npos) << r.out;

    // Without -o the layout file goes to standard output, report and all, and reads back alike.
    r = run_program(kTool, dir.path(), "",
                    {"detect", "dump.bin", "--page-size", page, "--spare-size", spare});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    write_file(dir.file("printed.toml"), r.out);
    EXPECT_EQ(read_file(dir.file("printed.toml")), read_file(dir.file("found.toml")));
    // Without the geometry it is guessed, and said so.
    if (seed == 13u) {
      r = run_program(kTool, dir.path(), "", {"detect", "dump.bin"});
      EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
      EXPECT_NE(r.out.find("(guessed"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("page_size = " + page), std::string::npos) << r.out;
    }
    // An existing output is kept without --force.
    r = run_program(
        kTool, dir.path(), "",
        {"detect", "dump.bin", "--page-size", page, "--spare-size", spare, "-o", "found.toml"});
    EXPECT_EQ(r.exit_status, 2) << r.out;
    r = run_program(kTool, dir.path(), "",
                    {"detect", "dump.bin", "--page-size", page, "--spare-size", spare, "-o",
                     "found.toml", "--force"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
  }
}

TEST(EccDetect, SaysSoWhenNothingBeatsChance) {
  scratch_dir dir;
  std::mt19937 rng(101);
  const detect_test::generated_dump d = detect_test::generate_dump(rng, false, 32);
  write_file(dir.file("plain.bin"), as_text(d.bytes));
  const program_result r = run_program(
      kTool, dir.path(), "",
      {"detect", "plain.bin", "--page-size", std::to_string(d.truth.page_size), "--spare-size",
       std::to_string(d.truth.spare_size), "-o", "none.toml", "--quick"});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("nothing convincing found"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("skipped (--quick)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ruled out: "), std::string::npos) << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir.file("none.toml"))) << "case no layout written";
}

TEST(EccDetect, RefusesBadUsageAndInputs) {
  scratch_dir dir;
  write_file(dir.file("small.bin"), std::string(100, '\xFF'));
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"missing dump", {"detect", "absent.bin", "--page-size", "2048", "--spare-size", "64"}},
      {"folder", {"detect", ".", "--page-size", "2048", "--spare-size", "64"}},
      {"page size alone", {"detect", "small.bin", "--page-size", "2048"}},
      {"page below 512", {"detect", "small.bin", "--page-size", "256", "--spare-size", "16"}},
      {"no whole page", {"detect", "small.bin", "--page-size", "2048", "--spare-size", "64"}},
      {"too few pages sampled", {"detect", "small.bin", "--pages", "3"}},
      {"output is the dump",
       {"detect", "small.bin", "--page-size", "2048", "--spare-size", "64", "-o", "small.bin",
        "--force"}},
  };
  for (const auto& c : cases) {
    const program_result r = run_program(kTool, dir.path(), "", c.args);
    EXPECT_EQ(r.exit_status, 2) << "case " << c.name << ": " << r.out << r.err;
    EXPECT_NE(r.err.find("pagolinth-ecc"), std::string::npos) << "case " << c.name;
  }
  EXPECT_EQ(read_file(dir.file("small.bin")), std::string(100, '\xFF')) << "case input kept";
}
