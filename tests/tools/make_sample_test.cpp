// End-to-end tests of pagolinth-sample over the built executable: the bytes it writes against
// offsets worked out here from the page layout, its options and their refusals, the output
// rules (no replacing without --force, nothing written through a link or onto a device or
// FIFO, no leftovers), and a failing standard output.
#include <fcntl.h>     // open
#include <sys/stat.h>  // mkfifo
#include <sys/wait.h>  // waitpid
#include <unistd.h>    // fork, execv, dup2, symlink, access

#include <gtest/gtest.h>

#include <algorithm>   // std::sort
#include <filesystem>  // std::filesystem::directory_iterator, is_symlink
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/support/run_program.h"  // scratch_dir, run_program, read_file, write_file

namespace {

const std::string kTool = PAGOLINTH_SAMPLE;
constexpr std::size_t kRawPage = 2048 + 64;

program_result sample(const scratch_dir& dir, const std::vector<std::string>& args) {
  return run_program(kTool, dir.path(), "", args);
}

// The names in `dir`, to see that nothing was created or left behind.
std::vector<std::string> names_in(const scratch_dir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Byte i of sector k's data in page j, as the sample's pattern defines it.
unsigned char data_byte(std::size_t j, std::size_t k, std::size_t i) {
  switch (i) {
    case 0:
      return static_cast<unsigned char>(j);
    case 1:
      return static_cast<unsigned char>(k);
    case 2:
      return 0xDA;
    case 3:
      return 0x7A;
    default:
      return static_cast<unsigned char>(i);
  }
}

// Page j as the layout puts it together, worked out by hand: a 4-byte header, sectors 0-2
// at 4 + 525 k with their 13 ECC bytes after the 512 data bytes, and the last sector at 1579
// with a 6-byte hole after its byte 468, so its bytes 469-511 start at 2054 and its ECC at
// 2097. Everything else is FF.
std::string expected_page(std::size_t j) {
  std::string page(kRawPage, '\xFF');
  page[0] = 'P';
  page[1] = 'G';
  page[2] = static_cast<char>(j >> 8);
  page[3] = static_cast<char>(j);
  for (std::size_t k = 0; k < 3; ++k) {
    const std::size_t at = 4 + 525 * k;
    for (std::size_t i = 0; i < 512; ++i)
      page[at + i] = static_cast<char>(data_byte(j, k, i));
    for (std::size_t e = 0; e < 13; ++e)
      page[at + 512 + e] = '\xEC';
  }
  for (std::size_t i = 0; i < 512; ++i)
    page[(i < 469 ? 1579 : 1585) + i] = static_cast<char>(data_byte(j, 3, i));
  for (std::size_t e = 0; e < 13; ++e)
    page[2097 + e] = '\xEC';
  return page;
}

TEST(PagolinthSample, WritesThePatternInTheLayout) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"Dump_Raw.bin"}, {"Dump_Raw.bin", "300"}}) {
    const std::size_t pages = args.size() == 2 ? 300 : 64;
    SCOPED_TRACE(testing::Message() << "case " << pages << " pages");
    scratch_dir dir;
    const program_result r = sample(dir, args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const std::string dump = read_file(dir.file("Dump_Raw.bin"));
    ASSERT_EQ(dump.size(), pages * kRawPage);
    // Page 256 shows that the header counts past one byte and sector bytes wrap.
    for (std::size_t j : {std::size_t{0}, std::size_t{1}, std::size_t{63}, pages - 1,
                          pages > 256 ? std::size_t{256} : std::size_t{5}}) {
      EXPECT_EQ(dump.substr(j * kRawPage, kRawPage), expected_page(j)) << "case page " << j;
    }
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"Dump_Raw.bin"}) << "leftovers";
  }
}

TEST(PagolinthSample, HelpAndBadUsage) {
  for (const char* help : {"--help", "-h"}) {
    SCOPED_TRACE(testing::Message() << "case " << help);
    scratch_dir dir;
    const program_result r = sample(dir, {help});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("FILE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--force"), std::string::npos) << r.out;
    EXPECT_TRUE(names_in(dir).empty()) << "help wrote a file";
  }
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"--bogus", "Dump.bin"},
      {"Dump.bin", "--bogus"},
      {"-x", "Dump.bin"},
      {"Dump.bin", "64", "extra"},
      {"Dump.bin", "0"},
      {"Dump.bin", "65537"},
      {"Dump.bin", "-1"},
      {"Dump.bin", "12x"},
      {"Dump.bin", "0x10"},
      {"Dump.bin", ""},
      {"Dump.bin", " 5"},
      {"Dump.bin", "99999999999999999999999"},
  };
  for (const std::vector<std::string>& args : refused) {
    std::string words;
    for (const std::string& a : args)
      words += "[" + a + "]";
    SCOPED_TRACE("case " + words);
    scratch_dir dir;
    const program_result r = sample(dir, args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("pagolinth-sample: "), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(names_in(dir).empty()) << "a refused call wrote a file";
  }
  // The largest and smallest counts are taken.
  for (const char* pages : {"1", "65536"}) {
    SCOPED_TRACE(testing::Message() << "case PAGES " << pages);
    scratch_dir dir;
    const program_result r = sample(dir, {"Dump.bin", pages});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("Dump.bin")).size(), std::stoul(pages) * kRawPage);
  }
}

TEST(PagolinthSample, ReplacesOnlyWhatItMay) {
  const std::string full = expected_page(0) + expected_page(1);
  {
    SCOPED_TRACE("case existing file without and with --force");
    scratch_dir dir;
    write_file(dir.file("Dump.bin"), "precious");
    program_result r = sample(dir, {"Dump.bin", "2"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir.file("Dump.bin")), "precious");
    r = sample(dir, {"--force", "Dump.bin", "2"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("Dump.bin")), full);
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"Dump.bin"}) << "leftovers";
  }
  {
    SCOPED_TRACE("case existing empty file");
    scratch_dir dir;
    write_file(dir.file("Dump.bin"), "");
    const program_result r = sample(dir, {"Dump.bin", "2"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("Dump.bin")), full);
  }
  {
    SCOPED_TRACE("case links, to a file, to an empty file and dangling");
    scratch_dir dir;
    write_file(dir.file("target.bin"), "precious");
    write_file(dir.file("empty.bin"), "");
    ASSERT_EQ(symlink("target.bin", dir.file("link.bin").c_str()), 0);
    ASSERT_EQ(symlink("empty.bin", dir.file("link-empty.bin").c_str()), 0);
    ASSERT_EQ(symlink("nowhere.bin", dir.file("dangling.bin").c_str()), 0);
    for (const char* link : {"link.bin", "link-empty.bin", "dangling.bin"}) {
      SCOPED_TRACE(link);
      const program_result r = sample(dir, {link, "2", "--force"});
      EXPECT_EQ(r.exit_status, 2);
      EXPECT_NE(r.err.find("link"), std::string::npos) << r.err;
      EXPECT_TRUE(std::filesystem::is_symlink(dir.file(link)));
    }
    EXPECT_EQ(read_file(dir.file("target.bin")), "precious");
    EXPECT_EQ(read_file(dir.file("empty.bin")), "");
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"dangling.bin", "empty.bin",
                                                       "link-empty.bin", "link.bin", "target.bin"}))
        << "leftovers or a file created through the dangling link";
  }
  {
    SCOPED_TRACE("case FIFO, device and folder, even with --force");
    scratch_dir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder"));
    for (const std::string& target :
         {dir.file("fifo"), std::string("/dev/null"), dir.file("folder")}) {
      SCOPED_TRACE(target);
      const program_result r = sample(dir, {target, "2", "--force"});
      EXPECT_EQ(r.exit_status, 2);
      EXPECT_NE(r.err.find("pagolinth-sample: "), std::string::npos) << r.err;
    }
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"fifo", "folder"})) << "leftovers";
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("folder")));
  }
  {
    SCOPED_TRACE("case missing folder");
    scratch_dir dir;
    const program_result r = sample(dir, {"no/such/Dump.bin"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("no/such/Dump.bin"), std::string::npos) << r.err;
  }
}

// Runs the tool with standard output on /dev/full, where every write fails.
TEST(PagolinthSample, FailingStandardOutputIsAnError) {
  if (access("/dev/full", W_OK) != 0)
    GTEST_SKIP() << "no /dev/full here";
  scratch_dir dir;
  const std::string err_path = dir.file("stderr");
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open("/dev/full", O_WRONLY);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(dir.path().c_str()))
      _exit(127);
    char* argv[] = {const_cast<char*>(kTool.c_str()), const_cast<char*>("--help"), nullptr};
    execv(kTool.c_str(), argv);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "case --help onto /dev/full: ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 2) << "case --help onto /dev/full";
  EXPECT_NE(read_file(err_path).find("standard output"), std::string::npos)
      << "case --help onto /dev/full: " << read_file(err_path);
}

}  // namespace
