// The SHA-256 of a whole file, read in pieces from its start, for the hashes that reports and
// audit records carry of a dump and of every output.
#pragma once

#include <cstdio>  // std::FILE
#include <string>  // std::string

#include "status/status.h"  // status

// Reads `file` from offset 0 to its end in 4 MiB pieces (the stream's position is not used or
// kept) and sets `digest` to its SHA-256 as 64 lower-case hex digits. Fails with one line naming
// the cause on a read error or a failure of the platform's hash; `digest` is then "".
// REQUIRES: `file` open for reading in binary mode.
status sha256_of_file(std::FILE* file, std::string& digest);

// The same for the file at `path`, opened and closed here; fails too when it cannot be opened.
status sha256_of_path(const std::string& path, std::string& digest);
