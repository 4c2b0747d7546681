// A picture of the raw dump for the report: a row per page, a column per group of bytes, each
// pixel the mean value of its bytes. In it erased blocks show white, free space black, the
// spare area's fields as stripes, and a scrambler as even grey noise over whole pages.
#pragma once

#include <cstdint>     // std::int64_t, std::uint8_t
#include <functional>  // std::function
#include <string>      // std::string
#include <vector>      // std::vector

// The picture's bounds, so that the report stays small whatever the dump.
inline constexpr std::int64_t kPictureColumns = 384;
inline constexpr std::int64_t kPictureRows = 256;

struct dump_picture {
  std::int64_t width = 0, height = 0;  // pixels; 0 when nothing was drawn
  std::int64_t bytes_per_column = 0;   // the last column may hold fewer
  std::int64_t page_stride = 0;        // row r shows page r * page_stride
  std::vector<std::uint8_t> grey;      // width * height, row by row, 0 black
};

// Reads `bytes` bytes from `offset` into `out`; false when it cannot.
using picture_reader =
    std::function<bool(std::int64_t offset, unsigned char* out, std::size_t bytes)>;

// Draws pages of `page_bytes` bytes (1 ... 8 MiB) out of `pages` (>= 1): all of them when they
// fit kPictureRows, else evenly spaced ones. False, and `out` empty, when a page cannot be read
// or the sizes are out of range.
bool draw_dump_picture(const picture_reader& read, std::int64_t page_bytes, std::int64_t pages,
                       dump_picture& out);

// The picture as a PNG file (8-bit grey, stored without compression).
std::string grey_png(const dump_picture& picture);

// `bytes` in base64 with padding, for a data: URL.
std::string base64(const std::string& bytes);
