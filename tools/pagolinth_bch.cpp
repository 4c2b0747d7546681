// pagolinth-bch: builds a binary BCH code with the bch/ library and prints its parameters, its
// generator polynomial and, on request, the transition matrix for P bits per encoder step, in a
// fixed line format for encoder and decoder design scripts. The work is run_pagolinth_bch.
#include <cstdio>  // std::fclose, std::fputs, std::fprintf, stdout, stderr

#include "status/guard.h"              // run_guarded
#include "tools/pagolinth_bch_main.h"  // run_pagolinth_bch

namespace {

int run_program(int argc, char** argv) {
  int status = run_pagolinth_bch(argc, argv, stdout, stderr);
  // Closing can still fail after a successful flush (a file system that reports late): the
  // output is then not known to be complete, and the usage text promises status 1 for that.
  if (std::fclose(stdout) != 0 && status == 0) {
    std::fputs("pagolinth-bch: cannot write standard output\n", stderr);
    status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  return run_guarded("pagolinth-bch", 2, [&] { return run_program(argc, argv); });
}
