// Fuzz target of pagolinth-bch's parameters: argument lists (one per input line) run through
// run_pagolinth_bch in-process, and what it prints held to a second reading of the arguments
// and an independent count of the parity bits. Aborts with a message when they disagree.
//
// Inputs with a field degree above 14 are skipped to keep runs fast (the tool takes up to 20),
// and -v, whose tables go to standard error, only with a field degree of at most 6.
#include <sanitizer/common_interface_defs.h>  // __sanitizer_set_report_fd

#include <fcntl.h>   // open, O_WRONLY
#include <unistd.h>  // dup, dup2, STDERR_FILENO

#include <cerrno>   // errno, ERANGE
#include <climits>  // INT_MAX, INT_MIN
#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::intptr_t
#include <cstdio>   // std::FILE, open_memstream, std::fclose, std::sscanf
#include <cstdlib>  // std::abort, std::free, std::strtoll
#include <string>   // std::string
#include <vector>   // std::vector

#include "tools/pagolinth_bch_main.h"  // run_pagolinth_bch

namespace {

constexpr std::size_t kMaxInput = 1024;
constexpr std::size_t kMaxArgs = 16;
constexpr int kMaxFuzzDegree = 14;
constexpr int kMaxVerboseDegree = 6;

std::string g_case;  // the argument list, for messages

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bch args fuzz: %s\n  arguments:%s\n", what.c_str(), g_case.c_str());
  std::abort();
}

// The tool's rule for a number: the whole text in decimal, within int.
bool parse_int(const std::string& text, int& value) {
  if (text.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX)
    return false;
  value = static_cast<int>(parsed);
  return true;
}

struct reading {
  bool valid = true;  // false: the tool must refuse the arguments
  int m = 13, t = 4, p = 8;
  bool verbose = false, matrix = false, help = false, version = false;
};

reading read_arguments(const std::vector<std::string>& args) {
  reading r;
  for (std::size_t i = 0; i < args.size() && r.valid; ++i) {
    const std::string& a = args[i];
    if (a == "-v") {
      r.verbose = true;
    } else if (a == "--matrix") {
      r.matrix = true;
    } else if (a == "-h" || a == "--help") {
      r.help = true;
    } else if (a == "--version") {
      r.version = true;
    } else if (a == "-m" || a == "-t" || a == "-p") {
      int& target = a == "-m" ? r.m : a == "-t" ? r.t : r.p;
      r.valid = i + 1 < args.size() && parse_int(args[++i], target);
    } else {
      r.valid = false;
    }
  }
  if (r.p < 1)
    r.valid = false;
  return r;
}

// Parity bits of the code of length n = 2^m - 1 correcting t errors, counted as the union of
// the cyclotomic cosets of 1 ... 2t modulo n.
// REQUIRES: m in 2 ... kMaxFuzzDegree, 1 <= t, 2t < n.
int parity_bits(int m, int t) {
  const int n = (1 << m) - 1;
  std::vector<bool> taken(static_cast<std::size_t>(n), false);
  int r = 0;
  for (int i = 1; i <= 2 * t; ++i) {
    for (int e = i % n; !taken[e]; e = 2 * e % n) {
      taken[e] = true;
      ++r;
    }
  }
  return r;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  if (start != text.size())
    fail("output does not end with a line end");
  return lines;
}

// Checks the parameter line, g and the matrix rows against the expected code.
void check_code_output(const std::string& out, const reading& a, int r) {
  const int n = (1 << a.m) - 1;
  const int p = a.p < r ? a.p : r;
  const std::vector<std::string> lines = lines_of(out);
  const std::string first = "m=" + std::to_string(a.m) + " n=" + std::to_string(n) +
                            " t=" + std::to_string(a.t) + " r=" + std::to_string(r) +
                            " k=" + std::to_string(n - r) + " p=" + std::to_string(p);
  if (lines.empty() || lines[0] != first)
    fail("parameter line is \"" + (lines.empty() ? std::string() : lines[0]) + "\", expected \"" +
         first + "\"");
  if (lines.size() != 2 + (a.matrix ? static_cast<std::size_t>(r) : 0))
    fail("wrong number of lines: " + std::to_string(lines.size()));

  // g: one blank and one digit per four coefficients, x^r the highest, g(0) = 1.
  const std::string& gl = lines[1];
  const std::size_t digits = static_cast<std::size_t>((r + 1 + 3) / 4);
  if (gl.size() != 2 + 2 * digits || gl.compare(0, 2, "g=") != 0)
    fail("g line has the wrong shape: " + gl);
  std::vector<int> g(4 * digits, 0);  // g[i] = coefficient of x^i
  for (std::size_t d = 0; d < digits; ++d) {
    const int v = hex_value(gl[3 + 2 * d]);
    if (gl[2 + 2 * d] != ' ' || v < 0)
      fail("g line has the wrong shape: " + gl);
    const std::size_t low = 4 * (digits - 1 - d);
    for (int b = 0; b < 4; ++b)
      g[low + b] = v >> b & 1;
  }
  if (g[static_cast<std::size_t>(r)] != 1 || g[0] != 1)
    fail("g does not have degree r and constant term 1: " + gl);
  for (std::size_t i = static_cast<std::size_t>(r) + 1; i < g.size(); ++i) {
    if (g[i] != 0)
      fail("g has a coefficient above x^r: " + gl);
  }
  if (!a.matrix)
    return;

  // Rows: r columns, four to a digit from the left, the last digit's padding 0. For one bit a
  // step the matrix is the register's own step: a shift, and g fed back into column r - 1.
  const std::size_t row_digits = static_cast<std::size_t>((r + 3) / 4);
  for (int i = 0; i < r; ++i) {
    const std::string& row = lines[2 + static_cast<std::size_t>(i)];
    if (row.size() != row_digits)
      fail("matrix row " + std::to_string(i) + " has the wrong length: " + row);
    for (int col = 0; col < 4 * static_cast<int>(row_digits); ++col) {
      const int v = hex_value(row[static_cast<std::size_t>(col / 4)]);
      if (v < 0)
        fail("matrix row " + std::to_string(i) + " is not hex: " + row);
      const int bit = v >> (3 - col % 4) & 1;
      if (col >= r) {
        if (bit != 0)
          fail("matrix row " + std::to_string(i) + " has padding bits set: " + row);
      } else if (p == 1) {
        const int want =
            (col == i - 1 ? 1 : 0) ^ (col == r - 1 ? g[static_cast<std::size_t>(i)] : 0);
        if (bit != want)
          fail("matrix row " + std::to_string(i) + " is not the register's step: " + row);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size > kMaxInput)
    return -1;
  std::vector<std::string> args;
  std::string text(reinterpret_cast<const char*>(input), size);
  if (!text.empty() && text.back() == '\n')
    text.pop_back();
  if (!text.empty() || size > 0) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t nl = text.find('\n', start);
      std::string arg = text.substr(start, nl == std::string::npos ? nl : nl - start);
      arg.resize(arg.find('\0') == std::string::npos ? arg.size() : arg.find('\0'));
      args.push_back(arg);
      if (nl == std::string::npos)
        break;
      start = nl + 1;
    }
  }
  if (args.size() > kMaxArgs)
    return -1;
  const reading a = read_arguments(args);
  // Keep the field small; only an accepted -m matters, and the last one wins.
  if (a.valid && !a.help && !a.version &&
      ((a.m > kMaxFuzzDegree && a.m <= 20) || (a.verbose && a.m > kMaxVerboseDegree)))
    return -1;

  g_case.clear();
  for (const std::string& s : args)
    g_case += " '" + s + "'";

  static const int report_fd = [] {
    // Sanitizer reports keep the real standard error while -v's tables go to /dev/null.
    const int fd = dup(STDERR_FILENO);
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    return fd;
  }();
  static const int null_fd = open("/dev/null", O_WRONLY);
  if (report_fd < 0 || null_fd < 0)
    fail("cannot set up the descriptors");

  std::vector<const char*> argv{"pagolinth-bch"};
  for (const std::string& s : args)
    argv.push_back(s.c_str());
  char* out_text = nullptr;
  char* err_text = nullptr;
  std::size_t out_size = 0;
  std::size_t err_size = 0;
  std::FILE* out = open_memstream(&out_text, &out_size);
  std::FILE* err = open_memstream(&err_text, &err_size);
  if (out == nullptr || err == nullptr)
    fail("no memory stream");
  const bool quiet = a.valid && a.verbose;
  if (quiet) {
    std::fflush(stderr);
    dup2(null_fd, STDERR_FILENO);
  }
  // No files: the options that write them are refused, which the reading above expects of
  // every option it does not know.
  const int status = run_pagolinth_bch(static_cast<int>(argv.size()), argv.data(), out, err, false);
  if (quiet) {
    std::fflush(stderr);
    dup2(report_fd, STDERR_FILENO);
  }
  std::fclose(out);
  std::fclose(err);
  const std::string out_str(out_text, out_size);
  const std::string err_str(err_text, err_size);
  std::free(out_text);
  std::free(err_text);

  // What the tool must do, by the second reading and the parity count.
  const int n = a.m >= 2 && a.m <= 20 ? (1 << a.m) - 1 : 0;
  const bool code_ok = a.m >= 2 && a.m <= kMaxFuzzDegree && a.t >= 1 && 2LL * a.t < n &&
                       parity_bits(a.m, a.t) <= 999;
  const int expected = !a.valid ? 2 : a.help || a.version ? 0 : code_ok ? 0 : 2;
  if (status != expected)
    fail("status " + std::to_string(status) + ", expected " + std::to_string(expected) +
         "; standard error: " + err_str);
  if (status == 2) {
    if (!out_str.empty())
      fail("a refusal wrote on standard output");
    const std::string tail = " (see --help)\n";
    if (err_str.rfind("pagolinth-bch: ", 0) != 0 || err_str.size() < tail.size() ||
        err_str.compare(err_str.size() - tail.size(), tail.size(), tail) != 0 ||
        err_str.find('\n') != err_str.size() - 1)
      fail("a refusal is not one line naming the tool: " + err_str);
    return 0;
  }
  if (!err_str.empty())
    fail("success wrote on standard error: " + err_str);
  if (a.help) {
    if (out_str.rfind("Usage: pagolinth-bch", 0) != 0)
      fail("--help does not print the usage");
    return 0;
  }
  if (a.version) {
    if (out_str.rfind("pagolinth-bch ", 0) != 0 || out_str.find('\n') != out_str.size() - 1)
      fail("--version does not print one line naming the tool: " + out_str);
    return 0;
  }
  check_code_output(out_str, a, parity_bits(a.m, a.t));
  return 0;
}
