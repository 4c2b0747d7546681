// Small text helpers of the reports: counts with their noun, and text made safe for SVG and
// HTML.
#pragma once

#include <cstdint>  // std::int64_t
#include <string>   // std::string

// "1 sector", "2 sectors": the count and the noun in the number it takes.
std::string counted(std::int64_t n, const char* singular, const char* plural);

// Text for SVG or HTML, whatever bytes it holds (a file name may hold any but '/' and NUL): & < >
// " ' as character references; every byte that is not part of well-formed UTF-8, and every byte
// of a control character (U+0000 ... U+001F, tab and newline among them, U+007F ... U+009F) or
// of U+FFFE and U+FFFF, as "\xNN" (two upper-case hex digits). The result holds only characters
// that XML 1.0 allows, so a standalone SVG stays well-formed.
std::string markup_escaped(const std::string& text);
