// pagolinth-sample: writes a small sample dump with recognisable contents, so the dialogue
// can be tried without a real chip. Pages of 2,048 + 64 bytes in the dump's page layout.
// Usage: pagolinth-sample FILE [PAGES]   (PAGES 1 ... 65536, default 64; FILE must not exist)
#include <cstdio>   // std::fopen, std::fwrite, std::fprintf
#include <cstdlib>  // std::strtol
#include <cstring>  // std::memset
#include <vector>   // std::vector

#include "layout/page_layout.h"  // place_sector, kSectorLength, kEccLength

namespace {

constexpr int kPageSize = 2048;
constexpr int kSpareSize = 64;
constexpr long kMaxPages = 65536;

// Sector k of page j: bytes 0 and 1 name the page and the sector (mod 256), bytes 2 and 3
// read DA 7A ("data"), every other byte i holds i mod 256, so the excerpts on either side of
// the hole (D1 ... D4, D5 ... D8) show that the sector was put together again seamlessly.
// The ECC bytes are EC, the header is 'P' 'G' and the page number, the rest of the spare FF.
void fill_page(std::vector<unsigned char>& page, long j) {
  std::memset(page.data(), 0xFF, page.size());
  page[0] = 'P';
  page[1] = 'G';
  page[2] = static_cast<unsigned char>(j >> 8);
  page[3] = static_cast<unsigned char>(j);
  const int steps = sectors_per_page(kPageSize);
  unsigned char sector[kSectorLength];
  unsigned char ecc[kEccLength];
  std::memset(ecc, 0xEC, sizeof ecc);
  for (int k = 0; k < steps; ++k) {
    for (int i = 0; i < kSectorLength; ++i)
      sector[i] = static_cast<unsigned char>(i);
    sector[0] = static_cast<unsigned char>(j);
    sector[1] = static_cast<unsigned char>(k);
    sector[2] = 0xDA;
    sector[3] = 0x7A;
    place_sector(page.data(), k, steps, sector, ecc);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: pagolinth-sample FILE [PAGES]\n");
    return 2;
  }
  long pages = 64;
  if (argc == 3) {
    char* end = nullptr;
    pages = std::strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || pages < 1 || pages > kMaxPages) {
      std::fprintf(stderr, "pagolinth-sample: PAGES must be a number from 1 to %ld\n", kMaxPages);
      return 2;
    }
  }
  // Never overwrite: the name could be a real dump.
  if (std::FILE* existing = std::fopen(argv[1], "rb")) {
    std::fclose(existing);
    std::fprintf(stderr, "pagolinth-sample: %s exists already; not overwritten\n", argv[1]);
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) {
    std::perror(argv[1]);
    return 2;
  }
  std::vector<unsigned char> page(kPageSize + kSpareSize);
  bool ok = true;
  for (long j = 0; j < pages && ok; ++j) {
    fill_page(page, j);
    ok = std::fwrite(page.data(), 1, page.size(), out) == page.size();
  }
  ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "pagolinth-sample: cannot write %s\n", argv[1]);
    std::remove(argv[1]);
    return 2;
  }
  return 0;
}
