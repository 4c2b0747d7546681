// End-to-end tests of pagolinth-ecc: one run of each command over the built program, what it
// writes compared with the commands library given the same request, and what only a process
// shows: exit statuses, one-line messages for bad usage, options before the command, and the
// dump on standard output with the summary on standard error. The rest is tests/commands/.
#include <gtest/gtest.h>

#include <algorithm>   // std::find
#include <filesystem>  // std::filesystem
#include <random>      // std::mt19937
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/commands/command_test_support.h"  // request, encoded_dump, built_in, has, ...
#include "tests/detect/dump_generator.h"          // generate_dump
#include "tests/support/run_program.h"            // scratch_dir, run_program, read_file

namespace {

using namespace command_test;

class PagolinthEcc : public testing::Test {
 protected:
  // One small dump for the tests: 8 random pages of the built-in layout as raw.bin, encoded as
  // enc.bin and with 0 to 4 bit errors a sector as noisy.bin, made through the library.
  void SetUp() override { encoded_dump(dir, 8 * 2112, 5, 4); }

  program_result ecc(const std::vector<std::string>& words) const {
    return run_program(PAGOLINTH_ECC, dir.path(), "", words);
  }

  // What the library writes to `out` for `q`, whose names are in `dir`.
  std::string library_output(pass_request q) const {
    q.dump = dir.file(q.dump);
    q.out = dir.file("library.bin");
    q.no_audit = q.force = true;
    EXPECT_TRUE(run_pass(q).error.ok());
    return read_file(q.out);
  }

  scratch_dir dir;
};

TEST_F(PagolinthEcc, Check) {
  const program_result r = ecc({"check", "noisy.bin", "--report", "r p.html"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("dump:            noisy.bin, 16896 bytes\n", 0), 0u) << r.out;
  EXPECT_TRUE(has(r.out, "\n  uncorrectable: 0\n")) << r.out;
  // The words typed reach the report, quoted for the shell.
  EXPECT_TRUE(has(read_file(dir.file("r p.html")), " check noisy.bin --report &#39;r p.html&#39;"));
  // Uncorrectable sectors: status 1.
  EXPECT_EQ(ecc({"check", "raw.bin"}).exit_status, 1);
}

TEST_F(PagolinthEcc, FixToStandardOutput) {
  const program_result r = ecc({"fix", "noisy.bin", "-o", "-"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(same_bytes(r.out, read_file(dir.file("enc.bin")))) << "standard output";
  // The summary goes to standard error then, whole.
  EXPECT_EQ(r.err.rfind("dump:            noisy.bin, 16896 bytes\n", 0), 0u) << r.err;
  EXPECT_TRUE(has(r.err, "\nwritten:         standard output\n")) << r.err;
}

TEST_F(PagolinthEcc, Extract) {
  const program_result r = ecc({"extract", "noisy.bin", "-o", "image.bin", "--bad-blocks", "keep"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "\nextracted:       8 pages; 0 uncorrectable sectors written as read\n"));
  pass_request q = request(pass_command::extract, "noisy.bin");
  q.bad_blocks = bad_block_choice::keep;
  EXPECT_TRUE(same_bytes(read_file(dir.file("image.bin")), library_output(q)));
}

TEST_F(PagolinthEcc, EncodeWithEveryBuiltInLayoutOption) {
  const program_result r = ecc({"encode", "raw.bin", "-o", "e.bin", "--page-size", "4096",
                                "--spare-size", "224", "--block-pages", "2", "-t", "4",
                                "--bit-order", "lsb", "--ecc-mask", "erased-ff", "--threads", "2"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "\naudit:           e.bin.audit.json\n")) << r.out;
  pass_request q = request(pass_command::encode, "raw.bin", "", built_in(4096, 224, 2, 4));
  q.layout.lsb_first = q.layout.erased_ff = true;
  EXPECT_TRUE(same_bytes(read_file(dir.file("e.bin")), library_output(q)));
}

TEST_F(PagolinthEcc, Inject) {
  const program_result r =
      ecc({"inject", "enc.bin", "-o", "n.bin", "--flips", "1-3", "--seed", "9"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(
      same_bytes(read_file(dir.file("n.bin")),
                 library_output(request(pass_command::inject, "enc.bin", "", {}, 1, 3, 9))));
  EXPECT_TRUE(has(r.out, "\nbits flipped:    ")) << r.out;
}

TEST_F(PagolinthEcc, Combine) {
  const program_result r =
      ecc({"combine", "noisy.bin", "raw.bin", "-o", "c.bin", "--csv", "c.csv", "--threads", "2"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(same_bytes(read_file(dir.file("c.bin")), read_file(dir.file("enc.bin"))));
  EXPECT_TRUE(has(r.out, "\n  from one read: 32 (read 1: 32, read 2: 0)\n")) << r.out;
  EXPECT_TRUE(has(read_file(dir.file("c.csv")), ",source\n"));
}

TEST_F(PagolinthEcc, ProbesSuggestionRunsInAShell) {
  // The printed command line, run by a shell, must check this very file.
  const std::string name = "it's a dump (2) $HOME;.bin";
  std::filesystem::rename(dir.file("noisy.bin"), dir.file(name));
  const program_result probe = ecc({"probe", name, "--sectors", "40"});
  ASSERT_EQ(probe.exit_status, 0) << probe.out << probe.err;
  const std::size_t at = probe.out.find("\nbest: ");
  ASSERT_NE(at, std::string::npos) << probe.out;
  const std::string line = probe.out.substr(at + 7, probe.out.find('\n', at + 1) - at - 7);
  const std::string bin = std::filesystem::path(PAGOLINTH_ECC).parent_path().string();
  const program_result check =
      run_program("/bin/sh", dir.path(), "", {"-c", "PATH='" + bin + "':$PATH; " + line});
  EXPECT_EQ(check.exit_status, 0) << line << "\n" << check.err;
  EXPECT_TRUE(has(check.out, "\n  corrected:     ")) << line << "\n" << check.out;
  // Random data: nothing beats chance, status 1.
  EXPECT_EQ(ecc({"probe", "raw.bin"}).exit_status, 1);
}

TEST_F(PagolinthEcc, Layout) {
  const program_result r = ecc({"layout", "--page-size", "4096", "--spare-size", "224"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, run_layout({built_in(4096, 224)}).toml);
}

TEST_F(PagolinthEcc, DetectPrintsALayoutFileThatCheckTakes) {
  // A generated dump whose layout the search finds fast (see tests/commands/findings_test.cpp).
  std::mt19937 rng(28);
  const detect_test::generated_dump d = detect_test::generate_dump(rng, true, 32);
  write_file(dir.file("dump.bin"), std::string(d.bytes.begin(), d.bytes.end()));
  const program_result r =
      ecc({"detect", "dump.bin", "--page-size", std::to_string(d.truth.page_size), "--spare-size",
           std::to_string(d.truth.spare_size), "--quick"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  write_file(dir.file("printed.toml"), r.out);
  const program_result check = ecc({"check", "dump.bin", "--layout", "printed.toml"});
  EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
}

TEST_F(PagolinthEcc, VerifyAudit) {
  ASSERT_EQ(ecc({"fix", "noisy.bin", "-o", "f.bin"}).exit_status, 0);
  program_result r = ecc({"verify-audit", "f.bin.audit.json"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "\nverified: every file the record names is as recorded\n")) << r.out;
  write_file(dir.file("f.bin"), "changed");
  r = ecc({"verify-audit", "f.bin.audit.json"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_TRUE(has(r.out, "output: CHANGED  ")) << r.out;
}

TEST_F(PagolinthEcc, BadUsageGetsOneLineAndStatusTwo) {
  write_file(dir.file("l.toml"), run_layout({}).toml);
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"scrub", "noisy.bin"},
      {"check"},
      {"check", "noisy.bin", "--bit-order", "middle"},
      {"check", "noisy.bin", "--page-size", "x"},
      {"check", "noisy.bin", "--threads", "0"},
      {"check", "noisy.bin", "--layout", "l.toml", "--page-size", "2048"},
      {"check", "noisy.bin", "--layout", "l.toml", "-t", "4"},
      {"inject", "noisy.bin", "-o", "x.bin"},
      {"inject", "noisy.bin", "-o", "x.bin", "--flips", "two"},
      {"fix", "noisy.bin", "-o", "x.bin", "--audit", "x", "--no-audit"},
      {"detect", "noisy.bin", "--page-size", "2048"},
      {"detect", "noisy.bin", "--pages", "3"},
      {"--flips", "3", "check", "noisy.bin"},
      {"verify-audit", "noisy.bin"},
      {"check", "missing.bin"},
      {"combine", "noisy.bin", "-o", "x.bin"},
      {"combine", "noisy.bin", "enc.bin"},
      {"combine", "noisy.bin", "enc.bin", "-o", "x.bin", "--search-budget", "-1"},
      {"combine", "noisy.bin", "noisy.bin", "-o", "x.bin"},
      {"xor-key", "noisy.bin"},
      {"xor-key", "noisy.bin", "-o", "x.bin", "--period", "0"},
  };
  for (const auto& words : cases) {
    std::string line;
    for (const auto& w : words)
      line += " " + w;
    SCOPED_TRACE("case pagolinth-ecc" + line);
    const program_result r = ecc(words);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err.rfind("pagolinth-ecc: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.bin")));
  }
  // A library's refusal is printed as it is.
  EXPECT_EQ(ecc({"check", "missing.bin"}).err, "pagolinth-ecc: missing.bin: no such file\n");
  EXPECT_TRUE(has(ecc({"--flips", "3", "check", "noisy.bin"}).err, "--flips"));
  const program_result help = ecc({"fix", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_TRUE(has(help.out, "Example: pagolinth-ecc fix")) << help.out;
}

TEST_F(PagolinthEcc, OptionsMayComeBeforeTheCommand) {
  // Each written before the command and after it: the same output.
  const struct {
    std::vector<std::string> before, after;
  } cases[] = {
      {{"--page-size", "4096", "--spare-size", "224", "encode", "raw.bin", "-o", "b1.bin"},
       {"encode", "raw.bin", "-o", "a1.bin", "--page-size", "4096", "--spare-size", "224"}},
      // Values attached to their options, a seed other than the default.
      {{"-t8", "--seed=3", "inject", "enc.bin", "-o", "b2.bin", "--flips", "2"},
       {"inject", "enc.bin", "-o", "a2.bin", "--flips", "2", "-t", "8", "--seed", "3"}},
      // A value that reads like a command stays a value: an output named "check".
      {{"--no-audit", "-o", "check", "encode", "noisy.bin"},
       {"encode", "noisy.bin", "-o", "a3.bin", "--no-audit"}},
  };
  const auto output = [this](const std::vector<std::string>& words) {
    return read_file(dir.file(*(std::find(words.begin(), words.end(), "-o") + 1)));
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + c.before[0]);
    const program_result before = ecc(c.before), after = ecc(c.after);
    ASSERT_EQ(before.exit_status, 0) << before.err;
    ASSERT_EQ(after.exit_status, 0) << after.err;
    EXPECT_TRUE(same_bytes(output(c.before), output(c.after)));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("check.audit.json"))) << "--no-audit was lost";
  EXPECT_TRUE(same_bytes(read_file(dir.file("b2.bin")),
                         library_output(request(pass_command::inject, "enc.bin", "", {}, 2, 2, 3))))
      << "the seed";

  // A layout file named "check".
  write_file(dir.file("check"), run_layout({}).toml);
  const program_result named = ecc({"--layout", "check", "check", "enc.bin"});
  EXPECT_EQ(named.exit_status, 0) << named.err;
  EXPECT_TRUE(has(named.out, "\n  clean:         32\n")) << named.out;
  // detect's own flag before it; the erased dump leaves nothing to search.
  write_file(dir.file("erased.bin"), std::string(4 * 2112, '\xFF'));
  const program_result quick =
      ecc({"--quick", "detect", "erased.bin", "--page-size", "2048", "--spare-size", "64"});
  EXPECT_EQ(quick.exit_status, 1) << quick.err;
  EXPECT_TRUE(has(quick.out, "skipped (--quick)")) << quick.out;
}

}  // namespace
