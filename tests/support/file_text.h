// Test support: an open file read back whole, as the tests compare outputs written to
// temporary files.
#pragma once

#include <cstdio>  // std::FILE, std::rewind, std::fread
#include <string>  // std::string

// Everything `f` holds, read from its start.
inline std::string file_text(std::FILE* f) {
  std::rewind(f);
  std::string out;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
    out.append(buffer, n);
  return out;
}
