// End-to-end tests of --report: the page names the dump's SHA-256 as sha256sum computes it and
// the command as typed; it is refused like every other output (an existing file without
// --force, a link, a folder, a device, the input, another output's name) before anything is
// written; and fix and extract write it too.
#include <gtest/gtest.h>

#include <algorithm>   // std::sort
#include <cstdio>      // popen, pclose, fgets
#include <filesystem>  // std::filesystem
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/support/run_program.h"  // scratch_dir, run_program, read_file, write_file

namespace fs = std::filesystem;

namespace {

program_result ecc(const scratch_dir& dir, const std::vector<std::string>& args) {
  return run_program(PAGOLINTH_ECC, dir.path(), "", args);
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The demo's kind of dump: the sample, encoded, with 0 to 2 flips per step.
void make_dump(const scratch_dir& dir) {
  ASSERT_EQ(run_program(PAGOLINTH_SAMPLE, dir.path(), "", {"raw.bin", "8"}).exit_status, 0);
  ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}).exit_status, 0);
  ASSERT_EQ(
      ecc(dir, {"inject", "enc.bin", "-o", "d.bin", "--flips", "0-2", "--seed", "3"}).exit_status,
      0);
}

std::string sha256sum(const std::string& path) {
  std::string out;
  if (std::FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r")) {
    char line[256];
    if (std::fgets(line, sizeof line, p))
      out = std::string(line).substr(0, 64);
    pclose(p);
  }
  return out;
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReportTool, PageNamesTheDumpAndTheCommand) {
  scratch_dir dir;
  make_dump(dir);
  const program_result r = ecc(dir, {"check", "d.bin", "--report", "r p.html", "--threads", "2"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "report:          r p.html")) << r.out;
  const std::string page = read_file(dir.file("r p.html"));
  const std::string sum = sha256sum(dir.file("d.bin"));
  ASSERT_EQ(sum.size(), 64u) << "sha256sum did not run";
  EXPECT_TRUE(has(page, "<code>" + sum + "</code>")) << "SHA-256 of the input";
  EXPECT_TRUE(has(page, "check d.bin --report &#39;r p.html&#39; --threads 2"))
      << "the command line, quoted as typed";
  EXPECT_TRUE(has(page, "pagolinth-ecc ")) << "the tool's version";
  EXPECT_TRUE(has(page, "All data recovered"));
  for (const std::string& name : names_in(dir.path()))
    EXPECT_FALSE(has(name, ".part-")) << "temporary file left: " << name;

  // fix and extract take it too; the verdict follows the exit status.
  for (const char* command : {"fix", "extract"}) {
    SCOPED_TRACE(std::string("case ") + command);
    const program_result w = ecc(dir, {command, "d.bin", "-o", std::string(command) + ".bin",
                                       "--report", std::string(command) + ".html"});
    EXPECT_EQ(w.exit_status, 0) << w.err;
    EXPECT_TRUE(has(read_file(dir.file(std::string(command) + ".html")), "id=\"map\""));
  }
}

TEST(ReportTool, RefusedLikeEveryOtherOutput) {
  scratch_dir dir;
  make_dump(dir);
  write_file(dir.file("old.html"), "keep");
  write_file(dir.file("other"), "keep");
  fs::create_symlink("other", dir.file("link.html"));
  fs::create_directory(dir.file("folder.html"));
  const std::vector<std::string> before = names_in(dir.path());
  const std::string dump = read_file(dir.file("d.bin"));
  const std::vector<std::vector<std::string>> refused = {
      {"check", "d.bin", "--report", "old.html"},
      {"check", "d.bin", "--report", "link.html"},
      {"check", "d.bin", "--report", "link.html", "--force"},
      {"check", "d.bin", "--report", "folder.html", "--force"},
      {"check", "d.bin", "--report", "/dev/null", "--force"},
      {"check", "d.bin", "--report", "d.bin", "--force"},
      {"check", "d.bin", "--report", "./d.bin", "--force"},
      {"check", "d.bin", "--report", "same.html", "--map", "same.html"},
      {"check", "d.bin", "--report", "same.html", "--csv", "sub/../same.html"},
      {"fix", "d.bin", "-o", "x.html", "--report", "x.html"},
  };
  for (const auto& args : refused) {
    std::string name = "case";
    for (const std::string& a : args)
      name += " " + a;
    SCOPED_TRACE(name);
    const program_result r = ecc(dir, args);
    EXPECT_EQ(r.exit_status, 2) << r.err;
    EXPECT_TRUE(has(r.err, "pagolinth-ecc: ")) << r.err;
    EXPECT_EQ(names_in(dir.path()), before) << "something was created or removed";
  }
  EXPECT_EQ(read_file(dir.file("old.html")), "keep");
  EXPECT_EQ(read_file(dir.file("other")), "keep");
  EXPECT_TRUE(read_file(dir.file("d.bin")) == dump) << "the input changed";
  // --force replaces a regular file; an empty one is replaced without it.
  const program_result forced = ecc(dir, {"check", "d.bin", "--report", "old.html", "--force"});
  EXPECT_EQ(forced.exit_status, 0) << forced.err;
  EXPECT_EQ(read_file(dir.file("old.html")).rfind("<!DOCTYPE html>", 0), 0u);
  write_file(dir.file("empty.html"), "");
  EXPECT_EQ(ecc(dir, {"check", "d.bin", "--report", "empty.html"}).exit_status, 0);
}

}  // namespace
