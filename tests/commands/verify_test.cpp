// In-process tests of verify-audit (commands/verify.cpp): a record written by fix verifies,
// also from another folder; each changed, grown or missing file it names is told by role, and
// a record that cannot be read, or is no audit record (a folder, say), is an error rather than a
// verdict.
#include <gtest/gtest.h>

#include <filesystem>  // std::filesystem
#include <string>      // std::string

#include "tests/commands/command_test_support.h"  // request, encoded_dump, has, joined

namespace {

namespace fs = std::filesystem;
using namespace command_test;

TEST(VerifyAudit, TellsWhatChanged) {
  scratch_dir dir, elsewhere;
  const std::string record = dir.file("f.bin.audit.json");
  // Relative names, as typed: the record must find them from another folder too. (The working
  // folder is the process's: every test here that relies on it sets it first.)
  fs::current_path(dir.path());
  encoded_dump(dir, 8 * 2112, 7, 10);
  pass_request q = request(pass_command::fix, "noisy.bin", "f.bin");
  q.report = "r.html";
  ASSERT_TRUE(run_pass(q).error.ok());
  fs::current_path(elsewhere.path());
  verify_outcome r = run_verify_audit({record});
  ASSERT_TRUE(r.error.ok()) << r.error.message;
  EXPECT_TRUE(r.verified) << joined(r.lines);
  ASSERT_EQ(r.files.size(), 3u) << "input, output and report";
  EXPECT_EQ(r.lines.front(), "input:  matches  " + dir.file("noisy.bin"));
  EXPECT_EQ(r.lines.back(), "verified: every file the record names is as recorded");

  const std::string fixed = read_file(dir.file("f.bin"));
  std::string flipped = fixed, touched = read_file(dir.file("noisy.bin"));
  flipped[100] ^= 1;
  touched.back() ^= static_cast<char>(0x80);
  const struct {
    const char* name;
    std::string file, bytes, says;
  } cases[] = {
      {"output changed", "f.bin", flipped, "output: CHANGED  "},
      {"input changed", "noisy.bin", touched, "input:  CHANGED  "},
      {"output longer", "f.bin", fixed + "x", "output: CHANGED  "},
      {"report changed", "r.html", read_file(dir.file("r.html")) + "\n", "report: CHANGED  "},
      {"output missing", "f.bin", "", "output: MISSING  "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("case ") + c.name);
    const std::string path = dir.file(c.file), keep = read_file(path), recorded = sha256sum(path);
    if (c.bytes.empty())
      fs::rename(path, path + ".moved");
    else
      write_file(path, c.bytes);
    r = run_verify_audit({record});
    EXPECT_TRUE(r.error.ok()) << r.error.message;
    EXPECT_FALSE(r.verified);
    const std::string lines = joined(r.lines);
    EXPECT_TRUE(has(lines, c.says + path + "\n")) << lines;
    // A changed file shows both hashes: the recorded one and the one now.
    if (!c.bytes.empty()) {
      EXPECT_TRUE(has(lines, "\n         recorded sha256 " + recorded +
                                 "\n         now      sha256 " + sha256sum(path) + "\n"))
          << lines;
    }
    EXPECT_EQ(r.lines.back(), "NOT verified: a file the record names differs from the record");
    if (c.bytes.empty())
      fs::rename(path + ".moved", path);
    write_file(path, keep);
  }

  write_file(dir.file("not.json"), "{\"record\": ");
  write_file(dir.file("other.json"), "{\"record\": \"something else\"}");
  std::string bad_hash = read_file(record);
  bad_hash.replace(bad_hash.find("\"sha256\": \"") + 11, 1, "Z");
  write_file(dir.file("bad-hash.json"), bad_hash);
  for (const char* name : {"not.json", "other.json", "bad-hash.json", "absent.json", "noisy.bin"}) {
    SCOPED_TRACE(std::string("case malformed ") + name);
    r = run_verify_audit({dir.file(name)});
    EXPECT_FALSE(r.error.ok());
    EXPECT_FALSE(r.verified);
  }
}

TEST(VerifyAudit, AFolderAsTheRecordIsAnError) {
  scratch_dir dir;
  const verify_outcome r = run_verify_audit({dir.path()});
  EXPECT_FALSE(r.verified);
  EXPECT_EQ(r.error.message, dir.path() + " is a folder, not an audit record");
}

}  // namespace
