// The raw-dump picture and the few bytes of PNG and base64 that put it into an HTML page
// without a library: zlib's stored blocks need only the CRC-32 and Adler-32 sums.
#include "report/dump_picture.h"

#include <algorithm>  // std::min
#include <utility>    // std::move
#include <array>      // std::array

namespace {

std::uint32_t crc32(const std::string& bytes, std::size_t from) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k)
        c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = from; i < bytes.size(); ++i)
    c = table[(c ^ static_cast<unsigned char>(bytes[i])) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void put32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out += static_cast<char>((v >> shift) & 0xFF);
}

void chunk(std::string& png, const char* type, const std::string& data) {
  put32(png, static_cast<std::uint32_t>(data.size()));
  const std::size_t from = png.size();
  png += type;
  png += data;
  put32(png, crc32(png, from));
}

}  // namespace

bool draw_dump_picture(const picture_reader& read, std::int64_t page_bytes, std::int64_t pages,
                       dump_picture& out) {
  out = dump_picture{};
  if (page_bytes < 1 || page_bytes > std::int64_t{8} * 1024 * 1024 || pages < 1)
    return false;
  dump_picture p;
  p.bytes_per_column = (page_bytes + kPictureColumns - 1) / kPictureColumns;
  p.width = (page_bytes + p.bytes_per_column - 1) / p.bytes_per_column;
  p.page_stride = (pages + kPictureRows - 1) / kPictureRows;
  p.height = (pages + p.page_stride - 1) / p.page_stride;
  p.grey.resize(static_cast<std::size_t>(p.width * p.height));
  std::vector<unsigned char> page(static_cast<std::size_t>(page_bytes));
  for (std::int64_t row = 0; row < p.height; ++row) {
    if (!read(row * p.page_stride * page_bytes, page.data(), page.size()))
      return false;
    for (std::int64_t column = 0; column < p.width; ++column) {
      const std::int64_t from = column * p.bytes_per_column;
      const std::int64_t to = std::min(page_bytes, from + p.bytes_per_column);
      std::int64_t sum = 0;
      for (std::int64_t i = from; i < to; ++i)
        sum += page[static_cast<std::size_t>(i)];
      p.grey[static_cast<std::size_t>(row * p.width + column)] =
          static_cast<std::uint8_t>((sum + (to - from) / 2) / (to - from));
    }
  }
  out = std::move(p);
  return true;
}

std::string grey_png(const dump_picture& p) {
  std::string png = "\x89PNG\r\n\x1A\n";
  std::string header;
  put32(header, static_cast<std::uint32_t>(p.width));
  put32(header, static_cast<std::uint32_t>(p.height));
  header += std::string("\x08\x00\x00\x00\x00", 5);  // 8-bit grey, deflate, no filter, no interlace
  chunk(png, "IHDR", header);
  // The rows, each after its filter byte (0: none), as zlib stored blocks of at most 65535.
  std::string rows;
  for (std::int64_t r = 0; r < p.height; ++r) {
    rows += '\0';
    rows.append(reinterpret_cast<const char*>(p.grey.data() + r * p.width),
                static_cast<std::size_t>(p.width));
  }
  std::string z = "\x78\x01";
  for (std::size_t at = 0; at < rows.size() || at == 0; at += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, rows.size() - at);
    z += static_cast<char>(at + n >= rows.size() ? 1 : 0);
    z += static_cast<char>(n & 0xFF);
    z += static_cast<char>(n >> 8);
    z += static_cast<char>(~n & 0xFF);
    z += static_cast<char>((~n >> 8) & 0xFF);
    z.append(rows, at, n);
    if (rows.empty())
      break;
  }
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : rows) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  put32(z, (b << 16) | a);
  chunk(png, "IDAT", z);
  chunk(png, "IEND", "");
  return png;
}

std::string base64(const std::string& bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k)
      v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0);
    for (std::size_t k = 0; k < 4; ++k)
      out += k <= n ? digits[(v >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}
