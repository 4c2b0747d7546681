// Tests of pagolinth-validate's arguments: a work folder it did not make is refused and left as
// it was, whatever the argument (a folder with files, the current folder, a file, LAYOUTS_DIR
// in its place, a folder of an earlier run with a stranger in it); inputs it cannot use are
// refused with one line naming them. Every case ends before the run starts.
#include <gtest/gtest.h>

#include <algorithm>   // std::sort
#include <filesystem>  // std::filesystem
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/support/run_program.h"  // scratch_dir, run_program, read_file, write_file

namespace fs = std::filesystem;

namespace {

const std::string kSource = PAGOLINTH_SOURCE_DIR;
const std::string kKnown = kSource + "/tests/bch/generator_polynomials.txt";
const std::string kCustom = kSource + "/tests/codec/custom_polynomials.txt";

program_result validate(const std::string& cwd, const std::string& layouts,
                        const std::string& known, const std::string& custom,
                        const std::string& work) {
  return run_program(PAGOLINTH_VALIDATE, cwd, "",
                     {PAGOLINTH_BIN_DIR, layouts, known, custom, work});
}

// Every entry below `dir` with its bytes, to see that nothing changed.
std::vector<std::string> contents(const std::string& dir) {
  std::vector<std::string> all;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    all.push_back(e.path().string() + (e.is_regular_file() ? "=" + read_file(e.path()) : "/"));
  std::sort(all.begin(), all.end());
  return all;
}

}  // namespace

TEST(Validate, RefusesAWorkFolderItDidNotMakeAndLeavesItAsItWas) {
  const scratch_dir s;
  fs::create_directories(s.file("precious"));
  write_file(s.file("precious/notes.txt"), "keep me");
  write_file(s.file("a-file"), "keep me too");
  fs::copy(kSource + "/layouts", s.file("layouts"));
  fs::create_directories(s.file("empty"));
  // Entries named as a run names them, under a marker that a run did not write.
  fs::create_directories(s.file("earlier/A"));
  write_file(s.file("earlier/.pagolinth-validate"), "my own notes");
  write_file(s.file("earlier/A/raw.bin"), "my own dump");
  const struct {
    const char* name;
    std::string cwd, layouts, work;
  } cases[] = {
      {"a folder with files", s.path(), s.file("layouts"), s.file("precious")},
      {"the current folder", s.file("precious"), s.file("layouts"), "."},
      {"a regular file", s.path(), s.file("layouts"), s.file("a-file")},
      {"LAYOUTS_DIR and WORK_DIR swapped", s.path(), s.file("empty"), s.file("layouts")},
      {"a marker the run did not write", s.path(), s.file("layouts"), s.file("earlier")},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> before = contents(s.path());
    const program_result r = validate(c.cwd, c.layouts, kKnown, kCustom, c.work);
    EXPECT_EQ(r.exit_status, 2) << "case " << c.name << ": " << r.err;
    EXPECT_EQ(r.out, "") << "case " << c.name;
    EXPECT_EQ(r.err.rfind("pagolinth-validate: ", 0), 0u) << "case " << c.name << ": " << r.err;
    EXPECT_EQ(contents(s.path()), before) << "case " << c.name;
  }
}

TEST(Validate, RefusesInputsItCannotUseInOneLineNamingThem) {
  const scratch_dir s;
  write_file(s.file("a-file"), "");
  write_file(s.file("custom.txt"), "13 201B 1 13 201B\n13 2O1B 4 52 14523043AB86AB\n");
  const std::string layouts = kSource + "/layouts";
  const struct {
    const char* name;
    std::string known, custom, work;
    std::string named;  // what the line must name
  } cases[] = {
      {"an unwritable WORK_DIR", kKnown, kCustom, s.file("a-file/work"), s.file("a-file/work")},
      {"KNOWN_ANSWERS a folder", s.path(), kCustom, s.file("work"), s.path()},
      {"a polynomial that is not hex", kKnown, s.file("custom.txt"), s.file("work"),
       s.file("custom.txt") + ":2:"},
  };
  for (const auto& c : cases) {
    const program_result r = validate(s.path(), layouts, c.known, c.custom, c.work);
    EXPECT_EQ(r.exit_status, 2) << "case " << c.name << ": " << r.err;
    EXPECT_EQ(r.out, "") << "case " << c.name;
    EXPECT_EQ(r.err.rfind("pagolinth-validate: ", 0), 0u) << "case " << c.name << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "case " << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << "case " << c.name << ": " << r.err;
    EXPECT_EQ(r.err.find("unexpected"), std::string::npos) << "case " << c.name << ": " << r.err;
  }
  EXPECT_FALSE(fs::exists(s.file("work"))) << "refused before the run made its folder";
}
