// End-to-end tests of what pagolinth-ecc accepts as a dump and how it words its findings:
// folders, devices, FIFOs and dumps without a whole page refused; probe weighing its
// candidates against chance; command lines a shell reads back; options before the command;
// counts in the singular.
#include <sys/stat.h>  // mkfifo

#include <gtest/gtest.h>

#include <cstdint>     // std::uint32_t
#include <filesystem>  // std::filesystem::exists
#include <random>      // std::mt19937
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/support/run_program.h"  // scratch_dir, run_program, read_file, write_file

namespace {

const std::string kTool = PAGOLINTH_ECC;

std::string random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(gen() & 0xFF);
  return bytes;
}

// Runs pagolinth-ecc in `dir` under a watchdog: a tool that blocks (on a FIFO, say) is killed
// after 20 seconds and shows as status 124 instead of hanging the suite.
program_result ecc(const scratch_dir& dir, const std::vector<std::string>& words) {
  std::vector<std::string> args = {"20", kTool};
  args.insert(args.end(), words.begin(), words.end());
  return run_program("/usr/bin/timeout", dir.path(), "", args);
}

// A clean encoded dump of `pages` pages of the built-in layout, as enc.bin in `dir`.
void make_encoded(const scratch_dir& dir, int pages, std::uint32_t seed) {
  write_file(dir.file("raw.bin"), random_bytes(static_cast<std::size_t>(pages) * 2112, seed));
  ASSERT_EQ(ecc(dir, {"encode", "raw.bin", "-o", "enc.bin"}).exit_status, 0);
}

}  // namespace

TEST(PagolinthEccInputs, OnlyARegularFileWithAWholePageIsADump) {
  scratch_dir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.file("folder"));
  write_file(dir.file("empty.bin"), "");
  write_file(dir.file("short.bin"), std::string(2111, '\xFF'));
  struct refused {
    std::string dump, says;
  } cases[] = {
      {"folder", "folder is a directory"},
      {"fifo", "fifo is not a regular file"},
      {"/dev/zero", "/dev/zero is not a regular file"},
      {"empty.bin", "empty.bin holds no whole page (0 bytes; a page with its spare is 2112 bytes)"},
      {"short.bin", "short.bin holds no whole page (2111 bytes"},
      {"missing.bin", "missing.bin: no such file"},
  };
  for (const refused& c : cases) {
    for (const char* command : {"check", "fix", "probe", "extract"}) {
      SCOPED_TRACE(std::string(command) + " " + c.dump);
      std::vector<std::string> words = {command, c.dump};
      if (std::string(command) == "extract")
        words.insert(words.end(), {"-o", "image.bin"});
      const program_result r = ecc(dir, words);
      EXPECT_EQ(r.exit_status, 2) << "124 means it blocked";
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_FALSE(std::filesystem::exists(dir.file("image.bin")));
    }
  }
  // Files under /proc report a size of 0 however much they hold.
  if (std::filesystem::exists("/proc/self/status")) {
    const program_result r = ecc(dir, {"check", "/proc/self/status"});
    EXPECT_EQ(r.exit_status, 2) << "a /proc file";
    EXPECT_NE(r.err.find("holds no whole page"), std::string::npos) << r.err;
  }
}

TEST(PagolinthEccInputs, ProbeRecommendsOnlyWhatBeatsChance) {
  scratch_dir dir;
  make_encoded(dir, 16, 5);
  ASSERT_EQ(ecc(dir, {"inject", "enc.bin", "-o", "n.bin", "--flips", "0-8"}).exit_status, 0);
  // Random data: about half of its steps decode under t = 1 and a few under t = 2 or 3, all of
  // it chance.
  write_file(dir.file("random.bin"), random_bytes(64 * 2112, 6));
  const program_result random = ecc(dir, {"probe", "random.bin"});
  EXPECT_EQ(random.exit_status, 1) << random.out;
  EXPECT_EQ(random.out.find("best:"), std::string::npos) << random.out;
  EXPECT_NE(random.out.find("no convention decodes more sectors than random data would"),
            std::string::npos)
      << random.out;
  EXPECT_NE(random.out.find("pagolinth-ecc detect random.bin finds the layout"), std::string::npos)
      << random.out;

  // The right code, read with a geometry that puts no step where one was written, decodes no
  // better than random data either.
  const program_result wrong =
      ecc(dir, {"probe", "n.bin", "--page-size", "512", "--spare-size", "32"});
  EXPECT_EQ(wrong.exit_status, 1) << wrong.out << wrong.err;

  const program_result right = ecc(dir, {"probe", "n.bin"});
  EXPECT_EQ(right.exit_status, 0) << right.out << right.err;
  EXPECT_NE(right.out.find("   1  msb        none       8  100.0%    0.0%  1e-"), std::string::npos)
      << right.out;
}

TEST(PagolinthEccInputs, ProbeQuotesTheDumpForTheShell) {
  // The printed command line, run by a shell, must check this very file.
  for (const std::string name : {"it's a dump;.bin", "dump (2) $HOME.bin", "-dash.bin"}) {
    SCOPED_TRACE(name);
    scratch_dir dir;
    make_encoded(dir, 4, 8);
    std::filesystem::rename(dir.file("enc.bin"), dir.file(name));
    const program_result probe = ecc(dir, {"probe", "./" + name});
    ASSERT_EQ(probe.exit_status, 0) << probe.out << probe.err;
    const std::size_t at = probe.out.find("best: ");
    ASSERT_NE(at, std::string::npos) << probe.out;
    const std::string line = probe.out.substr(at + 6, probe.out.find('\n', at) - at - 6);
    const std::string bin = std::filesystem::path(kTool).parent_path().string();
    const program_result check =
        run_program("/bin/sh", dir.path(), "", {"-c", "PATH='" + bin + "':$PATH; " + line});
    EXPECT_EQ(check.exit_status, 0) << line << "\n" << check.err;
    EXPECT_NE(check.out.find("  clean:         16"), std::string::npos) << line << check.out;
  }
}

TEST(PagolinthEccInputs, OptionsMayComeBeforeTheCommand) {
  scratch_dir dir;
  write_file(dir.file("raw.bin"), random_bytes(2 * (4096 + 224), 11));
  const std::vector<std::string> geometry = {"--page-size", "4096", "--spare-size", "224"};
  std::vector<std::string> after = {"encode", "raw.bin", "-o", "a.bin"};
  after.insert(after.end(), geometry.begin(), geometry.end());
  std::vector<std::string> before = geometry;
  before.insert(before.end(), {"encode", "raw.bin", "-o", "b.bin"});
  ASSERT_EQ(ecc(dir, after).exit_status, 0);
  const program_result r = ecc(dir, before);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("a.bin")), read_file(dir.file("b.bin")));

  // A value that reads like a command stays a value: a layout file named "check".
  const program_result layout = ecc(dir, {"layout", "--page-size", "4096", "--spare-size", "224"});
  write_file(dir.file("check"), layout.out);
  const program_result named = ecc(dir, {"--layout", "check", "check", "a.bin"});
  EXPECT_EQ(named.exit_status, 0) << named.err;
  EXPECT_NE(named.out.find("  clean:         16"), std::string::npos) << named.out;

  // An option the command does not know is still refused, in one line.
  const program_result unknown = ecc(dir, {"--flips", "3", "check", "a.bin"});
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_NE(unknown.err.find("--flips"), std::string::npos) << unknown.err;
}

TEST(PagolinthEccInputs, OneOfAThingIsSingular) {
  // One page of one sector with one flipped bit, in one block of one page.
  scratch_dir dir;
  const std::vector<std::string> geometry = {"--page-size", "512",           "--spare-size",
                                             "32",          "--block-pages", "1"};
  write_file(dir.file("raw.bin"), random_bytes(544 + 1, 12));  // and a 1-byte tail
  std::vector<std::string> encode = {"encode", "raw.bin", "-o", "enc.bin"};
  encode.insert(encode.end(), geometry.begin(), geometry.end());
  const program_result e = ecc(dir, encode);
  ASSERT_EQ(e.exit_status, 0) << e.err;
  EXPECT_NE(e.out.find("pages:           1, 1 sector\n"), std::string::npos) << e.out;
  EXPECT_NE(e.out.find("tail:            1 byte copied unchanged"), std::string::npos) << e.out;
  std::string dump = read_file(dir.file("enc.bin"));
  dump[100] = static_cast<char>(dump[100] ^ 0x10);
  write_file(dir.file("one.bin"), dump);
  std::vector<std::string> check = {"check", "one.bin", "--map", "one.svg"};
  check.insert(check.end(), geometry.begin(), geometry.end());
  const program_result r = ecc(dir, check);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  for (const char* line :
       {"pages:           1 of 512 + 32 bytes, 1 sector each\n", "  corrected:     1 (1 bit)\n",
        "  block 0: 0 uncorrectable sectors, 1 bit corrected\n",
        "tail:            1 byte after the last whole page"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_NE(read_file(dir.file("one.svg")).find("1 page of 512 + 32 bytes, 1 block of 1 page "),
            std::string::npos);
}
