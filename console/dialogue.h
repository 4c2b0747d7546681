// The German console dialogue over a NAND dump: banner, the three geometry questions, the
// dump's measurements, then a walk over every page and sector, one key press per sector.
// The program's entry (main.cpp) only calls run_dialogue.
#pragma once

#include <cstdint>  // std::int32_t, std::int64_t
#include <cstdio>   // std::FILE
#include <string>   // std::string

// The answers and the counts derived from them, held for the length of a run.
struct dump_geometry {
  std::int32_t page_size = 0;             // page size without spare, bytes (1 ... 2^31 - 1)
  std::int32_t spare_size = 0;            // spare size, bytes (1 ... 2^31 - 1 - page_size)
  std::int32_t block_pages = 0;           // block size, pages (1 ... 2^31 - 1)
  std::int32_t page_size_with_spare = 0;  // page_size + spare_size
  std::int32_t step_per_page = 0;         // sectors per page, page_size / 512
  std::int64_t file_size = -1;            // dump size in bytes; -1 when it cannot be told
  // 64-bit: a large dump with a small page holds more pages than 32 bits count.
  std::int64_t pages_per_device = 0;   // file_size / page_size_with_spare
  std::int64_t blocks_per_device = 0;  // file_size / (block_pages * page_size_with_spare)
};

// Why an answer was refused.
enum class answer_error {
  none,          // a valid answer
  not_a_number,  // anything but an optional sign followed by decimal digits
  not_positive,  // zero or negative
  too_large,     // above 2^31 - 1
};

// Parses one answer: an optional '+' or '-' and one or more decimal digits, nothing else,
// judged whole whatever its length (leading zeros are no limit). A stray character makes it
// not_a_number even in a negative or overlong answer; a '-' makes it not_positive even when
// overlong. On success stores the value (1 ... 2^31 - 1) in `value`; otherwise leaves it
// untouched. Standard input is judged the same way, character by character, in fixed memory.
answer_error parse_answer(const std::string& text, std::int32_t& value);

// Runs the whole dialogue on standard input and output, in the working folder, and returns
// the process exit status: 0 after a complete walk; 1 when standard input ends before the
// three answers, when the dump is missing, no regular file or cannot be opened, when a buffer
// cannot be allocated, when "Dump_New.bin" is a link, no regular file, the dump under another
// name or cannot be created, or when writing to standard output fails (then with one line on
// standard error, which is otherwise unused). Never writes to the dump or through a link, and
// leaves an existing "Dump_New.bin" as it is. Standard output is flushed, not closed.
int run_dialogue();
