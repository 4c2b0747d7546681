// The generated modules simulated: pagolinth-bch writes each unit in both languages with its
// testbench, Icarus Verilog and GHDL run them, and every testbench must print its PASS line; a
// module with one term removed must make its testbench fail. Also the header's figures against
// the front end's own lines, and the file options' refusals, which must leave no file behind.
// Without iverilog or ghdl the simulations are skipped (the make targets install both).
#include "tests/support/run_program.h"
#include "tools/pagolinth_bch_main.h"  // run_pagolinth_bch

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE, GTEST_SKIP

#include <unistd.h>  // access, symlink

#include <algorithm>   // std::sort
#include <cstdio>      // std::tmpfile, std::fclose
#include <cstdlib>     // std::getenv
#include <filesystem>  // std::filesystem
#include <sstream>     // std::istringstream
#include <string>      // std::string, std::to_string
#include <vector>      // std::vector

namespace {

namespace fs = std::filesystem;

// The full name of `program` on PATH, or "".
std::string find_program(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

program_result run_tool(const std::string& cwd, const std::vector<std::string>& args) {
  return run_program(PAGOLINTH_BCH_EXE, cwd, "", args);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The header comment's line that starts with `key` (after the comment mark), or "".
std::string header_line(const std::string& text, const std::string& mark, const std::string& key) {
  for (const std::string& line : lines_of(text)) {
    if (line.rfind(mark + " " + key, 0) == 0) {
      return line.substr(mark.size() + 1);
    }
  }
  return "";
}

long long count_of(const std::string& text, const std::string& token) {
  long long count = 0;
  for (std::size_t at = text.find(token); at != std::string::npos;
       at = text.find(token, at + token.size())) {
    ++count;
  }
  return count;
}

// Checks the header against the front end's two lines and the gate count against the
// operators in the module's body.
void check_header(const std::string& text, const std::string& mark, const std::string& op,
                  const std::vector<std::string>& tool_lines) {
  ASSERT_GE(tool_lines.size(), 2u);
  EXPECT_EQ(header_line(text, mark, "m="), tool_lines[0]);
  EXPECT_EQ(header_line(text, mark, "g="), tool_lines[1]);
  const std::string count_line = header_line(text, mark, "2-input XOR gates before any sharing: ");
  ASSERT_FALSE(count_line.empty());
  const long long claimed = std::stoll(count_line.substr(count_line.rfind(' ') + 1));
  const std::size_t body = text.find(mark == "//" ? "\nmodule " : "\nentity ");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(count_of(text.substr(body), op), claimed);
}

// Output of iverilog + vvp on the two files, or of ghdl -a/-e/-r; the status of the last step.
program_result simulate_verilog(const std::string& dir, const std::string& module,
                                const std::string& testbench) {
  const program_result built = run_program(find_program("iverilog"), dir, "",
                                           {"-g2001", "-o", "sim.vvp", module, testbench});
  if (built.exit_status != 0) {
    return built;
  }
  return run_program(find_program("vvp"), dir, "", {"-n", "sim.vvp"});
}

program_result simulate_vhdl(const std::string& dir, const std::string& module,
                             const std::string& testbench, const std::string& top) {
  const std::string ghdl = find_program("ghdl");
  // The module must pass plain VHDL-93; so does the testbench.
  program_result step = run_program(ghdl, dir, "", {"-a", "--std=93", module, testbench});
  if (step.exit_status == 0) {
    step = run_program(ghdl, dir, "", {"-e", "--std=93", top});
  }
  if (step.exit_status == 0) {
    step = run_program(ghdl, dir, "", {"-r", "--std=93", top});
  }
  return step;
}

bool simulators_missing() {
  return find_program("iverilog").empty() || find_program("vvp").empty() ||
         find_program("ghdl").empty();
}

constexpr char kSkip[] =
    "iverilog/vvp or ghdl is not installed (Debian's iverilog and ghdl; make test installs them)";

// Writes both units of (m, t, p) in both languages with testbenches, checks the headers and
// simulates all four.
void simulate_case(int m, int t, int p) {
  const std::string label =
      "case m=" + std::to_string(m) + " t=" + std::to_string(t) + " p=" + std::to_string(p);
  SCOPED_TRACE(label);
  scratch_dir dir;
  const program_result tool = run_tool(
      dir.path(), {"-m", std::to_string(m), "-t", std::to_string(t), "-p", std::to_string(p),
                   "--verilog", "enc.v", "--vhdl", "enc.vhd", "--syndrome-verilog", "syn.v",
                   "--syndrome-vhdl", "syn.vhd", "--testbench"});
  ASSERT_EQ(tool.exit_status, 0) << tool.err;
  const std::vector<std::string> tool_lines = lines_of(tool.out);
  ASSERT_EQ(tool_lines.size(), 2u) << tool.out;
  const std::string used_p = tool_lines[0].substr(tool_lines[0].rfind("p=") + 2);
  const std::string suffix = "_m" + std::to_string(m) + "_t" + std::to_string(t) + "_p" + used_p;

  const struct {
    const char* file;
    const char* name;
    bool verilog;
  } units[] = {{"enc", "bch_encoder", true},
               {"enc", "bch_encoder", false},
               {"syn", "bch_syndrome", true},
               {"syn", "bch_syndrome", false}};
  for (const auto& u : units) {
    const std::string name = u.name + suffix;
    const std::string ext = u.verilog ? ".v" : ".vhd";
    SCOPED_TRACE(name + ext);
    const std::string module = std::string(u.file) + ext;
    const std::string testbench = std::string(u.file) + "_tb" + ext;
    check_header(read_file(dir.file(module)), u.verilog ? "//" : "--", u.verilog ? " ^ " : " xor ",
                 tool_lines);
    if (simulators_missing()) {
      continue;
    }
    const program_result sim = u.verilog
                                   ? simulate_verilog(dir.path(), module, testbench)
                                   : simulate_vhdl(dir.path(), module, testbench, name + "_tb");
    EXPECT_EQ(sim.exit_status, 0) << sim.out << sim.err;
    const std::vector<std::string> out = lines_of(sim.out);
    int passes = 0;
    for (const std::string& line : out) {
      passes += line == "PASS " + name + " vectors=32";
      EXPECT_NE(line.rfind("FAIL", 0), 0u) << line;
    }
    EXPECT_EQ(passes, 1) << sim.out << sim.err;
  }
  if (simulators_missing()) {
    GTEST_SKIP() << kSkip;
  }
}

TEST(HdlSimulation, M13T8P8) {
  simulate_case(13, 8, 8);
}
TEST(HdlSimulation, M13T8P32) {
  simulate_case(13, 8, 32);
}
TEST(HdlSimulation, M13T4P1) {
  simulate_case(13, 4, 1);
}
TEST(HdlSimulation, M14T24P64) {
  simulate_case(14, 24, 64);
}
// P = 7 does not divide the message lengths: the words are padded at their start.
TEST(HdlSimulation, M5T3P7) {
  simulate_case(5, 3, 7);
}
// P above r is lowered to r = 52: one clock per 52 bits.
TEST(HdlSimulation, M13T4PEqualsR) {
  simulate_case(13, 4, 999);
}
// A field the engine does not take: the testbench's parity comes from the long division.
TEST(HdlSimulation, M4T2P3) {
  simulate_case(4, 2, 3);
}

// Removes the first register term of the row of bit `row`: a wrong gate, as a slip in a hand
// translation of the matrix would make.
std::string without_one_term(const std::string& text, const std::string& row_start,
                             const std::string& op) {
  std::string spoiled = text;
  const std::size_t row = spoiled.find(row_start);
  const std::size_t term = spoiled.find(op, row);
  if (row == std::string::npos || term == std::string::npos) {
    return "";
  }
  const std::size_t end = spoiled.find_first_of(" ;", term + op.size());
  spoiled.erase(term, end - term);
  return spoiled;
}

TEST(HdlSimulation, AWrongGateFailsTheTestbench) {
  if (simulators_missing()) {
    GTEST_SKIP() << kSkip;
  }
  scratch_dir dir;
  const program_result tool =
      run_tool(dir.path(), {"-m", "5", "-t", "3", "-p", "7", "--syndrome-verilog", "s.v",
                            "--syndrome-vhdl", "s.vhd", "--testbench"});
  ASSERT_EQ(tool.exit_status, 0) << tool.err;
  const std::string name = "bch_syndrome_m5_t3_p7";
  {
    SCOPED_TRACE("case Verilog, bit 6 of S_1 short of a term");
    const std::string spoiled = without_one_term(read_file(dir.file("s.v")), "state[6] <=", " ^ ");
    ASSERT_FALSE(spoiled.empty());
    write_file(dir.file("s.v"), spoiled);
    const program_result sim = simulate_verilog(dir.path(), "s.v", "s_tb.v");
    EXPECT_NE(sim.out.find("FAIL " + name + " vectors=32 mismatches="), std::string::npos)
        << sim.out << sim.err;
    EXPECT_EQ(sim.out.find("PASS"), std::string::npos) << sim.out;
  }
  {
    SCOPED_TRACE("case VHDL, bit 6 of S_1 short of a term");
    const std::string spoiled =
        without_one_term(read_file(dir.file("s.vhd")), "state(6) <=", " xor ");
    ASSERT_FALSE(spoiled.empty());
    write_file(dir.file("s.vhd"), spoiled);
    const program_result sim = simulate_vhdl(dir.path(), "s.vhd", "s_tb.vhd", name + "_tb");
    EXPECT_NE(sim.exit_status, 0) << "severity failure ends the run";
    EXPECT_NE(sim.out.find("FAIL " + name + " vectors=32 mismatches="), std::string::npos)
        << sim.out << sim.err;
  }
}

std::vector<std::string> entries_of(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(HdlFrontEnd, RefusalsWriteNoFile) {
  const struct {
    const char* args;
    int status;
  } cases[] = {
      {"-m 1 --verilog a.v", 2},
      {"-m 21 --vhdl a.vhd", 2},
      {"-t 0 --syndrome-verilog a.v", 2},
      {"-m 5 -t 16 --verilog a.v", 2},
      {"-m 13 -t 999 --verilog a.v --testbench", 2},
      {"-p 0 --verilog a.v", 2},
      {"--verilog", 2},
      {"--testbench", 2},
      {"--name enc", 2},
      {"--name bad__name --verilog a.v", 2},
      {"--name module --verilog a.v", 2},
      {"--name enc --verilog a.v --syndrome-vhdl b.vhd", 2},
      {"--verilog a.v --syndrome-verilog a.v", 2},
      {"--verilog a.v --syndrome-verilog a_tb.v --testbench", 2},
      {"--verilog folder", 1},
      {"--verilog link.v", 1},
      {"--vhdl full.vhd", 1},
      {"--verilog a.v --vhdl folder/x/y.vhd", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("case ") + c.args);
    scratch_dir dir;
    fs::create_directory(dir.file("folder"));
    write_file(dir.file("full.vhd"), "kept");
    write_file(dir.file("target"), "");
    ASSERT_EQ(symlink("target", dir.file("link.v").c_str()), 0);
    const std::vector<std::string> before = entries_of(dir.path());
    std::vector<std::string> args;
    std::istringstream words(c.args);
    for (std::string w; words >> w;) {
      args.push_back(w);
    }
    const program_result r = run_tool(dir.path(), args);
    EXPECT_EQ(r.exit_status, c.status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("pagolinth-bch: "), std::string::npos);
    EXPECT_EQ(entries_of(dir.path()), before);
    EXPECT_EQ(read_file(dir.file("full.vhd")), "kept");
    EXPECT_EQ(read_file(dir.file("target")), "");
  }
}

TEST(HdlFrontEnd, ForceReplacesAndNameIsUsed) {
  scratch_dir dir;
  write_file(dir.file("e.v"), "old");
  const program_result refused = run_tool(dir.path(), {"--verilog", "e.v"});
  EXPECT_EQ(refused.exit_status, 1) << "case without --force";
  EXPECT_EQ(read_file(dir.file("e.v")), "old");
  const program_result forced =
      run_tool(dir.path(), {"--verilog", "e.v", "--force", "--name", "tx_ecc"});
  EXPECT_EQ(forced.exit_status, 0) << "case --force: " << forced.err;
  const std::string text = read_file(dir.file("e.v"));
  EXPECT_NE(text.find("\nmodule tx_ecc (\n"), std::string::npos) << "case --force";
  EXPECT_NE(text.find("Generated by: pagolinth-bch -m 13 -t 4 -p 8 --name tx_ecc --verilog FILE"),
            std::string::npos)
      << "case --force";
  // Standard output is what it was without files.
  const program_result plain = run_tool(dir.path(), {});
  EXPECT_EQ(forced.out, plain.out) << "case stdout";
}

TEST(HdlFrontEnd, NoFilesWhenTheCallerForbidsThem) {
  scratch_dir dir;
  const std::string file = dir.file("e.v");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--verilog", file},
                                               {"--syndrome-vhdl", file, "--testbench"},
                                               {"--force"},
                                               {"--name", "x"}}) {
    SCOPED_TRACE("case " + args[0]);
    std::vector<const char*> argv{"pagolinth-bch"};
    for (const std::string& a : args) {
      argv.push_back(a.c_str());
    }
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    EXPECT_EQ(run_pagolinth_bch(static_cast<int>(argv.size()), argv.data(), out, err, false), 2);
    std::fclose(out);
    std::fclose(err);
    EXPECT_TRUE(entries_of(dir.path()).empty());
  }
}

}  // namespace
