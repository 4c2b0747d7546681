// End-to-end tests of pagolinth-ecc's audit records: one per command, their hashes against
// sha256sum run here and their counts against the printed summary, the changed bits applied to
// the input giving the output, verify-audit on untouched, changed, missing and malformed files,
// and no record after an output that failed midway.
#include <gtest/gtest.h>
#include <sys/resource.h>  // setrlimit, RLIMIT_FSIZE
#include <sys/wait.h>      // waitpid
#include <unistd.h>        // fork, execv, chdir

#include <nlohmann/json.hpp>  // nlohmann::json

#include <cstdio>      // popen
#include <filesystem>  // std::filesystem
#include <random>      // std::mt19937
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/support/run_program.h"  // scratch_dir, run_program, read_file, write_file

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
const std::string kTool = PAGOLINTH_ECC;

program_result ecc(const scratch_dir& dir, const std::vector<std::string>& words) {
  return run_program(kTool, dir.path(), "", words);
}

std::string sha256sum(const std::string& path) {
  std::FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
  char line[128] = {0};
  const bool got = pipe && std::fgets(line, sizeof line, pipe) != nullptr;
  if (pipe)
    pclose(pipe);
  return got ? std::string(line).substr(0, 64) : "sha256sum failed";
}

json record_at(const std::string& path) {
  return json::parse(read_file(path), nullptr, false);
}

long long summary_value(const std::string& out, const std::string& label) {
  const std::size_t at = out.find(label);
  return at == std::string::npos ? -1 : std::stoll(out.substr(at + label.size()));
}

// A dump of random data, encoded, with bit errors: 16 pages of the built-in layout.
void make_noisy(const scratch_dir& dir) {
  std::mt19937 gen(7);
  std::string raw(16 * 2112, '\0');
  for (char& c : raw)
    c = static_cast<char>(gen());
  write_file(dir.file("raw.bin"), raw);
  ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin", "--no-audit"}).exit_status, 0);
  ASSERT_EQ(ecc(dir, {"inject", "enc.bin", "-o", "noisy.bin", "--flips", "0-10", "--no-audit"})
                .exit_status,
            1 - 1);
}

// The record's changed bits applied to `input`.
std::string applied(const json& record, std::string input) {
  for (const json& step : record["changed_steps"])
    for (const json& bit : step["bits"])
      input[bit[0].get<std::size_t>()] ^= static_cast<char>(1 << bit[1].get<int>());
  return input;
}

TEST(AuditCommand, EveryWritingCommandLeavesARecordThatMatches) {
  scratch_dir dir;
  make_noisy(dir);
  struct one {
    std::vector<std::string> words;
    std::string input, output, record;
    bool dump_like;  // the output has the input's layout: its bits are listed as changed
  };
  const one cases[] = {
      {{"fix", "noisy.bin", "-o", "fixed.bin"},
       "noisy.bin",
       "fixed.bin",
       "fixed.bin.audit.json",
       true},
      {{"encode", "raw.bin", "-o", "enc2.bin"}, "raw.bin", "enc2.bin", "enc2.bin.audit.json", true},
      {{"inject", "enc.bin", "-o", "inj.bin", "--flips", "3"},
       "enc.bin",
       "inj.bin",
       "inj.bin.audit.json",
       true},
      {{"extract", "noisy.bin", "-o", "image.bin", "--audit", "x.json"},
       "noisy.bin",
       "image.bin",
       "x.json",
       false},
  };
  for (const one& c : cases) {
    SCOPED_TRACE("case " + c.words[0]);
    const program_result r = ecc(dir, c.words);
    ASSERT_LE(r.exit_status, 1) << r.err;
    const json rec = record_at(dir.file(c.record));
    ASSERT_FALSE(rec.is_discarded()) << read_file(dir.file(c.record));
    EXPECT_EQ(rec["command"], c.words[0]);
    EXPECT_EQ(rec["command_line"].size(), c.words.size() + 1);
    EXPECT_EQ(rec["input"]["sha256"], sha256sum(dir.file(c.input)));
    EXPECT_EQ(rec["output"]["sha256"], sha256sum(dir.file(c.output)));
    EXPECT_EQ(rec["input"]["bytes"], fs::file_size(dir.file(c.input)));
    EXPECT_EQ(rec["output"]["bytes"], fs::file_size(dir.file(c.output)));
    EXPECT_EQ(rec["exit_status"], r.exit_status);
    EXPECT_EQ(r.out.find("audit:           " + c.record) != std::string::npos, true) << r.out;
    if (c.dump_like) {
      EXPECT_EQ(applied(rec, read_file(dir.file(c.input))), read_file(dir.file(c.output)));
    }
    if (c.words[0] == "fix" || c.words[0] == "extract") {
      EXPECT_EQ(rec["summary"]["clean"], summary_value(r.out, "  clean:         "));
      EXPECT_EQ(rec["summary"]["corrected"], summary_value(r.out, "  corrected:     "));
      EXPECT_EQ(rec["summary"]["uncorrectable"], summary_value(r.out, "  uncorrectable: "));
      // "N from 1 to 0" counts bits that had fallen, which the output turns back to 1.
      const std::size_t at = r.out.find("bit flips fixed: ");
      ASSERT_NE(at, std::string::npos);
      const long long fell = std::stoll(r.out.substr(r.out.find('(', at) + 1));
      EXPECT_EQ(rec["changed"]["bits_0_to_1"], fell);
    }
    if (c.words[0] == "inject") {
      EXPECT_EQ(rec["summary"]["bits_injected"], summary_value(r.out, "bits flipped:    "));
      EXPECT_EQ(rec["changed"]["steps"], 16 * 4);
    }
  }
}

TEST(AuditCommand, CheckStandardOutputAndRefusals) {
  scratch_dir dir;
  make_noisy(dir);
  // check writes a record only when asked, and refers to the CSV instead of listing bits.
  program_result r = ecc(dir, {"check", "noisy.bin", "--csv", "e.csv"});
  EXPECT_FALSE(fs::exists(dir.file("noisy.bin.audit.json")));
  r = ecc(dir, {"check", "noisy.bin", "--csv", "e2.csv", "--audit", "c.json"});
  json rec = record_at(dir.file("c.json"));
  ASSERT_FALSE(rec.is_discarded());
  EXPECT_EQ(rec["changed_steps_in_csv"], "e2.csv");
  EXPECT_FALSE(rec.contains("changed_steps"));
  EXPECT_EQ(rec["csv"]["sha256"], sha256sum(dir.file("e2.csv")));
  EXPECT_FALSE(rec.contains("output"));
  EXPECT_EQ(rec["changed"]["steps"], rec["summary"]["corrected"]);

  // -o -: none by default; with --audit, the hash of what went to standard output.
  r = ecc(dir, {"fix", "noisy.bin", "-o", "-"});
  EXPECT_NE(r.err.find("audit:           none"), std::string::npos) << r.err;
  r = ecc(dir, {"fix", "noisy.bin", "-o", "-", "--audit", "piped.json"});
  write_file(dir.file("piped.bin"), r.out);
  rec = record_at(dir.file("piped.json"));
  ASSERT_FALSE(rec.is_discarded());
  EXPECT_EQ(rec["output"]["path"], "-");
  EXPECT_EQ(rec["output"]["sha256"], sha256sum(dir.file("piped.bin")));

  // --no-audit, and names that clash, are honoured and refused.
  r = ecc(dir, {"fix", "noisy.bin", "-o", "quiet.bin", "--no-audit"});
  EXPECT_FALSE(fs::exists(dir.file("quiet.bin.audit.json")));
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"fix", "noisy.bin", "-o", "a.bin", "--audit", "a.bin"},
        std::vector<std::string>{"fix", "noisy.bin", "-o", "b.bin", "--audit", "noisy.bin"},
        std::vector<std::string>{"fix", "noisy.bin", "-o", "c.bin", "--audit", "-"},
        std::vector<std::string>{"fix", "noisy.bin", "-o", "d.bin", "--audit", "x",
                                 "--no-audit"}}) {
    SCOPED_TRACE("case --audit " + words[5]);
    EXPECT_EQ(ecc(dir, words).exit_status, 2);
    EXPECT_FALSE(fs::exists(dir.file(words[3])));
  }
}

TEST(AuditCommand, VerifyAuditTellsWhatChanged) {
  scratch_dir dir;
  make_noisy(dir);
  ASSERT_LE(ecc(dir, {"fix", "noisy.bin", "-o", "f.bin", "--report", "r.html"}).exit_status, 1);
  const std::string fixed = read_file(dir.file("f.bin"));
  const std::string noisy = read_file(dir.file("noisy.bin"));
  const std::string page = read_file(dir.file("r.html"));
  program_result r = ecc(dir, {"verify-audit", "f.bin.audit.json"});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  // From another folder: found by the recorded absolute paths.
  scratch_dir elsewhere;
  r = run_program(kTool, elsewhere.path(), "", {"verify-audit", dir.file("f.bin.audit.json")});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;

  struct damage {
    const char* name;
    std::string file, bytes, expected;
  };
  std::string flipped = fixed;
  flipped[100] ^= 1;
  std::string touched = noisy;
  touched.back() ^= static_cast<char>(0x80);
  const damage cases[] = {{"output changed", "f.bin", flipped, "output: CHANGED"},
                          {"input changed", "noisy.bin", touched, "input:  CHANGED"},
                          {"output longer", "f.bin", fixed + "x", "output: CHANGED"},
                          {"report changed", "r.html", page + "\n", "report: CHANGED"}};
  for (const damage& d : cases) {
    SCOPED_TRACE(std::string("case ") + d.name);
    const std::string keep = read_file(dir.file(d.file));
    write_file(dir.file(d.file), d.bytes);
    r = ecc(dir, {"verify-audit", "f.bin.audit.json"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find(d.expected), std::string::npos) << r.out;
    write_file(dir.file(d.file), keep);
  }
  fs::rename(dir.file("f.bin"), dir.file("moved.bin"));
  r = ecc(dir, {"verify-audit", "f.bin.audit.json"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find("output: MISSING"), std::string::npos) << r.out;
  fs::rename(dir.file("moved.bin"), dir.file("f.bin"));

  write_file(dir.file("not.json"), "{\"record\": ");
  write_file(dir.file("other.json"), "{\"record\": \"something else\"}");
  std::string bad_hash = read_file(dir.file("f.bin.audit.json"));
  bad_hash.replace(bad_hash.find("\"sha256\": \"") + 11, 1, "Z");
  write_file(dir.file("bad-hash.json"), bad_hash);
  for (const char* name : {"not.json", "other.json", "bad-hash.json", "absent.json", "noisy.bin"}) {
    SCOPED_TRACE(std::string("case malformed ") + name);
    r = ecc(dir, {"verify-audit", name});
    EXPECT_EQ(r.exit_status, 2) << r.out;
  }
}

TEST(AuditCommand, AnOutputThatFailsLeavesNoRecord) {
  scratch_dir dir;
  write_file(dir.file("d.bin"), std::string(512 * 2112, '\xFF'));
  for (const char* command : {"fix", "encode", "extract"}) {
    SCOPED_TRACE(std::string("case ") + command);
    const pid_t pid = fork();
    if (pid == 0) {
      rlimit limit{64 * 1024, 64 * 1024};
      if (chdir(dir.path().c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0)
        _exit(126);
      std::freopen("/dev/null", "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      execl(kTool.c_str(), kTool.c_str(), command, "d.bin", "-o", "out.bin", nullptr);
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
      names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"d.bin"});
  }
}

}  // namespace
