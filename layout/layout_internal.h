// Shared between layout.cpp and layout_file.cpp, not for the modules outside layout/: the
// check of a layout whose steps came from the [[steps]] tables of a file, so that its messages
// name the table a faulty step was written in rather than its place in the expanded page.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::int64_t
#include <string>   // std::string
#include <vector>   // std::vector

#include "layout/layout.h"  // nand_layout, status

// Where an expanded step came from: copy `copy` (0 ... copies - 1) of the [[steps]] table
// `table` (0-based, in file order).
struct layout_step_origin {
  std::int64_t table = 0;
  std::int64_t copy = 0;
  std::int64_t copies = 1;
};

// check_layout, with step k named "steps[origins[k].table]" and, when that table repeats,
// "(copy c of n)" beside the span. With `origins` empty, step k is named "steps[k]".
// REQUIRES: `origins` empty or one entry per step of the layout.
status check_layout_with_origins(const nand_layout& layout,
                                 const std::vector<layout_step_origin>& origins);

// Decodes the UTF-8 sequence at text[i]: its code point and its length, or length 0 when it is
// not well-formed (overlong, a surrogate, beyond U+10FFFF or cut short).
// REQUIRES: i < text.size().
std::size_t layout_utf8_at(const std::string& text, std::size_t i, char32_t& cp);
