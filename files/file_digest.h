// The SHA-256 of a whole file, read in pieces from its start, for the hashes that reports and
// audit records carry of a dump and of every output.
#pragma once

#include <cstdio>  // std::FILE
#include <string>  // std::string

// Reads `file` from offset 0 to its end in 4 MiB pieces (the stream's position is not used or
// kept) and returns its SHA-256 as 64 lower-case hex digits. On a read error or a failure of the
// platform's hash returns "" and sets `error` to one line naming the cause.
// REQUIRES: `file` open for reading in binary mode.
std::string sha256_of_file(std::FILE* file, std::string& error);

// The same for the file at `path`, opened and closed here; "" and `error` when it cannot be
// opened or read.
std::string sha256_of_path(const std::string& path, std::string& error);
