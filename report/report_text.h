// Small text helpers of the reports: counts with their noun, and text made safe for SVG and
// HTML.
#pragma once

#include <cstdint>  // std::int64_t
#include <string>   // std::string

// "1 sector", "2 sectors": the count and the noun in the number it takes.
std::string counted(std::int64_t n, const char* singular, const char* plural);

// Text for SVG or HTML: & < > " ' as character references.
std::string markup_escaped(const std::string& text);
