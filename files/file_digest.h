// The SHA-256 of a whole file, read in pieces from its start, for the hashes that reports and
// audit records carry of a dump and of every output.
#pragma once

#include <cstdio>  // std::FILE
#include <string>  // std::string

#include "status/status.h"  // status

// Reads `file` from offset 0 to its end in 4 MiB pieces (the stream's position is not used or
// kept) and sets `digest` to its SHA-256 as 64 lower-case hex digits. The end is the file's size
// as it tells it; fails when that many bytes cannot be read, or when a byte can be read after
// them (a file that grows, or one of /proc's, whose size says 0 whatever it holds), so the
// digest is always that of exactly the size told. Fails too on a failure of the platform's hash,
// always with one line naming the cause; `digest` is then "".
// REQUIRES: `file` open for reading in binary mode.
status sha256_of_file(std::FILE* file, std::string& digest);

// The same for the file at `path`, opened and closed here (platform_open_regular). Fails too
// when it cannot be opened ("cannot open PATH: REASON") and when it is no regular file ("PATH is
// a FIFO, not a regular file"): a device, a FIFO or a folder is never read.
status sha256_of_path(const std::string& path, std::string& digest);
