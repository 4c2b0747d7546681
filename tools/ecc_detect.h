// pagolinth-ecc detect: finds a dump's page layout and BCH code from the dump alone, prints
// them with the evidence behind them and writes them as a layout file that check, fix and
// extract take as it is.
#pragma once

#include <CLI/CLI.hpp>  // CLI::App

#include <cstdint>  // std::int32_t
#include <string>   // std::string

struct detect_command_options {
  std::string dump;
  std::int32_t page_size = 0;  // 0: guessed from the dump (then spare_size is 0 too)
  std::int32_t spare_size = 0;
  std::int32_t block_pages = 64;
  std::string out;  // the layout file; "": the layout goes to standard output
  bool force = false;
  int pages = 256;     // pages sampled
  bool quick = false;  // skip the long tries for dumps whose steps mostly carry bit errors
};

// Adds the `detect` command and its options to `app`, filling `o` when parsed.
CLI::App* add_detect_command(CLI::App& app, detect_command_options& o);

// Runs the command. Exit status: 0 when a layout is found (and written), 1 when nothing beats
// chance (what was ruled out is listed), 2 for bad usage, an unreadable dump or an output
// that cannot be written.
int run_detect_command(const detect_command_options& o);
