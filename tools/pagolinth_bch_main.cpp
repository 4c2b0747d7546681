// pagolinth-bch's work: reads the options, builds the code with the bch/ library's module state
// and writes its parameters, generator polynomial and, on request, the transition matrix in the
// fixed line format that encoder and decoder design scripts parse; on request also the encoder
// and syndrome unit as Verilog or VHDL files, each with a testbench beside it.
#include "tools/pagolinth_bch_main.h"

#include "bch/bch.h"            // mm, nn, tt, Parallel, Verbose, check_params, generate_gf, ...
#include "files/output_file.h"  // named_output, staged_output, stage_output, commit_output
#include "hdl/hdl.h"            // hdl_code, hdl_module_text, hdl_testbench_text, ...
#include "version/version.h"    // pagolinth_version_text

#include <algorithm>  // std::copy
#include <cerrno>     // errno, ERANGE
#include <climits>    // INT_MAX, INT_MIN
#include <cstddef>    // std::size_t
#include <cstdio>     // std::FILE, std::fprintf, std::fputs, std::fputc, std::fflush, std::ferror
#include <cstdint>    // std::uint8_t, std::uint32_t
#include <cstdlib>    // std::strtoll
#include <memory>     // std::unique_ptr, std::make_unique
#include <string>     // std::string, std::to_string
#include <utility>    // std::move
#include <vector>     // std::vector

namespace {

constexpr char kUsage[] =
    "Usage: pagolinth-bch [-m M] [-t T] [-p P] [-v] [--matrix] [--verilog FILE] [--vhdl FILE]\n"
    "                     [--syndrome-verilog FILE] [--syndrome-vhdl FILE] [--name NAME]\n"
    "                     [--testbench] [--force]\n"
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
    "  --verilog FILE   also write the parallel encoder, P message bits per clock, as a\n"
    "            Verilog-2001 module to FILE. Example: -m 13 -t 8 -p 8 --verilog enc.v\n"
    "  --vhdl FILE      the same encoder as a VHDL-93 entity.\n"
    "  --syndrome-verilog FILE, --syndrome-vhdl FILE\n"
    "            also write the syndrome unit (P received bits per clock, S_1 ... S_2T).\n"
    "  --name NAME      module name instead of bch_encoder_mM_tT_pP or bch_syndrome_mM_tT_pP;\n"
    "            a letter, then letters, digits and single underscores, at most 64. It names\n"
    "            one unit: give it with the encoder or the syndrome unit, not both.\n"
    "  --testbench      also write a self-checking testbench beside each module file:\n"
    "            FILE.v -> FILE_tb.v, FILE.vhd -> FILE_tb.vhd, FILE.vhdl -> FILE_tb.vhdl,\n"
    "            any other FILE -> FILE_tb.v or FILE_tb.vhd. Simulated, it prints\n"
    "            PASS NAME vectors=V or FAIL NAME vectors=V mismatches=M.\n"
    "  --force   replace existing non-empty files (never a link, folder or device).\n"
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
    "Files are written under a temporary name and renamed when complete; a refused option\n"
    "or parameter writes none. The module ports: clk, clear (synchronous, wins over enable),\n"
    "enable, data[P-1:0] (data[P-1] the earliest bit), and parity[R-1:0] or\n"
    "syndromes[2TM-1:0]; the module's header comment says more.\n"
    "\n"
    "Exit status: 0 on success, 2 for invalid options or parameters, 1 if output fails\n"
    "(standard output or a file, e.g. a FILE that is a link or an existing file).\n";

struct Options {
  int m = df_m;
  int t = df_t;
  int p = df_p;
  bool verbose = false;
  bool matrix = false;
  bool help = false;
  std::string verilog, vhdl, syndrome_verilog, syndrome_vhdl;  // "" when not asked for
  std::string name;                                            // "" for the default names
  bool testbench = false;
  bool force = false;
  bool version = false;
};

// The options that write files, with the member each sets ("" for the flags).
struct file_option {
  const char* option;
  std::string Options::*path;
};
const file_option kFileOptions[] = {
    {"--verilog", &Options::verilog},
    {"--vhdl", &Options::vhdl},
    {"--syndrome-verilog", &Options::syndrome_verilog},
    {"--syndrome-vhdl", &Options::syndrome_vhdl},
    {"--name", &Options::name},
    {"--testbench", nullptr},
    {"--force", nullptr},
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
// Without `allow_files`, every option of the file outputs is refused.
std::string parse_options(int argc, const char* const argv[], bool allow_files, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const file_option* file = nullptr;
    for (const file_option& f : kFileOptions) {
      if (arg == f.option) {
        file = &f;
      }
    }
    if (file != nullptr && !allow_files) {
      return "option " + arg + " is for file outputs, which are turned off here";
    }
    if (file != nullptr && file->path != nullptr) {
      if (i + 1 >= argc) {
        return "option " + arg + " needs a value";
      }
      options->*(file->path) = argv[++i];
      if ((options->*(file->path)).empty()) {
        return "option " + arg + " needs a non-empty value";
      }
    } else if (arg == "--testbench") {
      options->testbench = true;
    } else if (arg == "--force") {
      options->force = true;
    } else if (arg == "-v") {
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
  const bool encoder = !options->verilog.empty() || !options->vhdl.empty();
  const bool syndrome = !options->syndrome_verilog.empty() || !options->syndrome_vhdl.empty();
  if ((options->testbench || !options->name.empty()) && !encoder && !syndrome) {
    return std::string(options->testbench ? "--testbench" : "--name") +
           " needs --verilog, --vhdl, --syndrome-verilog or --syndrome-vhdl";
  }
  if (!options->name.empty() && encoder && syndrome) {
    return "--name names one unit: write the encoder and the syndrome unit in two runs";
  }
  if (!options->name.empty()) {
    if (std::string e = hdl_check_name(options->name).message; !e.empty()) {
      return e;
    }
  }
  return "";
}

// One file to write: the option that asked for it, its name and its text.
struct hdl_output {
  std::string option;
  std::string path;
  std::string text;
};

// Builds the texts of every file asked for. Returns "" or a message.
std::string build_outputs(const Options& o, std::vector<hdl_output>* outputs) {
  hdl_code code = hdl_code_of_state();
  if (std::string e = hdl_check_code(code).message; !e.empty()) {
    return "internal fault: " + e;
  }
  struct request {
    const char* option;
    const std::string& path;
    hdl_unit unit;
    hdl_language language;
  };
  const request requests[] = {
      {"--verilog", o.verilog, hdl_unit::encoder, hdl_language::verilog},
      {"--vhdl", o.vhdl, hdl_unit::encoder, hdl_language::vhdl},
      {"--syndrome-verilog", o.syndrome_verilog, hdl_unit::syndrome, hdl_language::verilog},
      {"--syndrome-vhdl", o.syndrome_vhdl, hdl_unit::syndrome, hdl_language::vhdl},
  };
  for (const request& q : requests) {
    if (q.path.empty()) {
      continue;
    }
    const std::string name = o.name.empty() ? hdl_default_name(code, q.unit) : o.name;
    code.command = "pagolinth-bch -m " + std::to_string(mm) + " -t " + std::to_string(tt) + " -p " +
                   std::to_string(Parallel) + (o.name.empty() ? "" : " --name " + o.name) + " " +
                   q.option + " FILE";
    outputs->push_back({q.option, q.path, hdl_module_text(code, q.unit, q.language, name)});
    if (o.testbench) {
      code.command += " --testbench";
      std::string text;
      if (std::string e = hdl_testbench_text(code, q.unit, q.language, name, {}, &text).message;
          !e.empty()) {
        return "cannot make the testbench of " + q.path + ": " + e;
      }
      outputs->push_back({std::string("--testbench (") + q.option + ")",
                          hdl_testbench_path(q.path, q.language), std::move(text)});
    }
  }
  return "";
}

// Stages, writes and commits every output; the first fault ends it with its message, and the
// outputs not yet committed are removed. Leftovers of interrupted runs are reported on `err`.
status write_outputs(const std::vector<hdl_output>& outputs, bool force, std::FILE* err) {
  std::vector<std::unique_ptr<staged_output>> staged;
  for (const hdl_output& one : outputs) {
    staged.push_back(std::make_unique<staged_output>());
    const status e = stage_output(*staged.back(), one.path, "", force);
    for (const leftover_temp& l : staged.back()->leftovers) {
      std::fprintf(err, "pagolinth-bch: warning: %s, left by process %ld, %s\n", l.path.c_str(),
                   l.pid,
                   l.removed      ? "is removed"
                   : l.maker_gone ? "could not be removed"
                                  : "is kept");
    }
    if (!e.ok()) {
      return e;
    }
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    std::FILE* file = staged[i]->file.get();
    const std::string& text = outputs[i].text;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fflush(file) != 0) {
      return status::error(write_failure(outputs[i].path, errno));
    }
  }
  for (const std::unique_ptr<staged_output>& one : staged) {
    if (status e = commit_output(*one); !e.ok()) {
      return e;
    }
  }
  return status::success();
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

int run_pagolinth_bch(int argc, const char* const argv[], std::FILE* out, std::FILE* err,
                      bool allow_files) {
  Options options;
  const std::string fault = parse_options(argc, argv, allow_files, &options);
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

  std::vector<hdl_output> outputs;
  if (std::string e = build_outputs(options, &outputs); !e.empty()) {
    std::fprintf(err, "pagolinth-bch: %s\n", e.c_str());
    std::fflush(err);
    return 1;
  }
  std::vector<named_output> named;
  for (const hdl_output& one : outputs) {
    named.push_back({one.option, one.path});
  }
  if (status e = check_output_names(named, ""); !e.ok()) {
    std::fprintf(err, "pagolinth-bch: %s (see --help)\n", e.message.c_str());
    std::fflush(err);
    return 2;
  }
  if (status e = write_outputs(outputs, options.force, err); !e.ok()) {
    std::fprintf(err, "pagolinth-bch: %s\n", e.message.c_str());
    std::fflush(err);
    return 1;
  }

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
