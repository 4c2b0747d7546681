// End-to-end tests of pagolinth-bch run as a subprocess: its lines against PARI/GP's generator
// polynomials and the plain matrix product, its exact verbose text, its refusals.
#include "tests/bch/reference.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE

#include <sys/wait.h>  // WIFEXITED, WEXITSTATUS
#include <unistd.h>    // getpid

#include <cstdio>    // std::remove, std::sscanf
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

std::string take_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::remove(path.c_str());
  return text;
}

// Runs the front end with the given arguments (shell words) and collects what it wrote.
Outcome run(const std::string& args) {
  const std::string base = testing::TempDir() + "pagolinth_bch_" + std::to_string(getpid());
  const int raw = std::system((std::string("'") + PAGOLINTH_BCH_EXE + "' " + args + " >'" + base +
                               ".out' 2>'" + base + ".err' </dev/null")
                                  .c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, take_file(base + ".out"),
          take_file(base + ".err")};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::string words(int m, int t, int p) {
  return "-m " + std::to_string(m) + " -t " + std::to_string(t) + " -p " + std::to_string(p);
}

TEST(PagolinthBch, DefaultsGiveTheM13T4Code) {
  const Outcome r = run("");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "m=13 n=8191 t=4 r=52 k=8139 p=8\ng= 1 0 0 0 0 6 1 B 1 9 E 2 E 9\n");
  EXPECT_EQ(r.err, "");
}

TEST(PagolinthBch, GeneratorPolynomialsMatchKnownAnswersForEveryDegree) {
  for (const auto& code : bch_reference::known_codes(PAGOLINTH_KNOWN_CODES)) {
    SCOPED_TRACE(testing::Message() << "m=" << code.m << " t=" << code.t);
    const int n = (1 << code.m) - 1;
    // The known hex number, zero-padded to the ceil((r + 1) / 4) digits of r + 1 bits.
    std::string expected = "m=" + std::to_string(code.m) + " n=" + std::to_string(n) +
                           " t=" + std::to_string(code.t) + " r=" + std::to_string(code.r) +
                           " k=" + std::to_string(n - code.r) + " p=1\ng=";
    for (char d : std::string(code.r / 4 + 1 - code.hex.size(), '0') + code.hex) {
      expected += std::string(" ") + d;
    }
    const Outcome r = run(words(code.m, code.t, 1));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected + "\n");
  }
}

TEST(PagolinthBch, MatrixRowsEqualThePlainProduct) {
  const int cases[][3] = {{4, 1, 8}, {4, 1, 2},  {5, 3, 2},  {6, 2, 13},
                          {7, 2, 1}, {8, 3, 24}, {13, 4, 8}, {13, 4, 53}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "m=" << c[0] << " t=" << c[1] << " P=" << c[2]);
    const Outcome r = run(words(c[0], c[1], c[2]) + " --matrix");
    const std::vector<std::string> lines = lines_of(r.out);
    int rows = 0, power = 0;
    ASSERT_TRUE(r.status == 0 && lines.size() > 2);
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "m=%*d n=%*d t=%*d r=%d k=%*d p=%d", &rows, &power), 2);
    EXPECT_EQ(power, std::min(c[2], rows));
    ASSERT_EQ(lines.size(), 2u + rows);
    std::string hex;  // the g= line without its blanks
    for (std::size_t i = 3; i < lines[1].size(); i += 2) {
      hex += lines[1][i];
    }
    const bch_reference::Matrix expected = bch_reference::power(
        bch_reference::one_step(bch_reference::hex_to_bits(hex, rows), rows), rows, power);
    for (int i = 0; i < rows; ++i) {
      std::string row;  // columns from the left, four to a digit, zero-padded at the end
      for (int j = 0; j < rows; j += 4) {
        int digit = 0;
        for (int b = j; b < j + 4; ++b) {
          digit = 2 * digit + (b < rows ? expected[i * rows + b] : 0);
        }
        row += "0123456789ABCDEF"[digit];
      }
      EXPECT_EQ(lines[2 + i], row) << "row " << i;
    }
  }
}

TEST(PagolinthBch, VerboseDiagnosticsAreExact) {
  const Outcome r = run("-m 4 -t 1 -p 2 -v");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "m=4 n=15 t=1 r=4 k=11 p=2\ng= 1 3\n");
  EXPECT_EQ(r.err,
            std::string(bch_reference::kVerboseFieldM4) + bch_reference::kVerboseGeneratorM4T1);
}

TEST(PagolinthBch, RefusesBadArgumentsWithOneLineAndStatus2) {
  for (const char* args :
       {"-m 1", "-m 21", "-m 4 -t 8", "-m 20 -t 50", "-t 0", "-t -1", "-p 0", "-p -8", "-m abc",
        "-m 13x", "-m ''", "-m 99999999999", "-t", "--bogus", "extra", "-m 4 -t 1 -q"}) {
    SCOPED_TRACE(testing::Message() << "args: " << args);
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("pagolinth-bch: ", 0), 0u) << r.err;
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  }
}

TEST(PagolinthBch, HelpExplainsEveryOption) {
  const Outcome r = run("--help");
  EXPECT_EQ(r.status, 0);
  for (const char* word : {"-m M", "-t T", "-p P", "-v", "--matrix", "Example"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
