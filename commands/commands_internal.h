// Shared by the commands' sources, not for their callers: the dump opened as a command reads
// it, and a reader of an open file for the layout search and probe.
#pragma once

#include <cstdint>  // std::int64_t
#include <cstdio>   // std::FILE
#include <string>   // std::string

#include "detect/detect.h"      // detect_reader
#include "files/output_file.h"  // file_ptr
#include "status/status.h"      // status

// Opens the dump at `path` (open_dump's rules) and refuses one too short to hold a whole page
// of `page_bytes` bytes: an empty file, or a /proc file that reports no size, has nothing to
// check, which must not pass for a clean dump.
status open_whole_dump(const std::string& path, std::int64_t page_bytes, file_ptr& file,
                       std::int64_t& bytes);

// Reads `file` at offsets, without moving its position.
detect_reader reader_of(std::FILE* file);
