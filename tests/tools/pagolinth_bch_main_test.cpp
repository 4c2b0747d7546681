// Tests of run_pagolinth_bch in-process: the README's known outputs whatever calls came before
// (the construction library keeps module state between calls), the same bytes and status as the
// executable, and status 1 with one message when the output cannot be written.
#include "tools/pagolinth_bch_main.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE

#include <sys/wait.h>  // WIFEXITED, WEXITSTATUS
#include <unistd.h>    // getpid

#include <cstdio>    // std::FILE, std::tmpfile, std::fopen, std::fclose, std::rewind, std::fread
#include <cstdlib>   // std::system
#include <fstream>   // std::ifstream
#include <iterator>  // std::istreambuf_iterator
#include <sstream>   // std::istringstream
#include <string>    // std::string, std::to_string
#include <vector>    // std::vector

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string read_back(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, got);
  }
  return text;
}

std::vector<std::string> words_of(const std::string& args) {
  std::vector<std::string> words;
  std::istringstream in(args);
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

// Calls the function with the shell-free words of `args`; `out` is the stream it writes to,
// a fresh temporary file when null.
Outcome call(const std::string& args, std::FILE* out = nullptr) {
  std::vector<std::string> words = words_of(args);
  std::vector<const char*> argv{"pagolinth-bch"};
  for (const std::string& w : words) {
    argv.push_back(w.c_str());
  }
  std::FILE* own_out = out ? nullptr : std::tmpfile();
  std::FILE* err = std::tmpfile();
  Outcome r;
  if ((out == nullptr && own_out == nullptr) || err == nullptr) {
    ADD_FAILURE() << "no temporary file";
    return r;
  }
  r.status =
      run_pagolinth_bch(static_cast<int>(argv.size()), argv.data(), out ? out : own_out, err);
  if (own_out) {
    r.out = read_back(own_out);
    std::fclose(own_out);
  }
  r.err = read_back(err);
  std::fclose(err);
  return r;
}

std::string take_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::remove(path.c_str());
  return text;
}

// Runs the executable; `stdout_to` replaces the captured standard output when not empty.
Outcome spawn(const std::string& args, const std::string& stdout_to = "") {
  const std::string base = testing::TempDir() + "pagolinth_bch_main_" + std::to_string(getpid());
  const std::string out_path = stdout_to.empty() ? base + ".out" : stdout_to;
  const int raw = std::system((std::string("'") + PAGOLINTH_BCH_EXE + "' " + args + " >'" +
                               out_path + "' 2>'" + base + ".err' </dev/null")
                                  .c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, stdout_to.empty() ? take_file(out_path) : "",
          take_file(base + ".err")};
}

// The two examples of the README, worked out by hand there.
const char kM13T4[] = "m=13 n=8191 t=4 r=52 k=8139 p=8\ng= 1 0 0 0 0 6 1 B 1 9 E 2 E 9\n";
const char kM4T1Matrix[] = "m=4 n=15 t=1 r=4 k=11 p=2\ng= 1 3\n2\n3\n9\n4\n";

TEST(RunPagolinthBch, KnownOutputsWhateverCallsCameBefore) {
  // A larger code, a refusal and a help text in between must leave nothing behind that a later
  // call sees: the library's tables and matrices are rebuilt, not reused.
  const struct {
    const char* args;
    int status;
    const char* out;  // null: not compared
  } calls[] = {
      {"-m 13 -t 4", 0, kM13T4},
      {"-m 4 -t 1 -p 2 --matrix", 0, kM4T1Matrix},
      {"-m 15 -t 66 -p 990 --matrix", 0, nullptr},
      {"-m 4 -t 1 -p 2 --matrix", 0, kM4T1Matrix},
      {"-m 21", 2, ""},
      {"-m 13 -t 4", 0, kM13T4},
      {"--help", 0, nullptr},
      {"-m 4 -t 8", 2, ""},
      {"-m 4 -t 1 -p 2 --matrix", 0, kM4T1Matrix},
  };
  int index = 0;
  for (const auto& c : calls) {
    SCOPED_TRACE(testing::Message() << "call " << index++ << ": " << c.args);
    const Outcome r = call(c.args);
    EXPECT_EQ(r.status, c.status);
    if (c.out != nullptr) {
      EXPECT_EQ(r.out, c.out);
    }
    if (c.status == 0) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.err.rfind("pagolinth-bch: ", 0), 0u) << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
  }
}

TEST(RunPagolinthBch, SameBytesAndStatusAsTheExecutable) {
  for (const char* args : {"", "-m 5 -t 3 -p 7 --matrix", "-m 8 -t 2 -p 100 --matrix", "--help",
                           "-m 21", "-t", "-p 0", "-m 6 -t 2 -q"}) {
    SCOPED_TRACE(testing::Message() << "args: '" << args << "'");
    const Outcome in_process = call(args);
    const Outcome child = spawn(args);
    EXPECT_EQ(in_process.status, child.status);
    EXPECT_EQ(in_process.out, child.out);
    EXPECT_EQ(in_process.err, child.err);
  }
}

TEST(RunPagolinthBch, OutputThatCannotBeWrittenGivesStatus1AndOneMessage) {
  const std::string message = "pagolinth-bch: cannot write standard output\n";
  // Enough output for a stream's buffer to fill, and less than a buffer: the fault must show
  // either way, as the write or as the final flush.
  for (const char* args : {"-m 13 -t 4", "--help", "-m 15 -t 66 -p 990 --matrix"}) {
    SCOPED_TRACE(testing::Message() << "args: " << args);
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    const Outcome r = call(args, full);
    std::fclose(full);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);

    const Outcome child = spawn(args, "/dev/full");
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.err, message) << "the executable reports the fault once";
  }
  // A refusal writes nothing on standard output, so a full device changes nothing.
  const Outcome refused = spawn("-m 1", "/dev/full");
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err.rfind("pagolinth-bch: field degree", 0), 0u) << refused.err;
}

}  // namespace
