// The work of pagolinth-bch as a function: options in, code parameters, generator polynomial
// and transition matrix out, on streams the caller chooses. The executable is a thin main
// around it; the fuzzer calls it in-process with argument lists of its own.
#pragma once

#include <cstdio>  // std::FILE

// Runs pagolinth-bch on argv[1 ... argc-1] (argv[0], the program name, is not read) and returns
// its exit status: 0 on success, 2 for invalid options or parameters (one line on `err`,
// nothing on `out`), 1 when writing or flushing `out` fails (one line on `err`). Never exits
// the process; `out` and `err` are flushed but left open for the caller to close.
// The construction library's diagnostics of -v go to standard error whatever `err` is.
// With `allow_files` false, the options that write files (--verilog, --vhdl, --syndrome-*,
// --name, --testbench, --force) are refused with status 2 and nothing is written: for callers
// such as a fuzzer that feed arbitrary argument lists. Otherwise those files are written as
// --help describes: under a temporary name, renamed when complete, never through a link.
// REQUIRES: argc >= 1, argv[0 ... argc-1] non-null strings; `out` and `err` open for writing.
// Uses the construction library's module state: not thread-safe, one call at a time.
int run_pagolinth_bch(int argc, const char* const argv[], std::FILE* out, std::FILE* err,
                      bool allow_files = true);
