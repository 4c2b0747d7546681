// pagolinth-bch's work: reads the options, builds the code with the bch/ library's module state
// and writes its parameters, generator polynomial and, on request, the transition matrix in the
// fixed line format that encoder and decoder design scripts parse.
#include "tools/pagolinth_bch_main.h"

#include "bch/bch.h"          // mm, nn, tt, Parallel, Verbose, check_params, generate_gf, gen_poly
#include "version/version.h"  // pagolinth_version_text

#include <algorithm>  // std::copy
#include <cerrno>     // errno, ERANGE
#include <climits>    // INT_MAX, INT_MIN
#include <cstddef>    // std::size_t
#include <cstdio>     // std::FILE, std::fprintf, std::fputs, std::fputc, std::fflush, std::ferror
#include <cstdlib>    // std::strtoll
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

namespace {

constexpr char kUsage[] =
    "Usage: pagolinth-bch [-m M] [-t T] [-p P] [-v] [--matrix]\n"
    "Builds the binary BCH code of length n = 2^M - 1 that corrects T errors and prints its\n"
    "parameters and generator polynomial on standard output.\n"
    "\n"
    "Options:\n"
    "  -m M      field degree, 2 to 20 (default 13). Example: -m 15 gives n = 32767.\n"
    "  -t T      errors corrected, at least 1, with 2T < n and at most 999 parity bits\n"
    "            (default 4). Example: -m 13 -t 8 gives r = 104 parity bits.\n"
    "  -p P      bits per encoder step, at least 1 (default 8); lowered to r when larger.\n"
    "            Example: -p 16 for a 16-bit wide encoder.\n"
    "  -v        also print the field, its tables and the generator polynomial on standard\n"
    "            error. Example: -m 4 -t 1 -v prints the 16 rows of GF(2^4).\n"
    "  --matrix  also print the r rows of the transition matrix for P steps.\n"
    "            Example: -m 4 -t 1 -p 2 --matrix prints 2, 3, 9 and 4.\n"
    "  -h, --help  show this text.\n"
    "  --version   print the version and the source revision it was built from.\n"
    "\n"
    "Output:\n"
    "  m=M n=N t=T r=R k=K p=P  the code: R parity bits, K = N - R data bits, P as used\n"
    "  g= D D ...               generator polynomial g(x) in hex, most significant digit\n"
    "                           first, bit i of the number = coefficient of x^i\n"
    "  one line per row i       (--matrix) row i of the matrix, columns 0 ... R-1 from the\n"
    "                           left, four to a hex digit, the last digit padded with 0 bits\n"
    "\n"
    "Example:\n"
    "  $ pagolinth-bch -m 13 -t 4 -p 8\n"
    "  m=13 n=8191 t=4 r=52 k=8139 p=8\n"
    "  g= 1 0 0 0 0 6 1 B 1 9 E 2 E 9\n"
    "\n"
    "Exit status: 0 on success, 2 for invalid options or parameters, 1 if output fails.\n";

struct Options {
  int m = df_m;
  int t = df_t;
  int p = df_p;
  bool verbose = false;
  bool matrix = false;
  bool help = false;
  bool version = false;
};

// Parses a whole argument as a decimal int; false for anything else, including overflow.
bool parse_int(const char* text, int* value) {
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

// Reads the options into *options; on a fault returns its one-line message, otherwise "".
std::string parse_options(int argc, const char* const argv[], Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-v") {
      options->verbose = true;
    } else if (arg == "--matrix") {
      options->matrix = true;
    } else if (arg == "-h" || arg == "--help") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "-m" || arg == "-t" || arg == "-p") {
      if (i + 1 >= argc) {
        return "option " + arg + " needs a value";
      }
      int* target = arg == "-m" ? &options->m : arg == "-t" ? &options->t : &options->p;
      if (!parse_int(argv[++i], target)) {
        return "option " + arg + " needs an integer, not '" + argv[i] + "'";
      }
    } else {
      return "unknown argument '" + arg + "'";
    }
  }
  if (options->p < 1) {
    return "bits per step p = " + std::to_string(options->p) + " is below 1";
  }
  return "";
}

// Writes v[0 ... n-1] with the given printer; copied into a zero-padded buffer because the
// printers read whole groups of four elements past n.
void print_bits(void (*printer)(int, const int[], std::FILE*), int n, const int v[],
                std::FILE* out) {
  std::vector<int> padded(static_cast<std::size_t>(n) + 4, 0);
  std::copy(v, v + n, padded.begin());
  printer(n, padded.data(), out);
}

// Flushes `out` and tells whether everything written to it arrived: a full disk or a closed
// pipe shows only here.
int finish_output(std::FILE* out, std::FILE* err) {
  if (std::fflush(out) != 0 || std::ferror(out)) {
    std::fputs("pagolinth-bch: cannot write standard output\n", err);
    std::fflush(err);
    return 1;
  }
  return 0;
}

}  // namespace

int run_pagolinth_bch(int argc, const char* const argv[], std::FILE* out, std::FILE* err) {
  Options options;
  const std::string fault = parse_options(argc, argv, &options);
  if (!fault.empty()) {
    std::fprintf(err, "pagolinth-bch: %s (see --help)\n", fault.c_str());
    std::fflush(err);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, out);
    return finish_output(out, err);
  }
  if (options.version) {
    std::fputs((pagolinth_version_text("pagolinth-bch") + "\n").c_str(), out);
    return finish_output(out, err);
  }

  mm = options.m;
  nn = options.m >= kBchMinDegree && options.m <= kBchMaxDegree ? (1 << options.m) - 1 : 0;
  tt = options.t;
  Parallel = options.p;
  Verbose = options.verbose ? 1 : 0;
  if (const char* message = check_params()) {
    std::fprintf(err, "pagolinth-bch: %s (see --help)\n", message);
    std::fflush(err);
    return 2;
  }
  generate_gf();
  gen_poly();

  std::fprintf(out, "m=%d n=%d t=%d r=%d k=%d p=%d\n", mm, nn, tt, rr, kk, Parallel);
  std::fputs("g=", out);
  print_bits(print_hex, rr + 1, gg, out);
  std::fputc('\n', out);
  if (options.matrix) {
    for (int i = 0; i < rr; ++i) {
      print_bits(print_hex_low, rr, T_G_R[i], out);
      std::fputc('\n', out);
    }
  }
  return finish_output(out, err);
}
