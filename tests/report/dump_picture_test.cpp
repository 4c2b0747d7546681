// Tests of the raw-dump picture: which pages and bytes each pixel stands for, and the PNG and
// base64 encodings against values worked out by hand and published vectors.
#include "report/dump_picture.h"

#include <gtest/gtest.h>

#include <cstdint>  // std::int64_t
#include <string>   // std::string

namespace {

// Byte i of page p is p + i / 10 (mod 256): means are easy to tell.
picture_reader counting_dump(std::int64_t page_bytes, std::int64_t pages) {
  return [=](std::int64_t offset, unsigned char* out, std::size_t bytes) {
    if (offset < 0 || offset + static_cast<std::int64_t>(bytes) > page_bytes * pages)
      return false;
    for (std::size_t k = 0; k < bytes; ++k) {
      const std::int64_t at = offset + static_cast<std::int64_t>(k);
      out[k] = static_cast<unsigned char>(at / page_bytes + at % page_bytes / 10);
    }
    return true;
  };
}

TEST(DumpPicture, PixelsAreMeansOfTheirBytesOnSampledPages) {
  struct {
    std::int64_t page_bytes, pages, width, per_column, height, stride;
  } cases[] = {{100, 3, 100, 1, 3, 1}, {1000, 256, 334, 3, 256, 1}, {2112, 600, 352, 6, 200, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(c.page_bytes) + " x " + std::to_string(c.pages));
    dump_picture p;
    ASSERT_TRUE(draw_dump_picture(counting_dump(c.page_bytes, c.pages), c.page_bytes, c.pages, p));
    EXPECT_EQ(p.width, c.width);
    EXPECT_EQ(p.bytes_per_column, c.per_column);
    EXPECT_EQ(p.height, c.height);
    EXPECT_EQ(p.page_stride, c.stride);
    EXPECT_LE(p.width, kPictureColumns);
    EXPECT_LE(p.height, kPictureRows);
    // The last pixel of the last row, worked out apart from the code: its page and its bytes.
    const std::int64_t page = (c.height - 1) * c.stride, from = (c.width - 1) * c.per_column;
    std::int64_t sum = 0, n = 0;
    for (std::int64_t i = from; i < c.page_bytes; ++i, ++n)
      sum += (page + i / 10) % 256;
    EXPECT_EQ(p.grey.back(), (sum + n / 2) / n);
  }
  dump_picture p;
  EXPECT_FALSE(draw_dump_picture(counting_dump(100, 3), 100, 4, p)) << "a page beyond the end";
  EXPECT_EQ(p.width, 0);
}

TEST(DumpPicture, PngAndBase64) {
  // RFC 4648's vectors.
  const char* vectors[][2] = {{"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
                              {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors)
    EXPECT_EQ(base64(v[0]), v[1]) << "case " << v[0];
  // A 2 x 1 picture: signature, IHDR, one final stored block of 3 bytes (filter 0, 0x00, 0xFF)
  // whose Adler-32 is 0x01020100 (a = 1 + 255, b = 1 + 1 + 256), IEND with its well-known CRC.
  dump_picture p;
  p.width = 2;
  p.height = 1;
  p.grey = {0x00, 0xFF};
  const std::string png = grey_png(p);
  const std::string idat(
      "\x00\x00\x00\x0E"
      "IDAT"
      "\x78\x01\x01\x03\x00\xFC\xFF\x00\x00\xFF"
      "\x01\x02\x01\x00",
      22);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1A\n");
  EXPECT_EQ(png.substr(8, 16),
            std::string("\x00\x00\x00\x0DIHDR\x00\x00\x00\x02\x00\x00\x00\x01", 16));
  EXPECT_EQ(png.substr(33, 22), idat);
  EXPECT_EQ(png.substr(png.size() - 12), std::string("\x00\x00\x00\x00IEND\xAE\x42\x60\x82", 12));
}

}  // namespace
