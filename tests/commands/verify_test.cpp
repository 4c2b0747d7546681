// In-process tests of verify-audit (commands/verify.cpp): a record written by fix verifies,
// also from another folder; each changed, grown or missing file it names is told by role, and
// a record that cannot be read, or is no audit record (a folder, say), is an error rather than a
// verdict; the record is read in bounded memory; a copied case folder is verified by its own
// files.
#include <gtest/gtest.h>

#include <cstdio>          // std::FILE, std::fopen, std::fputs
#include <filesystem>      // std::filesystem
#include <string>          // std::string
#include <fcntl.h>         // open
#include <sys/resource.h>  // getrusage
#include <sys/stat.h>      // mkfifo
#include <sys/wait.h>      // waitpid
#include <unistd.h>        // fork, ftruncate, _exit

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

// The growth of this process's peak resident memory, in KiB, while `run` runs.
template <typename Run>
long peak_growth_kib(Run run) {
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  run();
  getrusage(RUSAGE_SELF, &after);
  return after.ru_maxrss - before.ru_maxrss;
}

TEST(VerifyAudit, ReadsTheRecordInBoundedMemory) {
  scratch_dir dir;
  // Records whose lists of changed steps are 32 MiB and none, written a line at a time, naming
  // one file.
  write_file(dir.file("in.bin"), "abc");
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const auto write_record = [&](const std::string& name, long step_bytes) {
    std::FILE* f = std::fopen(dir.file(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(("{\n  \"record\": \"pagolinth audit record\",\n  \"record_version\": 1,\n"
                "  \"input\": {\"path\": \"in.bin\", \"absolute_path\": \"\", \"bytes\": 3, "
                "\"sha256\": \"" +
                abc + "\"},\n  \"changed_steps\": [")
                   .c_str(),
               f);
    const std::string step =
        "\n    {\"page\":1234567,\"step\":3,\"offset\":2607444992,\"status\":\"corrected\","
        "\"bits\":[[2607445000,3,0],[2607445100,7,1],[2607445200,0,1]]},";
    for (long written = 0; written < step_bytes; written += static_cast<long>(step.size()))
      std::fputs(step.c_str(), f);
    std::fputs("\n    {}\n  ]\n}\n", f);
    ASSERT_EQ(std::fclose(f), 0);
  };
  write_record("small.json", 0);
  write_record("big.json", 32L << 20);
  // In a child, whose peak starts at what the parent holds now. The small record first, so that
  // what any reading costs once (under a sanitizer, megabytes) is paid before the peak is taken.
  // The verdict and the growth come back through the exit status.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool small = run_verify_audit({dir.file("small.json")}).verified;
    verify_outcome r;
    const long grew = peak_growth_kib([&] { r = run_verify_audit({dir.file("big.json")}); });
    std::fprintf(
        stderr, "verify-audit of a 32 MiB record: %s; peak grew by %ld KiB\n",
        r.error.ok() ? (r.verified ? "verified" : "NOT verified") : r.error.message.c_str(), grew);
    _exit(!small || !r.verified ? 1 : grew >= 16 * 1024 ? 2 : 0);
  }
  int wait_status = 0;
  ASSERT_EQ(waitpid(child, &wait_status, 0), child);
  ASSERT_TRUE(WIFEXITED(wait_status));
  EXPECT_EQ(WEXITSTATUS(wait_status), 0) << "1: not verified, 2: memory grew by 16 MiB or more";

  // What is no record is refused before it is read: an endless device, a FIFO (opening it would
  // wait for a writer), a 10 GB hole, an object that does not start as a record.
  ASSERT_EQ(mkfifo(dir.file("fifo.json").c_str(), 0600), 0);
  const int hole = open(dir.file("hole.json").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(hole, 0);
  const bool made_hole = ftruncate(hole, 10LL << 30) == 0;
  close(hole);
  write_file(dir.file("late.json"),
             "{\"input\": {\"path\": \"in.bin\", \"sha256\": \"" + abc +
                 "\"}, \"record\": \"pagolinth audit record\", \"record_version\": 1}");
  const struct {
    std::string path, says;
  } cases[] = {{"/dev/zero", "/dev/zero is a character device, not an audit record"},
               {dir.file("fifo.json"), dir.file("fifo.json") + " is a FIFO, not an audit record"},
               {dir.file("hole.json"), dir.file("hole.json") + " is not a pagolinth audit record"},
               {dir.file("late.json"), dir.file("late.json") + " is not a pagolinth audit record"}};
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + c.path);
    if (c.path == dir.file("hole.json") && !made_hole)
      continue;  // the file system holds no 10 GB file
    EXPECT_EQ(run_verify_audit({c.path}).error.message, c.says);
  }
}

TEST(VerifyAudit, ACopiedCaseFolderIsVerifiedByItsOwnFiles) {
  // As an investigator works: relative names typed in the case folder, the report in a
  // subfolder; then `cp -r caseA caseB` and caseB's record verified from elsewhere.
  scratch_dir a, elsewhere;
  fs::current_path(a.path());
  const std::string a_now = fs::current_path().string();
  encoded_dump(a, 8 * 2112, 7, 10);
  fs::create_directory(a.file("reports"));
  pass_request q = request(pass_command::fix, "noisy.bin", "fixed.bin");
  q.report = "reports/r.html";
  ASSERT_TRUE(run_pass(q).error.ok());
  fs::current_path(elsewhere.path());
  const std::string b = elsewhere.file("caseB");
  fs::copy(a.path(), b, fs::copy_options::recursive);
  const std::string record = b + "/fixed.bin.audit.json";

  verify_outcome r = run_verify_audit({record});
  ASSERT_TRUE(r.error.ok()) << r.error.message;
  EXPECT_TRUE(r.verified) << joined(r.lines);
  for (const std::string& line :
       {"input:  matches  " + b + "/noisy.bin", "output: matches  " + b + "/fixed.bin",
        "report: matches  " + b + "/reports/r.html"})
    EXPECT_TRUE(has_line(r.lines, line)) << "case the copy as it is: " << line << "\n"
                                         << joined(r.lines);

  // One byte of the copy's output changed: told, though the original is untouched.
  const std::string fixed = read_file(b + "/fixed.bin");
  std::string changed = fixed;
  changed[changed.size() / 2] ^= 0x04;
  write_file(b + "/fixed.bin", changed);
  r = run_verify_audit({record});
  EXPECT_FALSE(r.verified) << "case the copy's output changed\n" << joined(r.lines);
  EXPECT_TRUE(has_line(r.lines, "output: CHANGED  " + b + "/fixed.bin")) << joined(r.lines);
  write_file(b + "/fixed.bin", fixed);

  // The copy's input gone: the original is hashed, and the output says where it was found.
  fs::remove(b + "/noisy.bin");
  r = run_verify_audit({record});
  EXPECT_TRUE(has(joined(r.lines), "input:  matches  " + a_now +
                                       "/noisy.bin\n         no copy beside the record; found only "
                                       "at the recorded absolute path\n"))
      << "case the copy's input gone\n"
      << joined(r.lines);
  // caseA moved too, and verified from where it is now: found only from the working folder.
  fs::rename(a.path(), elsewhere.file("caseC"));
  fs::current_path(elsewhere.file("caseC"));
  r = run_verify_audit({record});
  EXPECT_TRUE(has(joined(r.lines), "input:  matches  " + fs::current_path().string() +
                                       "/noisy.bin\n         no copy beside the record; found only "
                                       "from the working folder\n"))
      << "case the original moved\n"
      << joined(r.lines);
  fs::current_path(elsewhere.path());
}

}  // namespace
