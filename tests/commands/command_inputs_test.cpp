// In-process tests of what every command starts from (commands/command_inputs.cpp): the layout
// chosen or refused in one line, only a regular file holding a whole page taken as a dump, and
// words quoted so that a shell reads them back unchanged.
#include <sys/stat.h>  // mkfifo

#include <gtest/gtest.h>

#include <filesystem>  // std::filesystem
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/commands/command_test_support.h"  // built_in, layout_file, has, to_toml

namespace {

using namespace command_test;

TEST(CommandInputs, ALayoutIsChosenOrRefusedInOneLine) {
  scratch_dir dir;
  write_file(dir.file("good.toml"), to_toml(test_layouts()[0]));
  write_file(dir.file("small.toml"),
             "[geometry]\npage_size = 2048\nspare_size = 64\nblock_pages = 64\n[code]\nm = 13\n"
             "t = 8\n[[steps]]\ndata = [[0, 512]]\necc = [2048, 12]\n");
  const struct {
    const char* name;
    layout_choice choice;
    const char* says;  // "" when the layout is taken
  } cases[] = {
      {"built-in default", {}, ""},
      {"layout file", layout_file(dir.file("good.toml")), ""},
      {"t 9", built_in(2048, 64, 64, 9), "parity bits need 15"},
      {"page below 512", built_in(256, 64, 64, 8), "a page of less than 512 bytes holds no sector"},
      {"spare too small", built_in(512, 16, 64, 8), "past the raw page of 528 bytes"},
      {"missing file", layout_file(dir.file("missing.toml")), "missing.toml: cannot open"},
      {"ECC too small for the code", layout_file(dir.file("small.toml")),
       "holds 12 bytes, but the code's 104 parity bits need 13"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("case ") + c.name);
    nand_layout layout;
    bch_code code;
    const status chosen = choose_layout_and_code(c.choice, layout, code);
    // The layout command refuses alike.
    EXPECT_EQ(run_layout({c.choice}).error.message, chosen.message);
    if (*c.says == '\0') {
      EXPECT_TRUE(chosen.ok()) << chosen.message;
      continue;
    }
    EXPECT_TRUE(has(chosen.message, c.says)) << chosen.message;
    EXPECT_FALSE(has(chosen.message, "\n")) << chosen.message;
  }
}

TEST(CommandInputs, OnlyARegularFileWithAWholePageIsADump) {
  scratch_dir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.file("folder"));
  write_file(dir.file("empty.bin"), "");
  write_file(dir.file("short.bin"), std::string(2111, '\xFF'));
  const struct {
    std::string dump, says;
  } cases[] = {
      {dir.file("folder"), "folder is a directory"},
      {dir.file("fifo"), "fifo is not a regular file"},
      {"/dev/zero", "/dev/zero is not a regular file"},
      {dir.file("empty.bin"),
       "empty.bin holds no whole page (0 bytes; a page with its spare is 2112 bytes)"},
      {dir.file("short.bin"), "short.bin holds no whole page (2111 bytes"},
      {dir.file("missing.bin"), "missing.bin: no such file"},
      // Files under /proc report a size of 0 however much they hold.
      {"/proc/self/status", "holds no whole page"},
  };
  for (const auto& c : cases) {
    if (c.dump.rfind("/proc", 0) == 0 && !std::filesystem::exists(c.dump))
      continue;
    for (pass_command command : {pass_command::check, pass_command::fix, pass_command::extract}) {
      SCOPED_TRACE("case " + c.dump + ", pass " + std::to_string(static_cast<int>(command)));
      const pass_outcome r = run_pass(request(command, c.dump, dir.file("image.bin")));
      EXPECT_TRUE(has(r.error.message, c.says)) << r.error.message;
      EXPECT_FALSE(std::filesystem::exists(dir.file("image.bin")));
    }
    SCOPED_TRACE("case probe " + c.dump);
    probe_request probe;
    probe.dump = c.dump;
    EXPECT_TRUE(has(run_probe(probe).error.message, c.says));
  }
}

TEST(CommandInputs, QuotedWordsReadBackUnchangedInAShell) {
  const std::vector<std::string> words = {
      "plain/dump-1.bin", "",      "it's a dump;.bin", "dump (2) $HOME.bin", "`date`\\*?~#&|<>",
      "two\nlines",       "naïve", "a'b''c",
  };
  // Words of plain characters stay bare, so that suggestions stay readable.
  EXPECT_EQ(shell_quoted(words[0]), words[0]);
  std::string script = "printf '%s\\0'";
  std::string want;
  for (const std::string& w : words) {
    script += " " + shell_quoted(w);
    want += w + '\0';
  }
  scratch_dir dir;
  const program_result r = run_program("/bin/sh", dir.path(), "", {"-c", script});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, want) << script;
}

}  // namespace
