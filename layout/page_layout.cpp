// Taking sectors and their ECC bytes out of a raw page and putting them back, following
// the layout described in page_layout.h.
#include "layout/page_layout.h"

#include <cstring>  // std::memcpy

std::int64_t layout_end(std::int32_t step_per_page) {
  if (step_per_page <= 0)
    return 0;
  return kPageHeaderLength + std::int64_t{kChunkStride} * (step_per_page - 1) + kLastChunkLength;
}

std::int64_t extract_sector(const unsigned char* page, std::int32_t k, std::int32_t step_per_page,
                            unsigned char* sector, unsigned char* ecc) {
  const std::int64_t c = kPageHeaderLength + std::int64_t{kChunkStride} * k;
  const unsigned char* chunk = page + c;
  if (k == step_per_page - 1) {
    std::memcpy(sector, chunk, kSplitPoint);
    std::memcpy(sector + kSplitPoint, chunk + kSecondPartAt, kSecondPartLength);
    std::memcpy(ecc, chunk + kLastEccAt, kEccLength);
  } else {
    std::memcpy(sector, chunk, kSectorLength);
    std::memcpy(ecc, chunk + kSectorLength, kEccLength);
  }
  return c;
}

std::int64_t place_sector(unsigned char* page, std::int32_t k, std::int32_t step_per_page,
                          const unsigned char* sector, const unsigned char* ecc) {
  const std::int64_t c = kPageHeaderLength + std::int64_t{kChunkStride} * k;
  unsigned char* chunk = page + c;
  if (k == step_per_page - 1) {
    std::memcpy(chunk, sector, kSplitPoint);
    std::memcpy(chunk + kSecondPartAt, sector + kSplitPoint, kSecondPartLength);
    std::memcpy(chunk + kLastEccAt, ecc, kEccLength);
  } else {
    std::memcpy(chunk, sector, kSectorLength);
    std::memcpy(chunk + kSectorLength, ecc, kEccLength);
  }
  return c;
}
